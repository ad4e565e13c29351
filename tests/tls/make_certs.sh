#!/usr/bin/env bash
# Makes the certificates the TLS tests use, with the openssl command, in DIR:
#   ca.pem              the tests' CA (ca.key its key)
#   other-ca.pem        a CA that signed nothing the servers show
#   server.pem/.key     localhost and 127.0.0.1, from the CA, valid for ten years
#   expired.pem/.key    the same names, from the CA, valid only in January 2020
#   other-name.pem/.key elsewhere.example, from the CA
#   self-signed.pem/.key localhost and 127.0.0.1, signed by itself
#   sweep-ca.pem, sweep-server.pem/.key  Ed25519: signatures of one fixed size
#                       and quick, for the tests that run thousands of handshakes
#   make_certs.sh DIR          (OPENSSL names the openssl command, if not the one on PATH)
set -euo pipefail
openssl() { command "${OPENSSL:-openssl}" "$@"; }
dir=$1
mkdir -p "$dir"
cd "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OPENSSL_CONF=/dev/null  # the machine's configuration plays no part

server_ext() {  # the extensions of a server certificate for the names given
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n'
  printf 'extendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$1"
}

ca() {  # NAME SUBJECT KEYTYPE...: a self-signed CA
  local name=$1 subject=$2
  shift 2
  openssl req -x509 -newkey "$@" -nodes -keyout "$name.key" -out "$name.pem" -days 3650 -subj "/CN=$subject" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# NAME CN SAN CA KEYTYPE... : a server certificate signed by CA, ten years from now
server() {
  local name=$1 cn=$2 san=$3 ca=$4
  shift 4
  openssl req -new -newkey "$@" -nodes -keyout "$name.key" -out "$work/$name.csr" -subj "/CN=$cn" 2>/dev/null
  server_ext "$san" >"$work/$name.ext"
  openssl x509 -req -in "$work/$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 3650 -sha256 -extfile "$work/$name.ext" -out "$name.pem" 2>/dev/null
}

ca ca "kelapi test CA" rsa:2048
ca other-ca "kelapi other CA" rsa:2048
server server localhost "DNS:localhost,IP:127.0.0.1" ca rsa:2048
server other-name elsewhere.example "DNS:elsewhere.example" ca rsa:2048

# A certificate whose dates lie in the past: openssl ca takes them as given.
openssl req -new -newkey rsa:2048 -nodes -keyout expired.key -out "$work/expired.csr" -subj "/CN=localhost" 2>/dev/null
mkdir "$work/db"
: >"$work/db/index"
cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/db/index
new_certs_dir = $work/db
serial = $work/db/serial
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
[any]
commonName = supplied
[ext]
$(server_ext "DNS:localhost,IP:127.0.0.1")
CNF
echo 01 >"$work/db/serial"
openssl ca -batch -config "$work/ca.cnf" -cert ca.pem -keyfile ca.key -in "$work/expired.csr" -out expired.pem \
  -startdate 20200101000000Z -enddate 20200102000000Z -extensions ext -notext 2>/dev/null

openssl req -x509 -newkey rsa:2048 -nodes -keyout self-signed.key -out self-signed.pem -days 3650 \
  -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" 2>/dev/null

ca sweep-ca "kelapi sweep CA" ed25519
server sweep-server localhost "DNS:localhost,IP:127.0.0.1" sweep-ca ed25519
rm -f ./*.srl
