#!/usr/bin/env bash
# Builds and runs every test suite: natively, under AddressSanitizer and
# UndefinedBehaviorSanitizer (with the fuzz targets), under ThreadSanitizer,
# and as 32-bit and 64-bit Windows code under Wine.
#   scripts/test.sh [preset ...]     (default: native asan tsan win32 win64)
# Where this machine cannot run 32-bit programs (KEL_WINE32=no says so on any
# machine), the win32 preset is built and only the checks that inspect its
# binaries run; the summary says so.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/wine-prefix.sh
wine32_check

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
  configure=() select=() runs=yes
  if [ "$preset" = win32 ]; then
    runs=$KEL_WINE32
    configure=(-DKEL_RUN_TEST_PROGRAMS="$([ "$runs" = yes ] && echo ON || echo OFF)")
    [ "$runs" = yes ] || select=(-L static)
  fi
  cmake --preset "$preset" ${configure[@]+"${configure[@]}"} >/dev/null
  cmake --build --preset "$preset"
  case "$preset" in
    win32 | win64)
      if [ "$runs" = yes ]; then
        wine_presets+=("$preset")
        scripts/wine-prefix.sh "build/$preset" start "$preset"
      fi
      ;;
  esac
  echo "=== $preset: test"
  log="build/$preset/ctest.log"
  start=$SECONDS
  set +e
  ctest --preset "$preset" -j2 ${select[@]+"${select[@]}"} 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  result=$(grep -E "tests passed|tests failed" "$log" | tail -1)
  summary+=("$preset: $result ($((SECONDS - start)) s)")
  if [ "$runs" = no ]; then
    summary+=("$preset: the 32-bit programs were built and checked (exports and aliases, imported DLLs, version \
resources, the installer's image, the Microsoft-ABI consumer linked) but could not run on this machine: $KEL_WINE32_WHY")
  fi
  while IFS= read -r line; do summary+=("$line"); done < <(fuzz_runs "build/$preset/Testing/Temporary/LastTest.log")
  if [ "$rc" -ne 0 ]; then
    printf '%s\n' "${summary[@]}"
    exit "$rc"
  fi
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
