#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine:
# compilers, GoogleTest sources, the MinGW cross compilers, 32-bit and 64-bit Wine,
# lld (the Microsoft-ABI consumer), mandoc (man page lint), pkgconf and man-db
# (the install test), iproute2 (ss, for the kelsrv program test), nlohmann-json
# (kelsrv's record files), tshark and tcpdump (the dissector's tests), pip, pytest
# and mypy (the Python package's tests), libssl-dev and openssl (TLS through
# OpenSSL 3 on POSIX builds, and the test certificates), stunnel4 (the TLS
# terminator of the manual's example, run by kelcli's TLS test).
# Safe to run again: it installs only what is missing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in build-essential cmake ninja-build googletest clang libclang-rt-14-dev \
           g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix \
           binutils-mingw-w64-x86-64 wine wine32:i386 wine64 python3 \
           lld mandoc pkgconf man-db iproute2 \
           nlohmann-json3-dev tshark tcpdump python3-pip python3-pytest python3-mypy \
           libssl-dev openssl stunnel4; do
  have "$pkg" || need+=("$pkg")
done
if ((${#need[@]})); then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  # tshark's package would ask whether users other than root may capture: they may not.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  echo "setup: installing ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
