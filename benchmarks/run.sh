#!/usr/bin/env bash
# Builds the library in release mode and runs the kernel benchmarks, printing every figure as a
# ratio against baselines measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DFENRO_BUILD_TESTS=OFF \
  -DFENRO_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench >/dev/null
for b in build/bench/benchmarks/bench_*; do
  [ -x "$b" ] && "$b" "$@"
done
