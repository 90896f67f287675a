#!/bin/sh
# Decodes a gzip member that expands to several GiB and fails unless the decoder's peak RSS
# stays under the bound: streaming must cost the caller's buffers and zlib's window, nothing
# that grows with the data; the one-shot decompress() with a max_output of ONESHOT_MIB must stop
# there, holding no more than that.  Usage: bomb-rss.sh DRIVER MIB MAX_RSS_KIB [ONESHOT_MIB]
set -eu
driver=$1 mibs=$2 limit=$3 oneshot=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$driver" make "$work/bomb.gz" "$mibs"
echo "bomb: $(wc -c <"$work/bomb.gz") bytes of gzip for $mibs MiB"
if [ -n "$oneshot" ]; then
  report=$("$driver" oneshot "$work/bomb.gz" "$oneshot")
else
  report=$("$driver" decode "$work/bomb.gz" "$mibs")
fi
echo "$report"
rss=$(echo "$report" | sed -n 's/.*peak RSS \([0-9]*\) KiB.*/\1/p')
if [ -z "$rss" ] || [ "$rss" -gt "$limit" ]; then
  echo "peak RSS ${rss:-unknown} KiB exceeds the bound of $limit KiB" >&2
  exit 1
fi
echo "peak RSS $rss KiB, within the bound of $limit KiB"
