#!/usr/bin/env bash
# Runs one example program against a kelsrv on a free loopback port and
# checks what it prints, its exit code and (trace_to_file) the file it writes.
#   check_example.sh NAME KELSRV PROGRAM [-- EMULATOR...]
# With an emulator (a Windows build under Wine) both programs run through it.
set -u
name=$1 kelsrv=$2 program=$3
shift 3
source "$(dirname "$0")/../../scripts/kelsrv-run.sh"
e2e_begin "$@"

# run EXPECTED_EXIT ARGS...: the example with ARGS (see e2e_run); expect LINE:
# the last run printed LINE, on stdout or stderr.
run() { local expected=$1; shift; e2e_run "$expected" "$program" "$@"; }
expect() { grep -qxF -- "$1" "$work/out" "$work/err" || fail "$name: no line '$1'"; }

e2e_server "$kelsrv" -u demo:secret -u off:pw::0x00010005 --server-id 0x123456 --server-version 0x00020001 \
  --description "examples server" --logon-data 0x2a

case $name in
  system_info)
    run 0 127.0.0.1 "$port" demo secret
    expect "server identifier 0x00123456"
    expect "server version    0x00020001"
    expect "description       examples server"
    expect "logon data        0x2A"
    run 106 localhost "$port" demo wrong
    expect "KelAllocHoxSystem failed: 106 (The host refused the request (host return code 0x00010002).)"
    ;;
  send_command)
    run 0 127.0.0.1 "$port" demo secret "hello from an example"
    expect "reply 0x40000100, parm1 42, 21 data bytes: hello from an example"
    run 2 127.0.0.1 "$port" demo secret
    expect "missing argument: TEXT"
    ;;
  trace_to_file)
    run 0 . 127.0.0.1 "$port" demo secret
    file=$(sed -n 's/^[0-9][0-9]* trace lines in \.\/\(kelapi-[0-9]\{8\}-[0-9]\{6\}-[0-9]*\.trace\)$/\1/p' "$work/out")
    if [ -z "$file" ] || [ ! -f "$work/$file" ]; then
      fail "trace_to_file named no trace file: $(cat "$work/out")"
    else
      tr -d '\r' <"$work/$file" >"$work/trace"
      head -1 "$work/trace" | grep -qE '^kelapi [0-9]+\.[0-9]+\.[0-9]+ trace of process [0-9]+, started 20[0-9-]+ [0-9:]+$' ||
        fail "trace file starts with: $(head -1 "$work/trace")"
      grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2}  [0-9]{2}\.[0-9]{2}\.[0-9]{4} - .*KelSystm.* at [0-9]+:  KelAllocHoxSystem dwIP =  16777343 \(0x0100007F\)$' \
        "$work/trace" || fail "trace file lacks the time-stamped line of KelAllocHoxSystem"
      for text in "   szServerDescription =  examples server" "KelFreeHoxSystem hHoxSystem = "; do
        grep -qF -- "$text" "$work/trace" || fail "trace file lacks '$text'"
      done
      [ "$(($(wc -l <"$work/trace") - 1))" = "$(sed -n 's/^\([0-9]*\) trace lines.*/\1/p' "$work/out")" ] ||
        fail "the count of trace lines does not match the file"
    fi
    ;;
  reconnect)
    run 0 127.0.0.1 "$port" demo secret
    expect "echo: first connection"
    expect "echo: after reconnecting"
    [ "$(grep -c '^connected at attempt 1$' "$work/out")" = 2 ] || fail "reconnect did not connect twice"
    run 108 127.0.0.1 "$port" off pw
    expect "attempt 1 of 3: result 108 (The host refused the request (host return code 0x00010005).)"
    expect "giving up: result 108 (The host refused the request (host return code 0x00010005).)"
    kelsrv_stop
    run 101 127.0.0.1 "$port" demo secret 2
    expect "attempt 2 of 2: result 101 (The connection is not open: the server could not be reached, or it was closed.)"
    ;;
  *)
    fail "no checks for example '$name'"
    ;;
esac

e2e_end "example $name works against kelsrv"
