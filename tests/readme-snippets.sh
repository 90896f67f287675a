#!/bin/sh
# Writes each ```cpp block of a Markdown file to OUT_DIR/snippet-N.cpp (N from 1), so that the
# build compiles every C++ snippet of the README and none can rot.  Usage: readme-snippets.sh
# README OUT_DIR
set -eu
readme=$1 out=$2
mkdir -p "$out"
rm -f "$out"/snippet-*.cpp
awk -v out="$out" '
  /^```cpp[[:space:]]*$/ { n++; file = sprintf("%s/snippet-%d.cpp", out, n); inside = 1; next }
  /^```/ && inside { inside = 0; close(file); next }
  inside { print > file }
' "$readme"
