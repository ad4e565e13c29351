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
  : >"$dir/server.out"  # there to read before the server has opened it
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
# e2e_server, e2e_run and e2e_end below run the programs and report.
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

# e2e_server KELSRV ARGS...: a kelsrv on a free port (sets port) through the
# emulator; the script ends when none comes up.
e2e_server() {
  kelsrv_start "$work" "$limit" ${emulator[@]+"${emulator[@]}"} "$@" -p 0 || { echo "FAIL: no server"; exit 1; }
}

# e2e_run EXPECTED_EXIT PROGRAM ARGS...: runs PROGRAM through the emulator in
# $work for at most $limit s, its stdout and stderr without carriage returns
# in $work/out and $work/err. Another exit status is a failure, shown with
# both outputs; the return status says whether the exit status was expected.
e2e_run() {
  local expected=$1 rc=0
  shift
  (cd "$work" && timeout "$limit" ${emulator[@]+"${emulator[@]}"} "$@") >"$work/out.raw" 2>"$work/err.raw" || rc=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
  [ "$rc" -eq "$expected" ] && return 0
  fail "$(basename "$1") ${*:2}: exit $rc, expected $expected"
  sed 's/^/  stdout: /' "$work/out"
  sed 's/^/  stderr: /' "$work/err"
  return 1
}

# e2e_end MESSAGE: after a failure shows the last run's output and the
# server's log and exits with 1; else prints MESSAGE.
e2e_end() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; the last run wrote:"
    cat "$work/out" "$work/err" 2>/dev/null | sed 's/^/  /'
    echo "server log:"
    sed 's/^/  /' "$work/server.log"
    exit 1
  fi
  echo "$1"
}
