#!/usr/bin/env bash
# End-to-end tests of the real ostrel.exe under Wine: the real registry, command
# interpreter, xcopy and rmdir, in a prefix of its own of the program's
# architecture (the product keys and the Windows version value are changed
# there, which other tests must not see). The 64-bit build finds the keys in
# the registry's native view of a 64-bit prefix, as the 32-bit one does in a
# 32-bit prefix.
#   ostrel_wine_e2e.sh <ostrel.exe> win32|win64 <work-dir> <case>
# Cases: prefix-start, prefix-stop, success (run twice: the real query accepts
# the level written), version-40, no-product, long-version (the real query
# refuses a value too long for its buffer), injection-directory; every other
# check of the run is the unit tests'. Each run is watched through Wine's relay
# trace of MessageBoxA (without a display it returns at once), system and
# RegSetValueExA.
set -euo pipefail

exe=$(realpath "$1")
work=$(mkdir -p "$3" && realpath "$3")
case_name=$4

source "$(dirname "$0")/../../scripts/wine-prefix.sh"
wine_environment "$work/wineprefix" "$2"
unset DISPLAY WAYLAND_DISPLAY COPYCMD

readonly product_key='Software\Quillar\Brevane Server\4.5'

fail() { echo "FAIL: $*" >&2; exit 1; }

# Every Wine program runs with its output in files: processes that Wine starts
# in the background must not hold the test's output pipes open.
wine_quiet() { wine_run "$@" </dev/null >"$case_dir/wine.out" 2>&1; }

# The Windows form (drive Z:) of a Linux path.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A text as a string of a REGEDIT4 file.
reg_string() { local s=${1//\\/\\\\}; printf '"%s"' "${s//\"/\\\"}"; }

prefix_start() {
    mkdir -p "$work"
    case_dir=$work
    wine_prefix_up
    wine_quiet reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d 'MessageBoxA;system;RegSetValueExA' /f
}

# The update set (a file and an empty subdirectory in each tree) and an
# installation at level 3 with a file that the update replaces, one that it
# leaves alone and the obsolete MS60 tree. Each file holds its own path.
make_trees() {
    rm -rf "$case_dir" && mkdir -p "$case_dir"
    local entry
    for entry in set/Common/csub set/Common/cempty set/Pelo36/pempty set/MS60/mempty set/NL1/nempty inst/MS60/old; do
        mkdir -p "$case_dir/$entry"
    done
    for entry in set/Common/common.txt set/Common/csub/common2.txt set/Pelo36/pelo.txt set/MS60/ms60.txt \
                 set/NL1/nl1.txt inst/common.txt inst/keep.txt inst/MS60/old/obsolete.txt; do
        echo "$entry" >"$case_dir/$entry"
    done
}

# Writes the product key afresh from the given REGEDIT4 value lines and sets the
# version value; no lines at all leave the product uninstalled.
set_registry() {
    local version=$1; shift
    {
        printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Quillar]\n\n'
        if (($#)); then
            printf '[HKEY_LOCAL_MACHINE\\%s]\n' "$product_key"
            printf '%s\n' "$@"
            printf '\n'
        fi
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\n"CurrentVersion"=%s\n' \
            "$(reg_string "$version")"
    } >"$case_dir/setup.reg"
    wine_quiet regedit /S "$(winpath "$case_dir/setup.reg")"
}

install_dir_line() { printf '"InstallDir"=%s' "$(reg_string "$(winpath "$inst_dir")")"; }
language_line() { printf '"Installed NLV"=%s' "$(reg_string "$1")"; }
readonly level_line='"ServiceLevel"=dword:00000003'

# The stored level as reg shows it ("REG_SZ 4"); nothing when it is missing.
service_level() {
    { wine_run reg query "HKLM\\$product_key" /v ServiceLevel </dev/null 2>/dev/null || true; } | tr -d '\r' |
        sed -n 's/^ *ServiceLevel  *\(REG_[A-Z]*\)  *\(.*\)$/\1 \2/p'
}
# Every directory of a tree, then every file with its content.
tree() {
    (cd "$1" && find . -type d | LC_ALL=C sort &&
        find . -type f | LC_ALL=C sort | while read -r file; do printf '%s: %s\n' "$file" "$(cat "$file")"; done)
}
# The arguments of each traced call of $1 that the installer made in the last
# run, without pointer values. Its thread writes the trace's first line; the
# processes it starts, and Wine's desktop process when it starts with them,
# trace under threads of their own.
calls() {
    local thread
    thread=$(sed -n '1s/:.*//p' "$case_dir/ostrel.err")
    sed -n "s/^$thread:Call [A-Za-z0-9_]*\.$1(\(.*\)) ret=.*/\1/p" "$case_dir/ostrel.err" |
        sed 's/[0-9a-f]\{8,\} "/"/g'
}
expect_same() { [ "$2" = "$3" ] || fail "$1:"$'\n'"$2"$'\n'"--- expected:"$'\n'"$3"; }

# Runs the installer, traced, from the update set's root.
run_ostrel() {
    rc=0
    (cd "$set_dir" && WINEDEBUG=-all,+relay timeout 120 "$kel_wine_program" "$exe" \
        </dev/null >"$case_dir/ostrel.out" 2>"$case_dir/ostrel.err") || rc=$?
    [ "$rc" != 124 ] || fail "ostrel did not end within 120 s (waiting for input?)"
}

# MS60 gone, common.txt replaced, keep.txt untouched, empty directories copied;
# "4" written as a REG_SZ of 4 bytes; no message.
expect_installed() {
    [ "$rc" = 0 ] || fail "exit code $rc, expected 0"
    expect_same "installation" "$(tree "$inst_dir")" "$(printf '%s\n' . ./MSVC ./MSVC/mempty ./Pelo36 \
        ./Pelo36/pempty ./cempty ./csub ./nempty './MSVC/ms60.txt: set/MS60/ms60.txt' \
        './Pelo36/pelo.txt: set/Pelo36/pelo.txt' './common.txt: set/Common/common.txt' \
        './csub/common2.txt: set/Common/csub/common2.txt' './keep.txt: inst/keep.txt' './nl1.txt: set/NL1/nl1.txt')"
    expect_same "writes" "$(calls RegSetValueExA | sed 's/^[0-9a-f]*,//; s/,[0-9a-f]*,\([0-9a-f]*\)$/,\1/')" \
        '"ServiceLevel",00000000,00000001,00000004'
    expect_same "ServiceLevel" "$(service_level)" "REG_SZ 4"
    expect_same "message boxes" "$(calls MessageBoxA)" ""
}

# Sets the registry from the arguments after the message and runs: one message
# box without owner, with the caption and MB_ICONERROR (which also shows that
# the trace works); exit code 1; no command and no write.
refused_case() {
    local message=$1; shift
    make_trees
    set_registry "$@"
    run_ostrel
    [ "$rc" = 1 ] || fail "exit code $rc, expected 1"
    expect_same "message boxes" "$(calls MessageBoxA)" "00000000,\"$message\",\"Brevane Server 4.5 Mendset4\",00000010"
    expect_same "commands" "$(calls system)" ""
    expect_same "writes" "$(calls RegSetValueExA)" ""
    echo "refused with: $message"
}

readonly tail_text='\n\nMendset4 installation cannot continue.'
case_dir=$work/cases/$case_name
set_dir=$case_dir/set
inst_dir=$case_dir/inst
case "$case_name" in
    prefix-start) prefix_start ;;
    prefix-stop) wine_prefix_down ;;
    success)
        # Without COPYCMD: a copy without /Y would wait for an answer on
        # common.txt and run into the time-out.
        make_trees
        set_registry 5.0 "$(install_dir_line)" "$(language_line NL1)" "$level_line"
        run_ostrel
        expect_installed
        run_ostrel
        expect_installed
        echo "installed, and again by a second run: $(service_level)"
        ;;
    version-40)
        # "4.0" gives the copies without /Y; xcopy then asks before replacing
        # common.txt, so COPYCMD=/Y answers for it.
        make_trees
        set_registry 4.0 "$(install_dir_line)" "$(language_line NL1)" "$level_line"
        COPYCMD=/Y run_ostrel
        expect_installed
        inst=$(winpath "$inst_dir")
        # The trace shows each command as a C string: backslashes and quotes escaped.
        expect_same "commands" "$(calls system)" "$(printf '%s\n' "xcopy /E /I Common \"$inst\\\"" \
            "xcopy /E /I Pelo36 \"$inst\\\\Pelo36\"" "xcopy /E /I MS60 \"$inst\\\\MSVC\"" \
            "xcopy /E /I NL1 \"$inst\\\"" "rmdir /S /Q \"$inst\\\\MS60\"" |
            sed 's/\\/\\\\/g; s/"/\\"/g; s/^/"/; s/$/"/')"
        ;;
    no-product) refused_case "You have not installed Brevane Server 4.5.$tail_text" 5.0 ;;
    long-version)
        refused_case "No CurrentVersion Value" 10.0.190 "$(install_dir_line)" "$(language_line NL1)" "$level_line" ;;
    injection-directory)
        refused_case "Failed to retrieve Install Directory information from Registry.$tail_text" \
            5.0 "$(printf '"InstallDir"=%s' "$(reg_string "$(winpath "$inst_dir")\" & echo injected > $(winpath "$case_dir/pwned.txt") & \"")")" \
            "$(language_line NL1)" "$level_line"
        [ ! -e "$case_dir/pwned.txt" ] || fail "the injected command ran"
        ;;
    *) fail "unknown case $case_name" ;;
esac
