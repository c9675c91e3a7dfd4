#!/usr/bin/env bash
# The main job on the bundled example data: calibrate the example instrument on the bundled
# standards, then quantify each bundled unknown sample and print the result beside its true
# composition. Build folder: build/; the calibration goes to build/example-calibration.json.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target calyx_cli >/dev/null

CALYX=build/tools/calyx
CONFIG=examples/config/handheld-oxide.json
CAL=build/example-calibration.json

"$CALYX" calibrate "$CONFIG" --standards examples/data/standards.json -o "$CAL"
for rates in examples/data/unknowns/*.rates.json; do
  name=$(basename "$rates" .rates.json)
  echo
  echo "=================================================================="
  "$CALYX" quantify "$CONFIG" --rates "$rates" --calibration "$CAL" \
    --expected "examples/data/unknowns/$name.composition.json"
done
