#!/bin/sh
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) and runs
# each for FUZZ_SECONDS over a scratch copy of its seed corpus, so that new inputs never land in
# the committed corpus. Prints each target's executions and coverage; a crashing input is kept
# under $FUZZ_BUILD/artifacts and the script exits non-zero.
#   FUZZ_SECONDS (60)  FUZZ_BUILD (build-fuzz)  JOBS (nproc)  WRENFOLD_WERROR (OFF)
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD:-build-fuzz}
jobs=${JOBS:-$(nproc)}

CC=clang CXX=clang++ cmake -S . -B "$build" -DWRENFOLD_BUILD_FUZZ=ON \
  -DWRENFOLD_BUILD_TESTS=OFF -DWRENFOLD_BUILD_EXAMPLES=OFF -DWRENFOLD_BUILD_BENCH=OFF \
  -DWRENFOLD_INSTALL=OFF -DWRENFOLD_WERROR="${WRENFOLD_WERROR:-OFF}" >/dev/null
targets="inflate round-trip members parallel"
# The differential target is built only beside the ISA-L coder (libisal-dev).
if grep -q '^WRENFOLD_BUILD_ISAL:BOOL=ON' "$build/CMakeCache.txt"; then
  targets="$targets differential"
fi
for name in $targets; do set -- "$@" "$name-fuzz"; done
cmake --build "$build" -j "$jobs" --target "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$build/artifacts
mkdir -p "$artifacts"
failed=""
for name in $targets; do
  mkdir "$work/$name"
  cp fuzz/corpus/"$name"/* "$work/$name/"
  echo "== $name-fuzz: $seconds s"
  status=0
  "$build/fuzz/$name-fuzz" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "$work/$name" >"$work/$name.log" 2>&1 || status=$?
  # libFuzzer's last status line carries the coverage (cov: edges, ft: features).
  grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$work/$name.log" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    echo "!! $name-fuzz failed (exit $status); its log:"
    tail -n 60 "$work/$name.log"
    failed="$failed $name"
  fi
done
if [ -n "$failed" ]; then
  echo "fuzzing found failures in:$failed (inputs under $artifacts)"
  exit 1
fi
