#!/bin/sh
# Compresses the project's own sources (repeated to a few MB) to gzip with wrenfold-pipe, checks
# the result with the system gzip, decompresses it back and prints sizes, ratio and speed.
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

t0=$(now)
"$pipe" < "$work/input" > "$work/input.gz"
t1=$(now)
"$pipe" -d < "$work/input.gz" > "$work/output"
t2=$(now)

gzip -t "$work/input.gz" || fail "gzip -t rejects the compressed file"
cmp -s "$work/input" "$work/output" || fail "wrenfold-pipe -d does not give the input back"
gzip -dc "$work/input.gz" | cmp -s "$work/input" - || fail "gzip -dc does not give the input back"

in_size=$(wc -c < "$work/input")
gz_size=$(wc -c < "$work/input.gz")
files=$(echo "$sources" | wc -l)
echo "wrenfold-pipe demo: $files source files of this project, repeated"
printf '  input       %10d bytes\n' "$in_size"
printf '  gzip        %10d bytes   ratio %s:1\n' "$gz_size" \
  "$(awk -v a="$in_size" -v b="$gz_size" 'BEGIN { printf "%.2f", a / b }')"
printf '  compress    %10s MB/s\n' "$(mb_per_s "$in_size" "$t0" "$t1")"
printf '  decompress  %10s MB/s\n' "$(mb_per_s "$in_size" "$t1" "$t2")"
echo "  checks      gzip -t ok, wrenfold-pipe -d and gzip -dc give the input back"
