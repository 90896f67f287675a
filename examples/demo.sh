#!/bin/sh
# Compresses the project's own sources (repeated to a few MB) to gzip with wrenfold-pipe on each
# engine it has (zlib, and ISA-L when built in), checks each result with the system gzip and the
# zlib engine, decompresses it back and prints sizes, ratios and speeds; then compresses the same
# input on 1 thread and on every core with --threads, and checks that the bytes are the same.
#
#   sh examples/demo.sh BUILD_DIR
set -eu

build=${1:?usage: sh examples/demo.sh BUILD_DIR}
pipe=$build/examples/wrenfold-pipe
root=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$pipe" ] || { echo "demo: $pipe not found; build first (make build)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# The input: every source file of the project, concatenated and repeated up to 4 MB.
sources=$(cd "$root" && { git ls-files src contract tests examples 2>/dev/null ||
  find src contract tests examples -type f; } | sort)
[ -n "$sources" ] || { echo "demo: no sources found under $root" >&2; exit 1; }
(cd "$root" && cat $sources) > "$work/sources"
: > "$work/input"
while [ "$(wc -c < "$work/input")" -lt 4000000 ]; do cat "$work/sources" >> "$work/input"; done

# Nanoseconds since the epoch, or seconds padded out where date knows no %N.
now() {
  t=$(date +%s%N)
  case $t in *N) echo "$(date +%s)000000000" ;; *) echo "$t" ;; esac
}
# mb_per_s BYTES START_NS END_NS
mb_per_s() {
  awk -v b="$1" -v s="$2" -v e="$3" \
    'BEGIN { d = (e - s) / 1e9; if (d <= 0) print "-"; else printf "%.1f", b / 1e6 / d }'
}
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

# compress ENGINE LEVEL: the input to gzip and back with one engine at its default level (LEVEL,
# in the engine's own numbering, is only printed), checked by the system gzip and the zlib
# engine; prints the engine's line of the table.
compress() {
  engine=$1
  gz=$work/input.$engine.gz
  t0=$(now)
  "$pipe" --engine "$engine" < "$work/input" > "$gz"
  t1=$(now)
  "$pipe" --engine "$engine" -d < "$gz" > "$work/output"
  t2=$(now)
  gzip -t "$gz" || fail "gzip -t rejects the $engine engine's file"
  cmp -s "$work/input" "$work/output" || fail "wrenfold-pipe --engine $engine -d does not give the input back"
  gzip -dc "$gz" | cmp -s "$work/input" - || fail "gzip -dc does not give the $engine engine's input back"
  "$pipe" -d < "$gz" | cmp -s "$work/input" - || fail "the zlib engine does not read the $engine engine's file"
  gz_size=$(wc -c < "$gz")
  printf '  %-6s %5s %11d %7s %14s %16s\n' "$engine" "$2" "$gz_size" \
    "$(awk -v a="$in_size" -v b="$gz_size" 'BEGIN { printf "%.2f:1", a / b }')" \
    "$(mb_per_s "$in_size" "$t0" "$t1")" "$(mb_per_s "$in_size" "$t1" "$t2")"
}

in_size=$(wc -c < "$work/input")
files=$(echo "$sources" | wc -l)
echo "wrenfold-pipe demo: $files source files of this project, repeated to $in_size bytes, to gzip"
printf '  %-6s %5s %11s %7s %14s %16s\n' engine level "gzip bytes" ratio "compress MB/s" \
  "decompress MB/s"
compress zlib 6
if "$pipe" --engine isal < /dev/null > /dev/null 2>&1; then
  compress isal 3
  engines="both engines"
else
  echo "  isal   skipped: wrenfold-pipe is built without ISA-L (Debian: libisal-dev)"
  engines="the zlib engine"
fi
echo "  checks: gzip -t ok; wrenfold-pipe -d and gzip -dc give the input back, for $engines"

# The zlib engine on 1 thread and on every core: the speed-up, and the same bytes either way.
cores=$(nproc 2>/dev/null || echo 1)
t0=$(now)
"$pipe" --threads 1 < "$work/input" > "$work/threads.1.gz"
t1=$(now)
"$pipe" --threads "$cores" < "$work/input" > "$work/threads.n.gz"
t2=$(now)
cmp -s "$work/threads.1.gz" "$work/threads.n.gz" || fail "--threads 1 and --threads $cores differ"
gzip -dc "$work/threads.n.gz" | cmp -s "$work/input" - || fail "gzip -dc does not give the input of --threads $cores back"
one=$(mb_per_s "$in_size" "$t0" "$t1")
all=$(mb_per_s "$in_size" "$t1" "$t2")
echo "parallel compression (zlib level 6, gzip, $(wc -c < "$work/threads.n.gz") bytes either way):"
echo "  1 thread: $one MB/s; $cores threads: $all MB/s ($(awk -v a="$one" -v b="$all" \
  'BEGIN { if (a > 0) printf "%.2fx", b / a; else print "-" }')); the same bytes, and gzip -dc reads them"
