#!/usr/bin/env bash
# kelsrv as a program (POSIX systems; the exchanges are server_test's): the
# listening line and nothing else on stdout, the line that says what it runs
# with, its exit codes, SIGTERM and SIGINT; and, out of descriptors with a
# thousand clients waiting in its listen backlog, neither spinning nor
# flooding its log, serving the clients it has and the others once
# descriptors come back.
#   program_test.sh KELSRV
set -u
kelsrv=$1
source "$(dirname "$0")/../../scripts/kelsrv-run.sh"
e2e_begin
holder="" spinner=""
trap 'kelsrv_stop; [ -z "$holder$spinner" ] || kill $holder $spinner 2>/dev/null; rm -rf "$work"' EXIT

expect_text() { [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"; }  # WHAT GOT EXPECTED
# begins FILE TEXT: $work/FILE begins with TEXT; an empty TEXT: FILE is empty.
begins() {
  if [ -z "$2" ]; then
    [ ! -s "$work/$1" ] || fail "kelsrv wrote to $1: $(cat "$work/$1")"
  else
    [ "$(head -c "${#2}" "$work/$1")" = "$2" ] || fail "$1 of kelsrv does not begin with '$2': $(cat "$work/$1")"
  fi
}
# ends EXIT OUT ERR ARGS...: kelsrv ARGS ends by itself with EXIT, stdout
# beginning with OUT and stderr with ERR.
ends() {
  local exit=$1 out=$2 err=$3
  shift 3
  e2e_run "$exit" "$kelsrv" "$@" && begins out "$out" && begins err "$err"
}
# stopped SIGNAL: the server ends on SIGNAL with exit code 0 and says so.
stopped() {
  kill "-$1" "$server_pid"
  wait "$server_pid"
  expect_text "exit code after SIG$1" "$?" 0
  server_pid=""
}
# identify FD: the identify request on descriptor FD gets its reply frame and
# 88 bytes (within the time any step may take).
identify() {
  printf '\x80\x00\x00\x01\x08\x00\x00\x00\x58%088d' 0 >&"$1" || return 1
  [ "$(timeout "$limit" head -c 97 <&"$1" | od -An -tx1 | tr -d ' \n' | cut -c 1-18)" = 400000010800000058 ]
}

ends 0 "Usage: kelsrv [options]" "" --help
ends 0 "kelsrv 1." "" --version
ends 2 "" "kelsrv: unknown option '--bogus' (see --help)" --bogus
echo "# nobody" >"$work/empty.users"
ends 3 "" "kelsrv: users file empty.users names no user" -p 0 --users-file empty.users

kelsrv_start "$work" "$limit" "$kelsrv" -p 0 -u alice:secret || exit 1
ends 1 "" "kelsrv: cannot listen on 127.0.0.1:$port: Address already in use (98)" -p "$port"
stopped TERM
expect_text "stdout" "$(cat "$work/server.out")" "kelsrv listening on 127.0.0.1:$port"
expect_text "stderr" "$(cat "$work/server.log")" "kelsrv: 1 user(s); misbehaviour none; at most 1024 clients; \
idle time-out 300 s; listen backlog $(cat /proc/sys/net/core/somaxconn)
kelsrv: stopped after 0 connection(s), 0 refused"
kelsrv_start "$work" "$limit" "$kelsrv" -p 0 --quiet || exit 1  # whether anyone may log on is said even then
stopped INT
expect_text "stderr with --quiet" "$(cut -d';' -f1 "$work/server.log")" \
  "kelsrv: open mode: any non-empty user id logs on with any password"

# About 35 of the thousand are accepted before the descriptors run out; the
# others wait in the backlog, or their connects do not complete (the holder
# never says so). The holder says "held" once all its connects are made and
# keeps them for as long as this test may run. Every bound below comes from
# the times this test measures.
kelsrv_start "$work" "$limit" bash -c 'ulimit -n 40 && exec "$0" -p 0' "$kelsrv" || exit 1
# The kernel's own account of the listening socket: a backlog too small would
# leave connects waiting for the SYN retries to give up, not failing.
backlog=$(ss -Hltn "sport = :$port" | awk '{ print $3 }')
((${backlog:-0} >= 1000)) || { fail "the listen backlog holds ${backlog:-no} connections, not a thousand"; e2e_end; }
exec 3<>"/dev/tcp/127.0.0.1/$port"
identify 3 || fail "the first client is not served"
now_ms() { date +%s%3N; }
starving_from=$(now_ms)  # no descriptor can run out before this
exec 5< <(bash -c 'for _ in $(seq 1000); do exec {fd}<>"/dev/tcp/127.0.0.1/$0" || exit 1; done; echo held
  exec sleep "$1"' "$port" "$limit")
holder=$!
read -r -t "$limit" -u 5 held || fail "the holder did not make its thousand connections"
exec 5<&-
# Out of descriptors, the server waits for one to come back. A busy loop
# beside it shows what anything that spins gets of the CPU here and now: the
# server is watched until that loop has had half a second, and it must have
# had less than half as much (spinning, it would get about the same).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
bash -c 'while :; do :; done' &
spinner=$!
server_from=$(cpu_ticks "$server_pid") spinner_from=$(cpu_ticks "$spinner")
half_second=$(($(getconf CLK_TCK) / 2))
for _ in $(seq $((limit * 10))); do
  (($(cpu_ticks "$spinner") - spinner_from >= half_second)) && break
  sleep 0.1
done
server_used=$(($(cpu_ticks "$server_pid") - server_from)) spinner_used=$(($(cpu_ticks "$spinner") - spinner_from))
kill "$spinner"
wait "$spinner" 2>/dev/null
spinner=""
((server_used * 2 < spinner_used)) ||
  fail "the accept loop spins: $server_used CPU ticks while a busy loop got $spinner_used"
identify 3 || fail "a client it has is not served"
kill "$holder"
wait "$holder" 2>/dev/null
holder=""
exec 4<>"/dev/tcp/127.0.0.1/$port"
identify 4 || fail "the clients that waited are not served once descriptors come back"
stopped TERM
starved_ms=$(($(now_ms) - starving_from))
# One line at the first failure, at most one a second after it, and at the
# stop one for the failures counted since the last line.
failures_logged=$(grep -c "accept failed" "$work/server.log")
((failures_logged >= 1)) || fail "the descriptor limit was never reached"
((failures_logged <= starved_ms / 1000 + 2)) ||
  fail "$failures_logged lines of accept failures in $starved_ms ms: more than one a second"
grep "accept failed" "$work/server.log" | grep -v "Too many open files (24)" && fail "accept failed for another reason"
e2e_end "the kelsrv program works"
