#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as a customer would:
# a C program built with find_package(kelapi) and the same program built
# with pkg-config, the examples built from their installed sources, the
# installed kelcli, the man pages through man -l; and checks that the
# binaries were installed as the build type promises: stripped, or as built
# (a Debug build keeps its debug information, as does KEL_INSTALL_STRIP=OFF).
#   check_install.sh <build-dir> <work-dir> <version> stripped|as-built
set -euo pipefail
build=$1 work=$2 version=$3 strip=$4
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
debug_info() { case "$(objdump -h "$1")" in *" .debug_"*) echo "with debug information" ;; *) echo "stripped" ;; esac; }
for binary in bin/kelcli bin/kelsrv lib/libkelapi.so.1; do
  installed=$prefix/$binary
  [ "$binary" != lib/libkelapi.so.1 ] || installed=$libdir/libkelapi.so.1
  expected=stripped
  [ "$strip" = stripped ] || expected=$(debug_info "$build/$binary")
  actual=$(debug_info "$installed")
  [ "$actual" = "$expected" ] || { echo "$installed is $actual, expected $expected"; exit 1; }
done
echo "installed library, package files, examples, man pages and tools work from $prefix ($(debug_info "$prefix/bin/kelcli"))"
