#!/usr/bin/env bash
# Installs the 32-bit Windows build, builds the consumer program
# (tests/consumer/consumer.c) for the Microsoft ABI with clang and lld-link
# against the installed import library (no C library), and runs it beside the
# installed DLL through the emulator.
#   check_msvc_consumer.sh <build-dir> <work-dir> -- EMULATOR...
set -euo pipefail
build=$1 work=$2
shift 3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
rm -rf "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
clang --target=i686-pc-windows-msvc -ffreestanding -fno-builtin -O1 -std=c89 -pedantic-errors -Wall -Wextra \
  -Werror -I"$prefix/include" -c "$here/../consumer/consumer.c" -o "$work/msvc_consumer.obj"
# The MinGW import library's objects carry no safe-exception-handler table.
lld-link /nologo /entry:KelConsumerMain /subsystem:console /nodefaultlib /safeseh:no \
  /out:"$prefix/bin/msvc_consumer.exe" "$work/msvc_consumer.obj" "$prefix/lib/kelapi.lib"
rc=0
"$@" "$prefix/bin/msvc_consumer.exe" || rc=$?
if [ "$rc" -ne 0 ]; then
  echo "msvc_consumer: check $rc failed (see tests/consumer/consumer.c)"
  exit 1
fi
echo "a Microsoft-ABI program without a C library uses the installed kelapi.dll"
