#!/usr/bin/env bash
# Runs one fuzz target for longer than the test suite does.
#   scripts/fuzz.sh TARGET SECONDS     e.g. scripts/fuzz.sh kelsrv 600
# Builds the asan preset's fuzz_TARGET, then fuzzes from the committed seed
# corpus (fuzz/corpus/TARGET); new inputs go to build/asan/fuzz/corpus/TARGET,
# crashes to build/asan/fuzz/TARGET-crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 2 ]; then
  echo "usage: $0 TARGET SECONDS (targets: $(ls fuzz/corpus | tr '\n' ' '))" >&2
  exit 2
fi
target=$1 seconds=$2
[ -d "fuzz/corpus/$target" ] || { echo "fuzz.sh: no target '$target'" >&2; exit 2; }
scripts/setup.sh
cmake --preset asan >/dev/null
cmake --build --preset asan --target "fuzz_$target"
found=build/asan/fuzz/corpus/$target
mkdir -p "$found"
exec "build/asan/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="build/asan/fuzz/$target-" "$found" "fuzz/corpus/$target"
