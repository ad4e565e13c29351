#!/usr/bin/env bash
# Creates (once) the 32-bit Wine prefix of a win32 build tree and keeps a
# wineserver running for it, so that each test program starts quickly.
#   scripts/wine-prefix.sh <build-dir> start|stop
set -euo pipefail
build=$(realpath "$1")
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$2" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine: creating 32-bit prefix in $WINEPREFIX"
      wineboot -i </dev/null >/dev/null 2>&1 || true
      wineserver -w
    fi
    # Wine's background processes must not hold the caller's output open:
    # a pipe reader (ctest, tee) would otherwise wait for them to end.
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null || true
    ;;
esac
