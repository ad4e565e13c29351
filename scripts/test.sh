#!/usr/bin/env bash
# Builds and runs every test suite: natively, under AddressSanitizer and
# UndefinedBehaviorSanitizer (with the fuzz targets), under ThreadSanitizer,
# and as 32-bit and 64-bit Windows code under Wine.
#   scripts/test.sh [preset ...]     (default: native asan tsan win32 win64)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
((${#presets[@]})) || presets=(native asan tsan win32 win64)
summary=()
# One line per fuzz target that ran, from the full output that ctest keeps.
fuzz_runs() {
  [ -f "$1" ] || return 0
  awk '/^[0-9]+\/[0-9]+ Testing: /{name=$3} /^Done [0-9]+ runs in/{print "  " name ": " $2 " runs in " $5 " s"}' "$1"
}
# The Windows presets run in a Wine prefix of their architecture (the preset's name).
wine_presets=()
stop_wine() {
  for preset in ${wine_presets[@]+"${wine_presets[@]}"}; do scripts/wine-prefix.sh "build/$preset" stop "$preset"; done
}
trap stop_wine EXIT

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  case "$preset" in
    win32 | win64)
      wine_presets+=("$preset")
      scripts/wine-prefix.sh "build/$preset" start "$preset"
      ;;
  esac
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
