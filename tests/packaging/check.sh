#!/bin/sh
# Follows the README's "Install and use" steps exactly as written, in a copy of the source tree,
# with a temporary directory as the prefix: build, install, then a consumer built with
# find_package and one built with pkg-config, each run. Then moves the installed tree and builds
# and runs the pkg-config consumer again: the package must be relocatable.
#   Usage: check.sh SOURCE_DIR CXX
set -eu
source=$1 cxx=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/src"
tar -C "$source" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$work/src" -xf -
# The block after the install-and-use marker, with the prefix line pointed at the scratch prefix.
awk '/<!-- install-and-use/ { found = 1; next }
     found && /^```sh/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$source/README.md" >"$work/steps.sh"
grep -q '^prefix=' "$work/steps.sh" || { echo "no install steps in the README" >&2; exit 1; }
sed -i "s|^prefix=.*|prefix=$work/prefix|" "$work/steps.sh"
echo "== the README's install steps"
(cd "$work/src" && CXX="$cxx" sh -eu "$work/steps.sh") >"$work/steps.log" 2>&1 || {
  cat "$work/steps.log"
  exit 1
}
grep '^consumer:' "$work/steps.log"
lib=$work/prefix/lib
test -L "$lib/libwrenfold_zlib.so" && test -L "$lib/libwrenfold_zlib.so.1"
pkg-config --print-requires wrenfold-zlib --with-path "$lib/pkgconfig" | grep -q '^zlib >= 1.2.8$'

echo "== relocated"
mv "$work/prefix" "$work/moved"
export PKG_CONFIG_PATH="$work/moved/lib/pkgconfig"
# shellcheck disable=SC2046
"$cxx" -std=c++20 -o "$work/consumer-moved" "$source/tests/packaging/consumer.cpp" \
  $(pkg-config --cflags --libs wrenfold-zlib-parallel) -Wl,-rpath,"$work/moved/lib"
"$work/consumer-moved"
