#!/usr/bin/env bash
# Builds the library and the whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs it (build folder: build-asan/). A sanitizer report
# fails its test. -O1 keeps the build and the run short with usable stacks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCALYX_SANITIZE=ON -DCALYX_WERROR=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
