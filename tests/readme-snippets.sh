#!/bin/sh
# Writes each ```cpp block of a Markdown file to OUT_DIR/snippet-N.cpp (N from 1), so that the
# build compiles every C++ snippet of the README and none can rot. A file whose text did not
# change is left alone, so that configuring again rebuilds nothing.
#   Usage: readme-snippets.sh README OUT_DIR
set -eu
readme=$1 out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
awk -v out="$work" '
  /^```cpp[[:space:]]*$/ { n++; file = sprintf("%s/snippet-%d.cpp", out, n); inside = 1; next }
  /^```/ && inside { inside = 0; close(file); next }
  inside { print > file }
' "$readme"
for old in "$out"/snippet-*.cpp; do
  [ -e "$old" ] && [ ! -e "$work/$(basename "$old")" ] && rm -f "$old"
done
for new in "$work"/snippet-*.cpp; do
  [ -e "$new" ] || continue
  cmp -s "$new" "$out/$(basename "$new")" || cp "$new" "$out/"
done
