#!/usr/bin/env bash
# Regenerates the synthetic example data in examples/data/ with `calyx simulate`: the rates
# the instrument of examples/config/handheld-oxide.json would measure on samples of the
# compositions stated below, with the per-line instrument factors stated below (what a
# calibration should recover) and 0.2 % seeded Gaussian noise. Deterministic: the same
# files come out on every run. Build folder: build/.
set -euo pipefail
cd "$(dirname "$0")/.."
CALYX=build/tools/calyx
if [ ! -x "$CALYX" ]; then
  scripts/install-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target calyx_cli >/dev/null
fi

CONFIG=examples/config/handheld-oxide.json
DATA=examples/data
NOISE=0.002

# The instrument's stated factors: measured rate = model rate x factor (lines not named: 1),
# and scatter rate = model scatter x 1.25 + 3000.
INSTRUMENT=(
  --factor Ti:KA=0.92 --factor Cr:KA=1.08 --factor Mn:KA=0.97 --factor Fe:KA=1.12
  --factor Fe:KB=1.05 --factor Ni:KA=0.95 --factor Cu:KA=1.10 --factor Zn:KA=0.90
  --factor Sr:KA=1.06 --factor Pb:LA=1.25 --factor Mg:KA=0.70 --factor Al:KA=0.80
  --factor Si:KA=0.85 --factor K:KA=0.93 --factor Ca:KA=1.04
  --le-factor 1.25 --le-offset 3000
)

seed=100
standard() {  # NAME COMPOSITION
  seed=$((seed + 1))
  "$CALYX" simulate "$CONFIG" --composition "$2" "${INSTRUMENT[@]}" --noise "$NOISE" --seed "$seed" \
    --standard "$1" --append -o "$DATA/standards.json"
}

# Standards: certified compositions (mass fractions). The rocks are given by their elements;
# their oxides are in examples/README.md.
rm -f "$DATA/standards.json"
standard SS-304     "Fe=0.7035,Cr=0.185,Ni=0.09,Mn=0.015,Si=0.0065"
standard SS-430     "Fe=0.8165,Cr=0.17,Mn=0.008,Si=0.0055"
standard Ni-600     "Ni=0.745,Cr=0.158,Fe=0.085,Mn=0.007,Cu=0.003,Si=0.002"
standard Brass-360  "Cu=0.615,Zn=0.353,Pb=0.029,Fe=0.003"
standard CuNi-90-10 "Cu=0.88,Ni=0.10,Fe=0.012,Mn=0.008"
standard Ti-6Al     "Ti=0.935,Al=0.062,Fe=0.003"
standard Al-6061    "Al=0.9725,Mg=0.01,Si=0.006,Cu=0.0028,Cr=0.002,Fe=0.005,Mn=0.0012,Zn=0.0005"
standard Basalt     "Al=0.07997,Ca=0.07559,Fe=0.08455,K=0.00836,Mg=0.0486,Mn=0.00156,O=0.45075,P=0.00132,Si=0.23544,Sr=0.00043,Ti=0.01328,Zr=0.00015"
standard Granite    "Al=0.07717,Ca=0.0134,Fe=0.01821,K=0.03891,Mg=0.0044,Mn=0.0004,O=0.49409,P=0.00045,Rb=0.00019,Si=0.3505,Sr=0.00026,Ti=0.00187,Zr=0.00015"
standard Iron-ore   "Al=0.01619,Ca=0.00729,Fe=0.60603,Mg=0.00307,Mn=0.00237,O=0.32527,P=0.00044,Si=0.03812,Ti=0.00122"

# Unknowns: their true compositions are the files NAME.composition.json.
for truth in "$DATA"/unknowns/*.composition.json; do
  name=$(basename "$truth" .composition.json)
  seed=$((seed + 1))
  "$CALYX" simulate "$CONFIG" --composition "$truth" "${INSTRUMENT[@]}" --noise "$NOISE" --seed "$seed" \
    --sample "$name" -o "$DATA/unknowns/$name.rates.json"
done
echo "wrote $DATA/standards.json and $(ls "$DATA"/unknowns/*.rates.json | wc -l) unknowns in $DATA/unknowns/"
