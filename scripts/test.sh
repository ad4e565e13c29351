#!/usr/bin/env bash
# Builds and runs every test suite: natively, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and as 32-bit and 64-bit Windows code under Wine.
#   scripts/test.sh [preset ...]     (default: native asan win32 win64)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
((${#presets[@]})) || presets=(native asan win32 win64)
summary=()
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
  if [ "$rc" -ne 0 ]; then
    printf '%s\n' "${summary[@]}"
    exit "$rc"
  fi
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
