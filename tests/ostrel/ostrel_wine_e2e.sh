#!/usr/bin/env bash
# End-to-end tests of the real ostrel.exe under Wine: the real registry, command
# interpreter, xcopy and rmdir, in a 32-bit prefix of its own (the product keys
# and the Windows version value are changed there, which other tests must not see).
#   ostrel_wine_e2e.sh <ostrel.exe> <ostrel_regprobe.exe> <work-dir> <case>
# Cases: prefix-start, prefix-stop, success, second-run, version-40, no-product,
# no-install-dir, no-language, no-service-level, long-version,
# injection-language, injection-directory.
#
# Failure cases observe the message box through Wine's relay trace of
# MessageBoxA (text, caption, style): without a display Wine's MessageBoxA
# returns at once, so nobody has to close it. The same trace shows that no
# command ran (msvcrt.system) and nothing was written (RegSetValueExA).
set -euo pipefail

exe=$(realpath "$1")
probe=$(realpath "$2")
work=$(mkdir -p "$3" && realpath "$3")
case_name=$4

export WINEPREFIX="$work/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "$0")/../../scripts/wine-prefix.sh"
unset DISPLAY WAYLAND_DISPLAY COPYCMD

readonly product_key='Software\Quillar\Brevane Server\4.5'
readonly caption='"Brevane Server 4.5 Mendset4"'
readonly relay_include='user32.MessageBoxA;msvcrt.system;advapi32.RegSetValueExA'

fail() { echo "FAIL: $*" >&2; exit 1; }

# Every Wine program runs with its output in files: processes that Wine starts
# in the background must not hold the test's output pipes open.
wine_quiet() { wine "$@" </dev/null >"$case_dir/wine.out" 2>&1; }

# The Windows form (drive Z:) of a Linux path.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A text as a string of a REGEDIT4 file.
reg_string() { local s=${1//\\/\\\\}; printf '"%s"' "${s//\"/\\\"}"; }

prefix_start() {
    mkdir -p "$work"
    case_dir=$work
    wine_prefix_up
    wine_quiet reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "$relay_include" /f
}

# The update set (files and an empty subdirectory in each tree) and an
# installation at level 3 with a file that the update replaces, one that it
# leaves alone and the obsolete MS60 tree.
make_trees() {
    rm -rf "$case_dir" && mkdir -p "$case_dir"
    mkdir -p "$set_dir"/Common/csub "$set_dir"/Common/cempty "$set_dir"/Pelo36/pempty "$set_dir"/MS60/mempty \
             "$set_dir"/NL1/nempty "$inst_dir"/MS60/old
    echo "common 4" >"$set_dir/Common/common.txt"
    echo "common sub 4" >"$set_dir/Common/csub/common2.txt"
    echo "pelo 4" >"$set_dir/Pelo36/pelo.txt"
    echo "ms60 4" >"$set_dir/MS60/ms60.txt"
    echo "nl1 4" >"$set_dir/NL1/nl1.txt"
    echo "common 3" >"$inst_dir/common.txt"
    echo "keep" >"$inst_dir/keep.txt"
    echo "obsolete" >"$inst_dir/MS60/old/obsolete.txt"
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

service_level() { wine "$probe" "$product_key" ServiceLevel </dev/null 2>/dev/null | tr -d '\r'; }
# Every directory of a tree, then every file with its content.
tree() {
    (cd "$1" && find . -type d | LC_ALL=C sort &&
        find . -type f | LC_ALL=C sort | while read -r file; do printf '%s: %s\n' "$file" "$(cat "$file")"; done)
}

# Runs the installer from the update set's root; traced when asked.
run_ostrel() {
    local debug=-all
    [ -z "${1:-}" ] || debug=-all,+relay
    rc=0
    (cd "$set_dir" && WINEDEBUG=$debug timeout 120 wine "$exe" \
        </dev/null >"$case_dir/ostrel.out" 2>"$case_dir/ostrel.err") || rc=$?
    [ "$rc" != 124 ] || fail "ostrel did not end within 120 s (waiting for input?)"
}

expect_installed() {
    [ "$rc" = 0 ] || fail "exit code $rc, expected 0"
    # MS60 is gone, common.txt replaced, keep.txt untouched, empty directories copied.
    local expected
    expected=$(printf '%s\n' . ./MSVC ./MSVC/mempty ./Pelo36 ./Pelo36/pempty ./cempty ./csub ./nempty \
        './MSVC/ms60.txt: ms60 4' './Pelo36/pelo.txt: pelo 4' './common.txt: common 4' \
        './csub/common2.txt: common sub 4' './keep.txt: keep' './nl1.txt: nl1 4')
    [ "$(tree "$inst_dir")" = "$expected" ] || fail "installation differs:
$(tree "$inst_dir")
--- expected:
$expected"
    local level
    level=$(service_level)
    [ "$level" = "type 1 size 4 data 34 00 00 00" ] || fail "ServiceLevel reads back as: $level"
}

# One message box with the text, the caption and MB_ICONERROR; exit code 1; no
# command, no write, and the installation and the level as they were.
expect_refused() {
    local message=$1 tree_before=$2 level_before=$3
    [ "$rc" = 1 ] || fail "exit code $rc, expected 1"
    local boxes
    boxes=$(sed -n 's/^[0-9a-f]*:Call user32\.MessageBoxA(\([0-9a-f]*\),[0-9a-f]* \(".*"\),[0-9a-f]* \(".*"\),\([0-9a-f]*\)) ret=.*/owner=\1 text=\2 caption=\3 style=\4/p' \
        "$case_dir/ostrel.err")
    local expected="owner=00000000 text=\"$message\" caption=$caption style=00000010"
    [ "$boxes" = "$expected" ] || fail "message boxes:
$boxes
--- expected:
$expected"
    ! grep -q ':Call msvcrt\.system(' "$case_dir/ostrel.err" || fail "a command ran"
    ! grep -q ':Call advapi32\.RegSetValueExA([0-9a-f]*,[0-9a-f]* "ServiceLevel"' "$case_dir/ostrel.err" ||
        fail "ServiceLevel was written"
    [ "$(tree "$inst_dir")" = "$tree_before" ] || fail "the installation changed"
    [ "$(service_level)" = "$level_before" ] || fail "ServiceLevel changed: $(service_level)"
    echo "refused: $expected"
}

# Sets the registry from the arguments, runs traced and expects the message.
refused_case() {
    local message=$1; shift
    make_trees
    set_registry "$@"
    local tree_before level_before
    tree_before=$(tree "$inst_dir")
    level_before=$(service_level)
    run_ostrel trace
    expect_refused "$message" "$tree_before" "$level_before"
}

readonly tail_text='\n\nMendset4 installation cannot continue.'
case_dir=$work/cases/$case_name
set_dir=$case_dir/set
inst_dir=$case_dir/inst
case "$case_name" in
    prefix-start) prefix_start ;;
    prefix-stop) wine_prefix_down ;;
    success)
        make_trees
        set_registry 5.0 "$(install_dir_line)" "$(language_line NL1)" "$level_line"
        # Without COPYCMD: a copy without /Y would wait for an answer on
        # common.txt and run into the time-out.
        run_ostrel
        expect_installed
        echo "installed: $(service_level)"
        ;;
    second-run)
        make_trees
        set_registry 5.0 "$(install_dir_line)" "$(language_line NL1)" "$level_line"
        run_ostrel
        expect_installed
        run_ostrel
        expect_installed
        echo "second run accepted: $(service_level)"
        ;;
    version-40)
        # "4.0" gives the copies without /Y; xcopy then asks before replacing
        # common.txt, so COPYCMD=/Y answers for it.
        make_trees
        set_registry 4.0 "$(install_dir_line)" "$(language_line NL1)" "$level_line"
        COPYCMD=/Y run_ostrel trace
        expect_installed
        inst=$(winpath "$inst_dir")
        commands=$(sed -n 's/^[0-9a-f]*:Call msvcrt\.system([0-9a-f]* \(".*"\)) ret=.*/\1/p' "$case_dir/ostrel.err")
        # The trace shows each command as a C string: backslashes and quotes escaped.
        expected=$(printf '%s\n' "xcopy /E /I Common \"$inst\\\"" "xcopy /E /I Pelo36 \"$inst\\\\Pelo36\"" \
            "xcopy /E /I MS60 \"$inst\\\\MSVC\"" "xcopy /E /I NL1 \"$inst\\\"" "rmdir /S /Q \"$inst\\\\MS60\"" |
            sed 's/\\/\\\\/g; s/"/\\"/g; s/^/"/; s/$/"/')
        [ "$commands" = "$expected" ] || fail "commands:
$commands
--- expected:
$expected"
        ;;
    no-product) refused_case "You have not installed Brevane Server 4.5.$tail_text" 5.0 ;;
    no-install-dir)
        refused_case "Failed to retrieve Install Directory information from Registry.$tail_text" \
            5.0 "$(language_line NL1)" "$level_line" ;;
    no-language)
        refused_case "Failed to retrieve National Language information from Registry.$tail_text" \
            5.0 "$(install_dir_line)" "$level_line" ;;
    no-service-level)
        refused_case "Failed to retrieve Service Level information from Registry.$tail_text" \
            5.0 "$(install_dir_line)" "$(language_line NL1)" ;;
    long-version)
        refused_case "No CurrentVersion Value" 10.0.190 "$(install_dir_line)" "$(language_line NL1)" "$level_line" ;;
    injection-language)
        refused_case "Failed to retrieve National Language information from Registry.$tail_text" \
            5.0 "$(install_dir_line)" "$(language_line "NL1 & echo injected > $(winpath "$work/cases/$case_name/pwned.txt")")" \
            "$level_line"
        [ ! -e "$case_dir/pwned.txt" ] || fail "the injected command ran"
        ;;
    injection-directory)
        refused_case "Failed to retrieve Install Directory information from Registry.$tail_text" \
            5.0 "$(printf '"InstallDir"=%s' "$(reg_string "$(winpath "$inst_dir")\" & echo injected > $(winpath "$case_dir/pwned.txt") & \"")")" \
            "$(language_line NL1)" "$level_line"
        [ ! -e "$case_dir/pwned.txt" ] || fail "the injected command ran"
        ;;
    *) fail "unknown case $case_name" ;;
esac
