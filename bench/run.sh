#!/bin/sh
# Runs the benchmarks of a build directory and prints their tables: the coder against plain zlib
# (needs Google Benchmark), then the layers above the coder against the plain coder loop.
#   sh bench/run.sh [BUILD_DIR] [benchmark flags...]     (the flags go to the first one)
# WRENFOLD_BENCH_QUICK=1 runs a short version of both (smaller corpus, fewer rounds);
# WRENFOLD_BENCH_ROUNDS=N sets the first one's interleaved rounds, WRENFOLD_LAYERS_ROUNDS=N the
# second one's.
set -eu
build=${1:-build}
[ $# -gt 0 ] && shift
coder="$build/bench/wrenfold-bench"
layers="$build/bench/wrenfold-layers-bench"
if [ ! -x "$layers" ]; then
  echo "no $layers: configure with -DWRENFOLD_BUILD_BENCH=ON" >&2
  exit 1
fi
status=0
if [ -x "$coder" ]; then
  "$coder" "$@" || status=$?
else
  echo "no $coder (it needs Google Benchmark: install libbenchmark-dev); skipping it" >&2
fi
echo
echo "Layers above the coder against the plain coder loop (64 KiB buffers, target ratio <= 1.01)"
"$layers" || status=$?
exit $status
