#!/usr/bin/env bash
# Builds a project that adds the kelapi sources as a subdirectory, with its
# own warning flags, and runs its program: the library must build without
# kelapi's -Werror, tests, tools or examples.
#   check_subdirectory.sh <source-dir> <work-dir> <c-compiler> <c++-compiler>
set -euo pipefail
source=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
cmake -S "$here/subdirectory" -B "$work" -G Ninja -DKELAPI_SOURCE_DIR="$source" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER="$3" -DCMAKE_CXX_COMPILER="$4" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
if grep -q -- '-Werror' "$work/compile_commands.json"; then
  echo "kelapi as a subdirectory compiles with -Werror"
  exit 1
fi
cmake --build "$work" >/dev/null
"$work/consumer"
