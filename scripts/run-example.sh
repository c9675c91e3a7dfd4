#!/usr/bin/env bash
# Builds the library and runs the main job on the bundled example data (build folder: build/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target calyx_tour >/dev/null
build/examples/calyx_tour
