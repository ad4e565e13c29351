#!/usr/bin/env bash
# Creates (once) a Wine prefix and keeps a wineserver running for it, so that
# each Windows program starts quickly.
#   scripts/wine-prefix.sh <build-dir> start|stop [win32|win64]
#       the prefix <build-dir>/wineprefix, 32-bit (the default) or 64-bit
# Sourced, it only defines wine_prefix_up and wine_prefix_down, which act on
# the caller's exported WINEPREFIX and WINEARCH.

# Wine's background processes must not hold the caller's output open: a pipe
# reader (ctest, tee) would otherwise wait for them to end.
wine_prefix_up() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating a $WINEARCH prefix in $WINEPREFIX (once, about 20 s)"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_prefix_down() {
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null || true
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  arch=${3:-win32}
  case "$arch" in
    win32 | win64) ;;
    *) echo "usage: $0 <build-dir> start|stop [win32|win64]" >&2; exit 2 ;;
  esac
  export WINEPREFIX="$(realpath "$1")/wineprefix" WINEARCH="$arch" WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  case "$2" in
    start) wine_prefix_up ;;
    stop) wine_prefix_down ;;
  esac
fi
