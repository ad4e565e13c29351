#!/usr/bin/env bash
# Builds and runs every test suite: natively, under AddressSanitizer and
# UndefinedBehaviorSanitizer (with the fuzz targets), under ThreadSanitizer,
# and as 32-bit Windows code under Wine.
#   scripts/test.sh [preset ...]     (default: native asan tsan win32)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
((${#presets[@]})) || presets=(native asan tsan win32)
summary=()
# One line per fuzz target that ran, from the full output that ctest keeps.
fuzz_runs() {
  [ -f "$1" ] || return 0
  awk '/^[0-9]+\/[0-9]+ Testing: /{name=$3} /^Done [0-9]+ runs in/{print "  " name ": " $2 " runs in " $5 " s"}' "$1"
}
trap 'scripts/wine-prefix.sh build/win32 stop' EXIT

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  [ "$preset" = win32 ] && scripts/wine-prefix.sh build/win32 start
  echo "=== $preset: test"
  log="build/$preset/ctest.log"
  start=$SECONDS
  set +e
  ctest --preset "$preset" -j2 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  result=$(grep -E "tests passed|tests failed" "$log" | tail -1)
  summary+=("$preset: $result ($((SECONDS - start)) s)")
  while IFS= read -r line; do summary+=("$line"); done < <(fuzz_runs "build/$preset/Testing/Temporary/LastTest.log")
  if [ "$rc" -ne 0 ]; then
    printf '%s\n' "${summary[@]}"
    exit "$rc"
  fi
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
