#!/usr/bin/env bash
# Shows the update installer at work under Wine on a sample installation of
# "Brevane Server" 4.5 at service level 3: the registry before, the five
# commands that ostrel runs, and the installation and "ServiceLevel" after.
# Then the same installer on a machine without the product, which it refuses.
#   scripts/demo-ostrel.sh <windows-build-dir> [win32|win64]
# The shipped installer is the 32-bit one (win32, the default); the 64-bit
# build of the tests runs the same way in a 64-bit prefix.
set -euo pipefail

build=$(realpath "${1:?usage: $0 <windows-build-dir> [win32|win64]}")
arch=${2:-win32}
exe=$build/bin/ostrel.exe
[ -f "$exe" ] || { echo "no $exe: build the $arch preset first" >&2; exit 1; }

demo=$build/demo-ostrel
# A prefix of the demo's own: it changes the product keys and the Windows version value.
source "$(dirname "$0")/wine-prefix.sh"
wine_environment "$demo/wineprefix" "$arch"
unset DISPLAY WAYLAND_DISPLAY COPYCMD
product_key='HKLM\Software\Quillar\Brevane Server\4.5'
version_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'

say() { printf '\n=== %s\n' "$*"; }
# Wine's background processes must not keep our output open: their output goes to a file.
wine_quiet() { wine_run "$@" </dev/null >>"$demo/wine.log" 2>&1; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
show_tree() { (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | sed 's|^\./||; s|[^/]*/|    |g; s|^|    |'); }
show_key() { wine_run reg query "$1" </dev/null 2>/dev/null | tr -d '\r' | sed '/^$/d; s/^/    /'; }
# The calls named in RelayInclude that the installer made (its thread writes
# the trace's first line), from the relay trace, with C escapes undone.
traced_calls() {
    local thread
    thread=$(sed -n '1s/:.*//p' "$2")
    sed -n "s/^$thread:Call $1(\(.*\)) ret=.*/\1/p" "$2" | sed 's/[0-9a-f]\{8,\} "/"/g; s/\\\\/\\/g; s/\\"/"/g'
}

mkdir -p "$demo"
: >"$demo/wine.log"
wine_prefix_up
trap wine_prefix_down EXIT
wine_quiet reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d 'user32.MessageBoxA;msvcrt.system;RegSetValueExA' /f

# The update set "Mendset4" and an installation whose directory name has a blank.
rm -rf "$demo/Mendset4" "$demo/Brevane Server"
set_dir=$demo/Mendset4 inst_dir="$demo/Brevane Server"
mkdir -p "$set_dir"/Common/bin "$set_dir"/Common/logs "$set_dir"/Pelo36/cache "$set_dir"/MS60/include \
         "$set_dir"/NL1/help "$inst_dir"/bin "$inst_dir"/MS60/lib
echo "server 4.5 level 4" >"$set_dir/Common/bin/server.exe"
echo "release notes, level 4" >"$set_dir/Common/readme.txt"
echo "pelo runtime 3.6, level 4" >"$set_dir/Pelo36/pelo36.dll"
echo "runtime headers" >"$set_dir/MS60/include/runtime.h"
echo "messages in language 1" >"$set_dir/NL1/messages.txt"
echo "server 4.5 level 3" >"$inst_dir/bin/server.exe"
echo "release notes, level 3" >"$inst_dir/readme.txt"
echo "my settings" >"$inst_dir/server.ini"
echo "old runtime" >"$inst_dir/MS60/lib/old.lib"

wine_quiet reg delete 'HKLM\Software\Quillar' /f || true
wine_quiet reg add "$product_key" /v InstallDir /t REG_SZ /d "$(winpath "$inst_dir")" /f
wine_quiet reg add "$product_key" /v "Installed NLV" /t REG_SZ /d NL1 /f
wine_quiet reg add "$product_key" /v ServiceLevel /t REG_SZ /d 3 /f
wine_quiet reg add "$version_key" /v CurrentVersion /t REG_SZ /d 6.1 /f

say "The update set (the installer's current directory): $set_dir"
show_tree "$set_dir"
say "The installation at service level 3: $inst_dir"
show_tree "$inst_dir"
say "Registry before"
show_key "$product_key"
show_key "$version_key" | grep -E 'CurrentVersion|^ *HKEY' | grep -v '\\CurrentVersion\\'

say "Running ostrel.exe in the update set (Windows version 6.1, so the copies carry /Y)"
rc=0
(cd "$set_dir" && WINEDEBUG=-all,+relay "$kel_wine_program" "$exe" </dev/null >"$demo/ostrel.out" 2>"$demo/ostrel.trace") || rc=$?
echo "The five commands, in order, as handed to the command interpreter:"
traced_calls 'msvcrt\.system' "$demo/ostrel.trace" | sed 's/^"\(.*\)"$/    \1/'
echo "What xcopy reported:"
tr -d '\r' <"$demo/ostrel.out" | sed 's/^/    /'
echo "Exit code: $rc"

say "The installation after: MS60 is gone, MSVC and Pelo36 are new, Common and NL1 went to the top"
show_tree "$inst_dir"
echo "    bin/server.exe now says: $(cat "$inst_dir/bin/server.exe")"
say "Registry after: ServiceLevel is the text \"4\" (REG_SZ, 4 bytes: 34 00 00 00)"
show_key "$product_key"
echo "    as written (key, name, reserved, type 1 = REG_SZ, data, size):"
traced_calls '[A-Za-z0-9_]*\.RegSetValueExA' "$demo/ostrel.trace" | sed 's/^/      /'

say "The same installer where the product is not installed"
wine_quiet reg delete 'HKLM\Software\Quillar' /f
rc=0
(cd "$set_dir" && WINEDEBUG=-all,+relay "$kel_wine_program" "$exe" </dev/null >"$demo/ostrel.out" 2>"$demo/ostrel.trace") || rc=$?
echo "Message box (owner, text, caption, style 0x10 = MB_ICONERROR):"
traced_calls 'user32\.MessageBoxA' "$demo/ostrel.trace" | sed 's/^/    /'
echo "Commands run: $(traced_calls 'msvcrt\.system' "$demo/ostrel.trace" | wc -l). Exit code: $rc"
