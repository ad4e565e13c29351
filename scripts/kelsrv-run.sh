# Sourced by scripts that need a kelsrv on a free loopback port.
#   kelsrv_start DIR LIMIT COMMAND...  runs COMMAND (kelsrv, or an emulator and
#                kelsrv, with -p 0) in the background, its stdout in DIR/server.out
#                and its log in DIR/server.log; sets server_pid and port, or
#                prints the log and returns 1 when no port line came within LIMIT s.
#   kelsrv_stop  SIGTERM, up to 10 s to end, then SIGKILL; safe to call twice.
server_pid=""
port=""

kelsrv_start() {
  local dir=$1 limit=$2
  shift 2
  "$@" >"$dir/server.out" 2>"$dir/server.log" &
  server_pid=$!
  port=""
  for _ in $(seq $((limit * 10))); do
    # Carriage returns come from a Windows kelsrv.
    port=$(tr -d '\r' <"$dir/server.out" | sed -n 's/^kelsrv listening on .*:\([0-9][0-9]*\)$/\1/p')
    [ -n "$port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "kelsrv did not report its port:" >&2
  cat "$dir/server.log" >&2
  return 1
}

kelsrv_stop() {
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  return 0
}

# For end-to-end test scripts: e2e_begin "$@" takes an optional "-- EMULATOR..."
# tail of the arguments into the array emulator, makes the scratch directory
# work (removed, with the server stopped, on exit) and counts fail calls in
# failures. limit is how long a step may take: a cold Wine prefix is slow.
e2e_begin() {
  emulator=()
  if [ "${1:-}" = "--" ]; then
    shift
    emulator=("$@")
  fi
  limit=${KEL_E2E_WAIT:-120}
  work=$(mktemp -d)
  failures=0
  trap 'kelsrv_stop; rm -rf "$work"' EXIT
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
