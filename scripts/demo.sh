#!/usr/bin/env bash
# The demo: builds what it needs, then shows kelapi talking to the reference
# connector server through kelcli, and ostrel updating a sample installation
# under Wine. Where this machine cannot run 32-bit programs (see
# scripts/wine-prefix.sh check; KEL_WINE32=no forces it), the installer part
# runs the 64-bit build made for the tests, in a 64-bit prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/wine-prefix.sh
wine32_check

if [ "$KEL_WINE32" = yes ]; then
  ostrel_preset=win32
  echo "=== building (Linux and 32-bit Windows)"
else
  ostrel_preset=win64
  echo "=== building (Linux and 64-bit Windows)"
fi
cmake --preset native >/dev/null
cmake --build build/native --target kelapi kelsrv kelcli -j2 >/dev/null
cmake --preset "$ostrel_preset" >/dev/null
cmake --build "build/$ostrel_preset" --target ostrel -j2 >/dev/null

echo
scripts/demo-kelapi.sh build/native
echo
if [ "$ostrel_preset" = win64 ]; then
  echo "(32-bit programs cannot run here: $KEL_WINE32_WHY. The installer below is its 64-bit test build, in a 64-bit prefix.)"
fi
scripts/demo-ostrel.sh "build/$ostrel_preset" "$ostrel_preset"
