#!/usr/bin/env bash
# Wine for the Windows builds: one prefix per architecture, a wineserver kept
# running for it so that each Windows program starts quickly, and the loader
# that starts a program of that architecture.
#   scripts/wine-prefix.sh <build-dir> start|stop [win32|win64]
#       creates (once) the prefix <build-dir>/wineprefix, 32-bit (the default)
#       or 64-bit, and starts or stops its wineserver
#   scripts/wine-prefix.sh <build-dir> run win32|win64 PROGRAM [ARGS...]
#       runs a Windows program in that prefix (the cross builds' emulator)
#   scripts/wine-prefix.sh check
#       says whether this machine runs 32-bit Windows programs (see wine32_check)
# Sourced, it only defines the functions below, which act on the caller's
# environment, set with wine_environment PREFIX win32|win64.

# A 64-bit program starts with Wine's 64-bit loader itself, also named in
# WINELOADER for the processes Wine starts: Debian's `wine` takes the 32-bit
# loader whenever it is installed, which some machines cannot execute.
# 32-bit programs start through `wine`.
readonly kel_wine64_loader=/usr/lib/wine/wine64
readonly kel_wine32_loader=/usr/lib/wine/wine

# The environment of every Wine program here: the prefix and its
# architecture, quiet, no installer dialogs for components nobody uses, and
# the loader that starts programs of that architecture (kel_wine_program).
wine_environment() {
  export WINEPREFIX=$1 WINEARCH=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "$WINEARCH" = win64 ]; then
    export WINELOADER=$kel_wine64_loader
    kel_wine_program=$kel_wine64_loader
  else
    kel_wine_program=wine
  fi
}

wine_run() { "$kel_wine_program" "$@"; }

# Wine's background processes must not hold the caller's output open: a pipe
# reader (ctest, tee) would otherwise wait for them to end.
wine_prefix_up() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating a $WINEARCH prefix in $WINEPREFIX (once, about 20 s)"
    wine_run wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  wine_run cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_prefix_down() {
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null || true
}

# Whether this machine runs 32-bit Windows programs, decided once by the
# caller and handed to what it starts: KEL_WINE32=yes or no decides (no
# forces the 64-bit-only path on a machine that could run both); unset, the
# answer is whether Wine's 32-bit loader starts at all. Exports KEL_WINE32
# (yes or no) and, for no, KEL_WINE32_WHY: why they cannot run.
wine32_check() {
  local why
  case "${KEL_WINE32:-}" in
    yes) KEL_WINE32_WHY="" ;;
    no) KEL_WINE32_WHY=${KEL_WINE32_WHY:-"KEL_WINE32=no asks for the 64-bit-only path"} ;;
    "")
      if why=$("$kel_wine32_loader" --version 2>&1 </dev/null | head -1; exit "${PIPESTATUS[0]}"); then
        KEL_WINE32=yes KEL_WINE32_WHY=""
      else
        # The shell's message names the file and the system's reason.
        KEL_WINE32=no KEL_WINE32_WHY="Wine's 32-bit loader does not start: ${why#*: line [0-9]*: }"
        [ -e "$kel_wine32_loader" ] || KEL_WINE32_WHY="Wine's 32-bit loader $kel_wine32_loader is not installed"
      fi
      ;;
    *) echo "KEL_WINE32 is '$KEL_WINE32': set it to yes, no or nothing" >&2; return 2 ;;
  esac
  export KEL_WINE32 KEL_WINE32_WHY
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  usage() {
    echo "usage: $0 <build-dir> start|stop [win32|win64] | <build-dir> run win32|win64 PROGRAM [ARGS...] | check" >&2
    exit 2
  }
  if [ "${1:-}" = check ]; then
    wine32_check
    [ "$KEL_WINE32" = yes ] && echo "32-bit Windows programs run here" || echo "no 32-bit Windows programs here: $KEL_WINE32_WHY"
    exit 0
  fi
  (($# >= 2)) || usage
  arch=${3:-win32}
  case "$arch" in
    win32 | win64) ;;
    *) usage ;;
  esac
  wine_environment "$(realpath "$1")/wineprefix" "$arch"
  case "$2" in
    start) wine_prefix_up ;;
    stop) wine_prefix_down ;;
    run)
      # A test program that Wine fails to load or start says why: Wine's
      # errors from loading, memory, processes, the server and exceptions
      # (not those of the desktop process, which has no display here).
      (($# >= 4)) || usage
      shift 3
      WINEDEBUG=-all,err+module,err+virtual,err+process,err+server,err+seh exec "$kel_wine_program" "$@"
      ;;
    *) usage ;;
  esac
fi
