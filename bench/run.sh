#!/bin/sh
# Runs the benchmark of a build directory and prints its tables, then the parallel compressor's
# scaling report.
#   sh bench/run.sh [BUILD_DIR] [wrenfold-bench arguments...]
# With arguments, only the one run of wrenfold-bench they ask for. WRENFOLD_BENCH_QUICK=1 runs a
# short version (smaller corpus, fewer rounds); WRENFOLD_BENCH_ROUNDS=N sets the number of
# interleaved rounds; WRENFOLD_BENCH_THREADS=1,2,4 the scaling report's thread counts (by default
# 1 up to the machine's cores).
set -eu
build=${1:-build}
[ $# -gt 0 ] && shift
exe="$build/bench/wrenfold-bench"
if [ ! -x "$exe" ]; then
  echo "no $exe: configure with -DWRENFOLD_BUILD_BENCH=ON" >&2
  exit 1
fi
[ $# -gt 0 ] && exec "$exe" "$@"
"$exe"
echo
exec "$exe" --scaling
