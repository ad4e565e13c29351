#!/usr/bin/env bash
# kelcli end to end against a kelsrv on a free loopback port: info, echo
# and chatty through send, bench, refused logons and commands with their
# exit codes and failure lines and the library's reasons, the trace, usage
# errors, an unknown host, a time-out against a server that never answers,
# a refused connection once the server has stopped, and a server that
# listens on the IPv6 loopback address only.
#   kelcli_e2e.sh KELSRV KELCLI [-- EMULATOR...]
# With an emulator (the Windows build under Wine) both programs run through it.
set -u
kelsrv=$1 kelcli=$2
shift 2
source "$(dirname "$0")/../../scripts/kelsrv-run.sh"
e2e_begin "$@"

# run EXPECTED_EXIT ARGS...: kelcli with ARGS (see e2e_run).
run() { local expected=$1; shift; e2e_run "$expected" "$kelcli" "$@"; }
expect_out() { grep -qxF -- "$1" "$work/out" || fail "stdout of the last kelcli lacks the line '$1'"; }
expect_err() { grep -qxF -- "$1" "$work/err" || fail "stderr of the last kelcli lacks the line '$1'"; }
expect_err_part() { grep -qF -- "$1" "$work/err" || fail "stderr of the last kelcli lacks '$1'"; }
expect_out_match() { grep -qE -- "$1" "$work/out" || fail "stdout of the last kelcli has no line like '$1'"; }

e2e_server "$kelsrv" -u demo:secret -u twice:one:two -u locked:pw::0x00010005 --server-id 0x123456 \
  --server-version 0x00020001 --description "kelcli e2e server" --logon-data 0x2a
echo "kelsrv on port $port"

# --- info ---------------------------------------------------------------------
if run 0 info -u demo -w secret -p "$port" 127.0.0.1; then
  expect_out "identifier 0x00123456"
  expect_out "version    0x00020001"
  expect_out "description kelcli e2e server"
  expect_out "logon data 0x2A"
  [ -s "$work/err" ] && fail "info wrote to stderr without --trace"
fi
# Passwords from the environment; a host name.
if KELCLI_PASSWORD=one KELCLI_PASSWORD2=two run 0 info -u twice -p "$port" localhost; then
  expect_out "identifier 0x00123456"
fi
# The command line wins over the environment; --name=value.
KELCLI_PASSWORD=wrong run 0 info --user=demo --password=secret --port="$port" --timeout=5 127.0.0.1

# --- send ---------------------------------------------------------------------
if run 0 send -u demo -w secret -p "$port" --code 0x80000100 --parm1 7 --data "hello kelcli" 127.0.0.1; then
  expect_out "reply      0x40000100"
  expect_out "parm1      0x00000007"
  expect_out "data       12 bytes"
  expect_out "hello kelcli"
fi
printf 'AB\000\001\377' >"$work/binary.dat"
if run 0 send -u demo -w secret -p "$port" -c 0x80000100 --parm3 9 -f "$work/binary.dat" 127.0.0.1; then
  expect_out "parm3      0x00000009"
  expect_out "data       5 bytes"
  grep -qE '^ +00000000 +41 42 00 01 ff +\|AB\.\.\.\|$' "$work/out" || fail "no hex dump of the binary echo"
fi
# Chatty: notes and ignore frames come first and are skipped.
if run 0 send -u demo -w secret -p "$port" -c 0x80000101 --parm1 40 --parm3 3 127.0.0.1; then
  expect_out "reply      0x40000101"
  expect_out "parm1      0x00000003"
  expect_out "data       0 bytes"
fi
# An explicit reply code: the first note of a chatty exchange.
if run 0 send -u demo -w secret -p "$port" -c 0x80000101 --parm1 4 --reply 0x20000001 --hex 127.0.0.1; then
  expect_out "reply      0x20000001"
  grep -qE '^ +00000000 +00 01 02 03 ' "$work/out" || fail "no hex dump of the note data"
fi
# A command the server does not know: its host code in the library's numbering.
if run 201 send -u demo -w secret -p "$port" -c 0x80000555 127.0.0.1; then
  expect_out "retcode    0x00030004"
  expect_err "kelcli: command refused with host code 0x00030004: result 201 (KEL_ERR_HOST_201): The host refused the request (host return code 0x00030004 or 0x00050002)."
fi

# --- refused logons: the step, the code, its name and its text ------------------
run 106 info -u demo -w wrong -p "$port" 127.0.0.1 &&
  expect_err "kelcli: log on to 127.0.0.1:$port: result 106 (KEL_ERR_HOST_106): The host refused the request (host return code 0x00010002). Reason: log on to 127.0.0.1:$port: refused by the host with return code 0x00010002"
run 108 send -u locked -w pw -p "$port" -c 0x80000100 127.0.0.1 &&
  expect_err_part "kelcli: log on to 127.0.0.1:$port: result 108 (KEL_ERR_HOST_108): "

# --- bench ----------------------------------------------------------------------
bench=(bench -u demo -w secret -p "$port")
if run 0 "${bench[@]}" --clients 4 --requests 100 --size 1500 127.0.0.1; then
  expect_out_match "^exchanges +400 in [0-9.]+ s: [0-9]+ per second$"
  expect_out_match "^latency +median [0-9.]+ ms, p90 [0-9.]+ ms, p99 [0-9.]+ ms, max [0-9.]+ ms$"
  expect_out_match "^connect +median [0-9.]+ ms, p90 [0-9.]+ ms, p99 [0-9.]+ ms, max [0-9.]+ ms "
  expect_out "failures     0"
fi
# For a time rather than a count: however fast the machine, the run lasts the second.
run 0 "${bench[@]}" --clients 2 --seconds 1 127.0.0.1 && expect_out_match "^exchanges +[0-9]+ in [1-9][0-9]*\.[0-9]{3} s: "
if run 108 bench -u locked -w pw -p "$port" --clients 4 --requests 100 127.0.0.1; then
  expect_out "failures     4"
  expect_out_match "^  4 x log on to 127.0.0.1:$port: result 108 \(KEL_ERR_HOST_108\): .+ Reason: log on to 127.0.0.1:$port: refused by the host with return code 0x00010005$"
  expect_out_match "^not sent +400 "
fi
# Refused requests are counted and the clients go on.
run 201 "${bench[@]}" --clients 2 --requests 50 --command 0x80000555 127.0.0.1 &&
  expect_out_match "^  100 x request refused with host code 0x00030004: result 201 \(KEL_ERR_HOST_201\)"

# --- trace --------------------------------------------------------------------
if run 0 info --trace -u demo -w secret -p "$port" 127.0.0.1; then
  expect_err_part "KelSystm at "
  expect_err_part "KelAllocConnectionByName szHost =  127.0.0.1"
  expect_err_part "KelConnect address =  127.0.0.1:$port"
  expect_err_part "KelDisconnect hConnection = "
  grep -q "Error:" "$work/err" && fail "a successful info traced an error"
fi
if run 106 info -t -u demo -w wrong -p "$port" 127.0.0.1; then
  grep -q "Error: 106 (0x0000006A)" "$work/err" || fail "the refused logon is not in the trace"
fi

# --- usage --------------------------------------------------------------------
run 0 --help && expect_out "Usage: kelcli COMMAND [options] HOST"
run 0 bench --help && expect_out "Usage: kelcli bench [options] HOST"
run 0 info -h && expect_out "Usage: kelcli info [options] HOST"
run 0 --version && expect_out_match "^kelcli [0-9]+\.[0-9]+\.[0-9]+$"
run 2 info -u demo && expect_err "kelcli: no host given"
run 2 send -u demo -w secret 127.0.0.1 && expect_err "kelcli: no command code given (--code)"
run 2 info -u demo --code 1 127.0.0.1 && expect_err "kelcli: option '--code' belongs to the send command"
run 2 send -c 1 --clients=2 -u demo 127.0.0.1 && expect_err "kelcli: option '--clients' belongs to the bench command"
run 2 bench --requests 5 --seconds 1 -u demo 127.0.0.1 && expect_err "kelcli: --requests and --seconds exclude each other"
run 2 frobnicate && expect_err "kelcli: unknown command 'frobnicate' (commands: info, send, bench)"
run 2 info -u demo --port=70000 127.0.0.1 && expect_err "kelcli: bad port '70000'"
run 2 info --trace=1 -u demo 127.0.0.1 && expect_err "kelcli: option '--trace' takes no value"
run 2 send -u demo -c 0x80000100 -f "$work/missing.dat" -p "$port" 127.0.0.1 &&
  expect_err_part "cannot open data file"
run 101 info -u demo -p "$port" no-such-host.invalid &&
  expect_err_part "Reason: connect to no-such-host.invalid:$port: the name does not resolve: "

# --- a server that accepts and reads but never answers; it ends when its one
# client hangs up, or once a step may take no longer -------------------------
exec 6< <(python3 -c '
import signal, socket, sys
signal.alarm(int(sys.argv[1]))
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
print(listener.getsockname()[1], flush=True)
connection = listener.accept()[0]
while connection.recv(65536):
    pass
' "$limit")
silent_pid=$!
read -r -t "$limit" -u 6 silent_port || fail "the silent server did not start"
exec 6<&-
run 102 --timeout 1 info -u demo -p "$silent_port" 127.0.0.1 &&
  expect_err_part "kelcli: connect to 127.0.0.1:$silent_port: result 102 (KEL_ERR_COMM): " &&
  expect_err_part " Reason: identify with 127.0.0.1:$silent_port: receive: timed out after 1000 ms"
kill "$silent_pid" 2>/dev/null

# --- no server ----------------------------------------------------------------
kelsrv_stop
run 101 info -u demo -w secret -p "$port" 127.0.0.1 &&
  expect_err_part "kelcli: connect to 127.0.0.1:$port: result 101 (KEL_ERR_NOT_CONNECTED): " &&
  expect_err_part " Reason: connect to 127.0.0.1:$port: "
grep -q "timed out" "$work/err" && fail "a refused connection was reported as a time-out"

# --- a server on the IPv6 loopback address only: its address with and without
# brackets reaches it, the IPv4 one is refused ----------------------------------
if python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
  e2e_server "$kelsrv" -a ::1 -u demo:secret
  run 0 info -u demo -w secret -p "$port" ::1 && expect_out "identifier 0x00000001"
  run 0 send -u demo -w secret -p "$port" -c 0x80000100 -d over-ipv6 "[::1]" && expect_out "over-ipv6"
  run 101 info -u demo -w secret -p "$port" 127.0.0.1 &&
    expect_err_part " Reason: connect to 127.0.0.1:$port: "
else
  echo "no IPv6 loopback address here: the IPv6 checks are skipped"
fi

e2e_end "all kelcli checks passed"
