#!/usr/bin/env bash
# The main job on the bundled example data, in the analyser's two modes (alloys; oxides with
# oxygen from scatter): calibrate each mode's instrument on its bundled standards, then
# quantify each bundled unknown sample and print the result beside its true composition.
# Build folder: build/; calibrations go to build/example-calibration-MODE.json.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target calyx_cli >/dev/null

CALYX=build/tools/calyx
status=0
for mode in alloy oxide; do
  config=examples/config/handheld-$mode.json
  cal=build/example-calibration-$mode.json
  echo "################################ $mode mode ################################"
  "$CALYX" calibrate "$config" --standards "examples/data/$mode/standards.json" -o "$cal"
  for rates in examples/data/"$mode"/unknowns/*.rates.json; do
    name=$(basename "$rates" .rates.json)
    echo
    "$CALYX" quantify "$config" --rates "$rates" --calibration "$cal" --brief \
      --expected "examples/data/$mode/unknowns/$name.composition.json" || status=$?
  done
  echo
done
exit "$status"
