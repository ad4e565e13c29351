#!/usr/bin/env bash
# kelsrv --forward and --replay as programs, with kelcli (POSIX systems; the
# byte-level checks are relay_test's): kelcli through the proxy gets what it
# gets from kelsrv itself, the proxy logs one line per frame and neither its
# log nor its record holds the password, a host that is down fails the
# client; the record replayed gives kelcli the same answers, a different
# request fails that client and the exit code says so; a damaged record or
# one that cannot be written stops kelsrv before it serves.
#   relay_program_test.sh KELSRV KELCLI
set -u
kelsrv=$1
kelcli=$2
source "$(dirname "$0")/../../scripts/kelsrv-run.sh"
e2e_begin
pids=()
trap 'for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done; rm -rf "$work"' EXIT

# serve NAME ARGS...: kelsrv ARGS on a free port, its output in $work/NAME;
# sets NAME_pid and NAME_port.
serve() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  kelsrv_start "$work/$name" "$limit" "$kelsrv" -p 0 "$@" || exit 1
  pids+=("$server_pid")
  printf -v "${name}_pid" %s "$server_pid"
  printf -v "${name}_port" %s "$port"
  server_pid=""
}
# stop NAME EXIT: SIGTERM; kelsrv must end with EXIT.
stop() {
  local pid="${1}_pid" rc=0
  kill -TERM "${!pid}"
  wait "${!pid}" || rc=$?
  [ "$rc" -eq "$2" ] || fail "$1 ended with exit code $rc, expected $2"
}
# client NAME PORT EXIT REQUEST: kelcli REQUEST against PORT must exit with
# EXIT; its stdout stays in $work/NAME.
client() {
  local name=$1 port=$2 expected=$3
  # shellcheck disable=SC2086 # REQUEST is words
  e2e_run "$expected" "$kelcli" $4 -u demo -w "$password" -p "$port" --timeout "$limit" 127.0.0.1
  cp "$work/out" "$work/$name"
}
same() { cmp -s "$work/$1" "$work/$2" || fail "$2 differs from $1: $(diff "$work/$1" "$work/$2")"; }
count() { grep -c -- "$1" "$2"; }

password=Sesame42
requests=("info" "send -c 0x80000100 --parm1 7 -d hello" "send -c 0x80000101 --parm1 20 --parm3 2" "send -c 0x80000999")
exits=(0 0 0 201)
serve host -u "demo:$password" --logon-data 0x2a --description "relay test host"
serve proxy --forward "localhost:$host_port" --record "$work/session.jsonl" --connect-timeout "$limit"
for i in "${!requests[@]}"; do
  client "direct$i" "$host_port" "${exits[$i]}" "${requests[$i]}"
  client "proxied$i" "$proxy_port" "${exits[$i]}" "${requests[$i]}"
  same "direct$i" "proxied$i"
done
stop host 0
client proxied4 "$proxy_port" 102 "info"
stop proxy 0
log=$work/proxy/server.log
# Identify, logon, disconnect and a request each; their replies, and two notes and ignore frames.
[ "$(count "client -> host 0x" "$log")" = 15 ] || fail "$(count "client -> host 0x" "$log") frames from the clients logged, not 15"
[ "$(count "host -> client 0x" "$log")" = 19 ] || fail "$(count "host -> client 0x" "$log") frames from the host logged, not 19"
[ "$(count "password scrambled, 16 bytes" "$log")" = 4 ] || fail "the logons are not shown with scrambled passwords"
grep -q "connection 5: cannot reach localhost:$host_port: " "$log" || fail "no line says the host is down"
grep -q "kelsrv: recorded 34 frame(s) of 5 session(s) in $work/session.jsonl" "$log" || fail "no summary of the record"
for file in "$log" "$work/session.jsonl"; do
  ! grep -q "$password" "$file" || fail "$(basename "$file") holds the password"
done

serve replay --replay "$work/session.jsonl"
for i in "${!requests[@]}"; do
  client "replayed$i" "$replay_port" "${exits[$i]}" "${requests[$i]}"
  same "proxied$i" "replayed$i"
done
client replayed4 "$replay_port" 102 "info"
client different "$replay_port" 102 "send -c 0x80000100 -d hello"
stop replay 4
log=$work/replay/server.log
grep -q "connection 6: session 1, client frame 3: differs in code: recorded 0x80000003, got 0x80000100; closing" "$log" ||
  fail "the different request is not logged"
grep -q "connection 6:   received: 0x80000100 flags 0x08 data 5" "$log" || fail "the request received is not logged"
[ "$(tail -1 "$log")" = "kelsrv: replayed 5 session(s) in full, 1 differed" ] || fail "last line: $(tail -1 "$log")"

# Nothing is served from a record that cannot be read, nor recorded where none can be written.
printf '{"kelsrv_record":1}\n{"session":1,"time":0,"from":"client","code":' >"$work/cut.jsonl"
printf '\x89PNG\r\n' >"$work/image.jsonl"
: >"$work/empty.jsonl"
while IFS='|' read -r args message; do
  # shellcheck disable=SC2086 # args are words
  e2e_run 3 timeout "$limit" "$kelsrv" -p 0 $args || continue
  [ ! -s "$work/out" ] || fail "kelsrv $args served: $(cat "$work/out")"
  [ "$(head -1 "$work/err")" = "kelsrv: $message" ] || fail "kelsrv $args said: $(cat "$work/err")"
done <<EOF
--replay cut.jsonl|record file cut.jsonl line 2: not JSON (at byte 46)
--replay image.jsonl|record file image.jsonl line 1: not JSON (at byte 1)
--replay empty.jsonl|record file empty.jsonl holds no session
--replay .|record file . is a directory
--forward localhost --record no-such-folder/r.jsonl|cannot write record file no-such-folder/r.jsonl: No such file or directory
EOF
e2e_end "kelsrv forwards, records and replays"
