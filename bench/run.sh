#!/bin/sh
# Runs the benchmark of a build directory and prints its tables.
#   sh bench/run.sh [BUILD_DIR] [wrenfold-bench arguments...]
# WRENFOLD_BENCH_QUICK=1 runs a short version (smaller corpus, fewer rounds);
# WRENFOLD_BENCH_ROUNDS=N sets the number of interleaved rounds.
set -eu
build=${1:-build}
[ $# -gt 0 ] && shift
exe="$build/bench/wrenfold-bench"
if [ ! -x "$exe" ]; then
  echo "no $exe: configure with -DWRENFOLD_BUILD_BENCH=ON" >&2
  exit 1
fi
exec "$exe" "$@"
