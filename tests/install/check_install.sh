#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds a C program against it with
# find_package(kelapi), and runs that program and the installed kelcli.
#   check_install.sh <build-dir> <work-dir>
set -euo pipefail
build=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer"
"$work/prefix/bin/kelcli" --help >/dev/null
echo "installed library and tools work from $work/prefix"
