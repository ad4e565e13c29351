#!/usr/bin/env bash
# Installs the Windows build, builds the consumer program
# (tests/consumer/consumer.c) for the Microsoft ABI with clang and lld-link
# against the installed import library (no C library), checks that it imports
# from kelapi.dll alone, and with an emulator runs it beside the installed DLL.
#   check_msvc_consumer.sh <build-dir> <work-dir> <clang-target> <objdump> [-- EMULATOR...]
set -euo pipefail
build=$1 work=$2 target=$3 objdump=$4
shift 4
[ "${1:-}" != "--" ] || shift
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
exe=$prefix/bin/msvc_consumer.exe
rm -rf "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
clang --target="$target" -ffreestanding -fno-builtin -O1 -std=c89 -pedantic-errors -Wall -Wextra \
  -Werror -I"$prefix/include" -c "$here/../consumer/consumer.c" -o "$work/msvc_consumer.obj"
# The MinGW import library's objects carry no safe-exception-handler table
# (a table that only 32-bit x86 images have).
safeseh=()
[ "${target%%-*}" != i686 ] || safeseh=(/safeseh:no)
lld-link /nologo /entry:KelConsumerMain /subsystem:console /nodefaultlib ${safeseh[@]+"${safeseh[@]}"} \
  /out:"$exe" "$work/msvc_consumer.obj" "$prefix/lib/kelapi.lib"
imports=$("$objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
[ "$imports" = "kelapi.dll " ] || { echo "msvc_consumer.exe imports from: $imports"; exit 1; }
if (($# == 0)); then
  echo "a Microsoft-ABI program without a C library links against the installed kelapi.lib ($target)"
  exit 0
fi
rc=0
"$@" "$exe" || rc=$?
if [ "$rc" -ne 0 ]; then
  echo "msvc_consumer: check $rc failed (see tests/consumer/consumer.c)"
  exit 1
fi
echo "a Microsoft-ABI program without a C library uses the installed kelapi.dll ($target)"
