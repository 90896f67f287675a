#!/bin/sh
# Decodes a gzip member that expands to several GiB and fails unless the decoder's peak RSS
# stays under the bound: decoding must cost the caller's buffers and zlib's window, nothing
# that grows with the data.  Usage: bomb-rss.sh DRIVER MIB MAX_RSS_KIB
set -eu
driver=$1 mibs=$2 limit=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$driver" make "$work/bomb.gz" "$mibs"
echo "bomb: $(wc -c <"$work/bomb.gz") bytes of gzip for $mibs MiB"
report=$("$driver" decode "$work/bomb.gz" "$mibs")
echo "$report"
rss=$(echo "$report" | sed -n 's/.*peak RSS \([0-9]*\) KiB.*/\1/p')
if [ -z "$rss" ] || [ "$rss" -gt "$limit" ]; then
  echo "peak RSS ${rss:-unknown} KiB exceeds the bound of $limit KiB" >&2
  exit 1
fi
echo "peak RSS $rss KiB, within the bound of $limit KiB"
