#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as a customer would:
# a C program built with find_package(kelapi) and the same program built
# with pkg-config, the examples built from their installed sources, the
# installed kelcli, the man pages through man -l; and checks that the
# binaries were installed stripped.
#   check_install.sh <build-dir> <work-dir> <version>
set -euo pipefail
build=$1 work=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
rm -rf "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libkelapi.so.1' | head -1)")

cmake -S "$here" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DKEL_EXPECTED_VERSION="$version" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/consumer/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion kelapi)" = "$version" ] ||
  { echo "pkg-config reports version $(pkg-config --modversion kelapi)"; exit 1; }
# shellcheck disable=SC2046  # the flags are words
cc -std=c89 -pedantic-errors -Wall -Wextra -Werror -o "$work/pc_consumer" "$here/../consumer/consumer.c" \
  $(pkg-config --cflags --libs kelapi)
LD_LIBRARY_PATH=$libdir "$work/pc_consumer" >/dev/null
echo "pkg-config: $(pkg-config --cflags --libs kelapi)"

cmake -S "$prefix/share/doc/kelapi/examples" -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/examples" >/dev/null
usage=$(LD_LIBRARY_PATH=$libdir "$work/examples/example_system_info" 2>&1 || true)
[ "$usage" = "missing arguments: HOST PORT USER PASSWORD" ] || { echo "installed example: $usage"; exit 1; }

"$prefix/bin/kelcli" --help >/dev/null
for page in man1/kelcli.1 man1/kelsrv.1 man3/kelapi.3; do
  MANWIDTH=80 man -l "$prefix/share/man/$page" 2>/dev/null | grep -q "^NAME" || { echo "man -l $page shows nothing"; exit 1; }
done
for binary in "$prefix/bin/kelcli" "$prefix/bin/kelsrv" "$libdir/libkelapi.so.1"; do
  if objdump -h "$binary" | grep -q '\.debug_'; then echo "$binary is not stripped"; exit 1; fi
done
echo "installed library, package files, examples, man pages and tools work from $prefix"
