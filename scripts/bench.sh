#!/usr/bin/env bash
# Builds and runs the benchmarks (build folder: build-bench/). Extra arguments go to Google
# Benchmark, e.g. --benchmark_filter=computeRates. Run it on a quiet machine: each case is
# repeated and its median reported.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh libbenchmark-dev
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCALYX_BUILD_BENCH=ON \
      -DCALYX_BUILD_TESTS=OFF -DCALYX_BUILD_TOOLS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target calyx_bench >/dev/null
build-bench/bench/calyx_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  "$@"
