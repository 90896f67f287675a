#!/bin/sh
# Installs the built library into a temporary prefix, moves the prefix (the package must be
# relocatable), then builds and runs the consumer once through find_package and once through
# pkg-config.  Usage: check.sh BUILD_DIR SOURCE_DIR CXX
set -eu
build=$1 source=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
libdir=$(dirname "$(find "$prefix" -name 'libwrenfold_zlib.so.1' | head -n 1)")
test -L "$libdir/libwrenfold_zlib.so" && test -L "$libdir/libwrenfold_zlib.so.1"
test -f "$prefix/include/wrenfold/coders-zlib.hpp" && test -f "$prefix/include/wrenfold/coders.hpp"

echo "== find_package"
cmake -S "$source/tests/packaging" -B "$work/consumer" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

echo "== pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --print-requires wrenfold-zlib | grep -q '^zlib >= 1.2.8$'
# shellcheck disable=SC2046
"$cxx" -std=c++20 -o "$work/consumer-pc" "$source/tests/packaging/consumer.cpp" \
  $(pkg-config --cflags --libs wrenfold-zlib) -Wl,-rpath,"$libdir"
"$work/consumer-pc"
