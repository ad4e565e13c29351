#!/usr/bin/env bash
# The kelapi part of the demo: a reference server on a free loopback port,
# the server's identity through `kelcli info`, an echo through `kelcli send`
# with the library's trace, and a refused logon with its result code.
#   scripts/demo-kelapi.sh <native-build-dir>
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <native-build-dir>" >&2
  exit 2
fi
build=$(realpath "$1")
kelsrv=$build/bin/kelsrv
kelcli=$build/bin/kelcli
for program in "$kelsrv" "$kelcli"; do
  if [ ! -x "$program" ]; then
    echo "demo-kelapi: $program is missing; build the targets kelsrv and kelcli first" >&2
    exit 2
  fi
done

work=$(mktemp -d)
source "$(dirname "$0")/kelsrv-run.sh"
trap 'kelsrv_stop; rm -rf "$work"' EXIT

heading() { printf '\n=== %s\n' "$1"; }
# Prints a command line as typed, quoting the words that hold blanks.
show() {
  local line='$' word
  for word in "$@"; do
    case $word in *' '*) line+=" \"$word\"" ;; *) line+=" $word" ;; esac
  done
  echo "$line"
}

heading "Start kelsrv, the reference connector server (user 'demo', password 'secret')"
show kelsrv --port 0 --user demo:secret --description "kelapi demo server" --logon-data 0x01
kelsrv_start "$work" 30 "$kelsrv" --port 0 --user demo:secret --description "kelapi demo server" \
  --logon-data 0x01
cat "$work/server.out"

export KELCLI_PASSWORD=secret
heading "kelcli info: connect, log on, show who the server is, disconnect"
echo "(the password comes from the environment variable KELCLI_PASSWORD)"
show kelcli info --user demo --port "$port" 127.0.0.1
"$kelcli" info --user demo --port "$port" 127.0.0.1

heading "kelcli send: one echo command (0x80000100); the library's trace goes to stderr"
show kelcli send --trace --user demo --port "$port" --code 0x80000100 --parm1 42 --data "hello from kelapi" 127.0.0.1
"$kelcli" send --trace --user demo --port "$port" --code 0x80000100 --parm1 42 --data "hello from kelapi" \
  127.0.0.1 2>&1

heading "A refused logon: wrong password"
show kelcli info --user demo --password wrong --port "$port" 127.0.0.1
rc=0
"$kelcli" info --user demo --password wrong --port "$port" 127.0.0.1 2>&1 || rc=$?
echo "exit code: $rc (the library's result code: KEL_ERR_HOST_106, host return code 0x00010002)"

heading "Stop kelsrv; what it logged"
kelsrv_stop
sed 's/^/  /' "$work/server.log"
