#!/usr/bin/env bash
# The demo: builds what it needs, then shows kelapi talking to the reference
# connector server through kelcli, and ostrel updating a sample installation
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "=== building (Linux and 32-bit Windows)"
cmake --preset native >/dev/null
cmake --build build/native --target kelapi kelsrv kelcli -j2 >/dev/null
cmake --preset win32 >/dev/null
cmake --build build/win32 --target ostrel -j2 >/dev/null

echo
scripts/demo-kelapi.sh build/native
echo
scripts/demo-ostrel.sh build/win32
