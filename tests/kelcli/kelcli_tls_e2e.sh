#!/usr/bin/env bash
# kelcli over TLS against a native kelsrv that serves TLS with the test
# certificates: verify-full by address and by name logs on and echoes; an
# untrusted CA, another name, an expired certificate and a server without
# TLS are refused with 101 and the library's reason, and no such client
# reaches identify in the server's log; the environment variables stand in
# for the options, and an unknown mode fails closed; a plain kelsrv behind
# the manual's stunnel terminator configuration is reached in verify-full.
# Under Wine kelcli.exe (Schannel, with the library's own checks) meets the
# same native programs.
#   kelcli_tls_e2e.sh KELSRV KELCLI CERTDIR [-- EMULATOR...]
# KELSRV is always a native program: the Windows kelsrv serves no TLS.
set -u
kelsrv=$1 kelcli=$2 certs=$3
shift 3
source "$(dirname "$0")/../../scripts/kelsrv-run.sh"
e2e_begin "$@"
if [ ! -x "$kelsrv" ]; then
  echo "SKIP: no native kelsrv at $kelsrv (build the native preset first)"
  exit 77
fi
cp "$certs"/*.pem "$certs"/*.key "$work/"  # relative names work the same under Wine

run() { local expected=$1; shift; e2e_run "$expected" "$kelcli" "$@"; }
expect_out() { grep -qxF -- "$1" "$work/out" || fail "stdout of the last kelcli lacks the line '$1'"; }
expect_err_part() { grep -qF -- "$1" "$work/err" || fail "stderr of the last kelcli lacks '$1'"; }

# serve CERT [ARGS...]: a native kelsrv serving TLS with CERT.pem and CERT.key ("-" for none).
serve() {
  local cert=$1
  shift
  kelsrv_stop
  local tls=()
  [ "$cert" = - ] || tls=(--tls-cert "$work/$cert.pem" --tls-key "$work/$cert.key")
  kelsrv_start "$work" "$limit" "$kelsrv" -u demo:secret ${tls[@]+"${tls[@]}"} -p 0 "$@" ||
    { echo "FAIL: no server"; exit 1; }
}
login=(-u demo -w secret)

# refused ARGS... -- REASON: 101 with the reason; the server saw no identify.
refused() {
  local args=()
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  if run 101 info "${login[@]}" -p "$port" "${args[@]}"; then
    expect_err_part "Reason: $2"
  fi
}

serve server
# --- verify-full: by address (the certificate's IP address) and by name
if run 0 info "${login[@]}" -p "$port" --tls verify-full --tls-ca ca.pem 127.0.0.1; then
  expect_out "description kelsrv reference connector server"
fi
if run 0 send "${login[@]}" -p "$port" --tls verify-full --tls-ca ca.pem -c 0x80000100 --data "over TLS" localhost; then
  expect_out "over TLS"
fi
# The environment in place of the options; the options win over it.
KELAPI_TLS=verify-full KELAPI_TLS_CA=ca.pem run 0 info "${login[@]}" -p "$port" 127.0.0.1
KELAPI_TLS=off run 0 info "${login[@]}" -p "$port" --tls verify-full --tls-ca ca.pem 127.0.0.1
grep -q "TLS handshake done, TLSv1\.[23]" "$work/server.log" || fail "the server logged no TLS handshake"

# --- refusals, each before identify
identified=$(grep -c "identified as" "$work/server.log")
refused --tls verify-full --tls-ca other-ca.pem 127.0.0.1 -- \
  "TLS with 127.0.0.1:$port: the server's certificate (localhost) is not issued by a trusted CA"
refused --tls verify-full --tls-ca ca.pem --tls-server-name db.example 127.0.0.1 -- \
  "TLS with 127.0.0.1:$port: the server's certificate names localhost, 127.0.0.1, not db.example"
(export KELAPI_TLS=bogus; refused 127.0.0.1 -- "TLS with 127.0.0.1:$port: KELAPI_TLS is 'bogus', which is no TLS mode")
[ "$(grep -c "identified as" "$work/server.log")" = "$identified" ] || fail "a refused client reached identify"

serve other-name
refused --tls verify-full --tls-ca ca.pem 127.0.0.1 -- \
  "TLS with 127.0.0.1:$port: the server's certificate names elsewhere.example, not 127.0.0.1"
serve expired
refused --tls verify-ca --tls-ca ca.pem 127.0.0.1 -- \
  "TLS with 127.0.0.1:$port: the certificate of localhost in the server's chain has expired (valid until 2020-01-02 00:00:00 UTC)"
serve self-signed
run 0 info "${login[@]}" -p "$port" --tls require 127.0.0.1
refused --tls verify-ca 127.0.0.1 -- \
  "TLS with 127.0.0.1:$port: the server's certificate (localhost) is not issued by a trusted CA"
[ "$(grep -c "identified as" "$work/server.log")" = 1 ] || fail "a refused client reached identify"
serve -
refused --tls require --timeout 60 127.0.0.1 -- \
  "TLS with 127.0.0.1:$port: the server does not speak TLS: its answer to the TLS handshake is no TLS record"

# --- a plain host behind a TLS terminator, configured as docs/security.md shows
serve -
host_port=$port
terminator_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/kelapi.conf" <<CONF
foreground = yes
pid =
[kelapi]
accept        = 127.0.0.1:$terminator_port
connect       = 127.0.0.1:$host_port
cert          = $work/server.pem
key           = $work/server.key
sslVersionMin = TLSv1.2
CONF
stunnel4 "$work/kelapi.conf" >"$work/stunnel.log" 2>&1 &
terminator_pid=$!
trap 'kill "$terminator_pid" 2>/dev/null; wait "$terminator_pid" 2>/dev/null; kelsrv_stop; rm -rf "$work"' EXIT
for _ in $(seq $((limit * 10))); do
  (exec 3<>"/dev/tcp/127.0.0.1/$terminator_port") 2>/dev/null && break
  sleep 0.1
done
if run 0 info "${login[@]}" -p "$terminator_port" --tls verify-full --tls-ca ca.pem localhost; then
  expect_out "description kelsrv reference connector server"
fi
# The terminator's port speaks TLS only: a program not switched over gets nowhere.
run 102 info "${login[@]}" -p "$terminator_port" --timeout 5 127.0.0.1 || sed 's/^/  stunnel: /' "$work/stunnel.log"

# --- usage
run 2 info "${login[@]}" --tls maybe 127.0.0.1 && expect_err_part "--tls takes off, require, verify-ca or verify-full, not 'maybe'"
run 2 info "${login[@]}" --tls-ca ca.pem 127.0.0.1 && expect_err_part "--tls-ca and --tls-server-name go with --tls"

e2e_end "kelcli over TLS: all checks passed"
