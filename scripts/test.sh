#!/usr/bin/env bash
# Builds the library, its tools and benchmarks (so that a benchmark that no longer compiles
# fails here), and runs the whole test suite (build folder: build/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCALYX_WERROR=ON -DCALYX_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
