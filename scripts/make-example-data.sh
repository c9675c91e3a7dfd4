#!/usr/bin/env bash
# Regenerates the synthetic example data in examples/data/ with `calyx simulate`: the rates
# the instruments of examples/config/ would measure on samples of the compositions stated
# below, with the per-line instrument factors stated below (what a calibration should
# recover) and 0.2 % seeded Gaussian noise. Deterministic: the same files come out on every
# run. Two modes, as on a handheld analyser: alloys (no light elements) and oxides (oxygen
# estimated from scatter). Build folder: build/.
set -euo pipefail
cd "$(dirname "$0")/.."
CALYX=build/tools/calyx
if [ ! -x "$CALYX" ]; then
  scripts/install-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target calyx_cli >/dev/null
fi
NOISE=0.002

# The instrument's stated factors: measured rate = model rate x factor (lines not named: 1);
# scatter rate = model scatter x 1.25 + 300.
SCATTER=(--le-factor 1.25 --le-offset 300)
ALLOY_FACTORS=(
  --factor Ti:KA=0.92 --factor V:KA=0.96 --factor Cr:KA=1.08 --factor Mn:KA=0.97
  --factor Fe:KA=1.12 --factor Fe:KB=1.05 --factor Co:KA=1.03 --factor Ni:KA=0.95
  --factor Cu:KA=1.10 --factor Zn:KA=0.90 --factor Nb:KA=1.07 --factor Mo:KA=1.15
  --factor W:LA=0.88 --factor Pb:LA=1.25 --factor Mg:KA=0.70 --factor Al:KA=0.80
  --factor Si:KA=0.85
)
OXIDE_FACTORS=(
  --factor Ti:KA=0.92 --factor Mn:KA=0.97 --factor Fe:KA=1.12 --factor Fe:KB=1.05
  --factor Cu:KA=1.10 --factor Zn:KA=0.90 --factor Rb:KA=1.02 --factor Sr:KA=1.06
  --factor Zr:KA=0.98 --factor Pb:LA=1.25 --factor Mg:KA=0.70 --factor Al:KA=0.80
  --factor Si:KA=0.85 --factor K:KA=0.93 --factor Ca:KA=1.04
)

# Each sample is also measured as spectra (one MCA file per beam, LIVE_TIME seconds, Poisson
# noise from the sample's seed), for the spectra-to-composition path; the standards given as
# spectra are listed in examples/data/MODE/spectra/standards.json.
LIVE_TIME=2
seed=100
standard() {  # MODE NAME COMPOSITION
  local mode=$1 factors
  if [ "$mode" = alloy ]; then factors=("${ALLOY_FACTORS[@]}"); else factors=("${OXIDE_FACTORS[@]}"); fi
  seed=$((seed + 1))
  "$CALYX" simulate "examples/config/handheld-$mode.json" --composition "$3" "${factors[@]}" "${SCATTER[@]}" \
    --noise "$NOISE" --seed "$seed" --standard "$2" --append -o "examples/data/$mode/standards.json" \
    --spectrum "examples/data/$mode/spectra/$2.mca" --live-time "$LIVE_TIME" --noise-seed "$seed"
  local list="examples/data/$mode/spectra/standards.json" json
  json="{\"$(echo "$3" | sed 's/=/": /g; s/,/, "/g')}"
  if [ -s "$list" ]; then
    sed -i '$d' "$list"
    sed -i '$d' "$list"
    echo "    }," >>"$list"
  else
    echo '{ "standards": [' >"$list"
  fi
  {
    echo "    { \"name\": \"$2\", \"composition\": $json,"
    echo "      \"spectra\": [\"$2.mca\", \"$2.beam1.mca\"]"
    echo "    }"
    echo "] }"
  } >>"$list"
}
unknowns() {  # MODE: every examples/data/MODE/unknowns/NAME.composition.json gives NAME.rates.json
  local mode=$1 factors truth name
  if [ "$mode" = alloy ]; then factors=("${ALLOY_FACTORS[@]}"); else factors=("${OXIDE_FACTORS[@]}"); fi
  for truth in "examples/data/$mode"/unknowns/*.composition.json; do
    name=$(basename "$truth" .composition.json)
    seed=$((seed + 1))
    "$CALYX" simulate "examples/config/handheld-$mode.json" --composition "$truth" "${factors[@]}" \
      "${SCATTER[@]}" --noise "$NOISE" --seed "$seed" --sample "$name" \
      -o "examples/data/$mode/unknowns/$name.rates.json" \
      --spectrum "examples/data/$mode/unknowns/$name.mca" --live-time "$LIVE_TIME" --noise-seed "$seed"
  done
}

# Standards: certified compositions (mass fractions). The rocks are given by their elements,
# computed from the oxides listed in examples/README.md, oxygen being the balance.
rm -f examples/data/alloy/standards.json examples/data/oxide/standards.json
rm -rf examples/data/alloy/spectra examples/data/oxide/spectra examples/data/*/unknowns/*.mca
mkdir -p examples/data/alloy/spectra examples/data/oxide/spectra
standard alloy SS-304      "Fe=0.7035,Cr=0.185,Ni=0.09,Mn=0.015,Si=0.0065"
standard alloy SS-316      "Fe=0.659,Cr=0.17,Ni=0.12,Mo=0.025,Mn=0.018,Si=0.0075,P=0.0003,S=0.0002"
standard alloy SS-430      "Fe=0.8165,Cr=0.17,Mn=0.008,Si=0.0055"
standard alloy Ni-718      "Ni=0.53,Cr=0.19,Fe=0.181,Nb=0.051,Mo=0.03,Ti=0.009,Al=0.005,Co=0.004"
standard alloy Brass-360   "Cu=0.615,Zn=0.353,Pb=0.029,Fe=0.003"
standard alloy CuNi-90-10  "Cu=0.88,Ni=0.10,Fe=0.012,Mn=0.008"
standard alloy Ti-6Al-4V   "Ti=0.897,Al=0.061,V=0.04,Fe=0.002"
standard alloy Al-6061     "Al=0.9725,Mg=0.01,Si=0.006,Cu=0.0028,Cr=0.002,Fe=0.005,Mn=0.0012,Zn=0.0005"
standard alloy HSS-M2      "Fe=0.82,W=0.063,Mo=0.05,Cr=0.042,V=0.019,Mn=0.003,Si=0.003"
standard oxide Basalt      "Al=0.07997,Ca=0.07559,Fe=0.08455,K=0.00836,Mg=0.0486,Mn=0.00156,O=0.45075,P=0.00132,Si=0.23544,Sr=0.00043,Ti=0.01328,Zr=0.00015"
standard oxide Granite     "Al=0.07717,Ca=0.0134,Fe=0.01821,K=0.03891,Mg=0.0044,Mn=0.0004,O=0.49409,P=0.00045,Rb=0.00019,Si=0.3505,Sr=0.00026,Ti=0.00187,Zr=0.00015"
standard oxide Iron-ore    "Al=0.01619,Ca=0.00729,Fe=0.60603,Mg=0.00307,Mn=0.00237,O=0.32527,P=0.00044,Si=0.03812,Ti=0.00122"
standard oxide Quartz-sand "Al=0.00635,Ca=0.00143,Fe=0.0028,K=0.00332,Mg=0.0009,O=0.52848,Si=0.45575,Ti=0.0006,Zr=0.00037"
standard oxide K-feldspar  "Al=0.0988,Ca=0.00216,Fe=0.00141,K=0.12146,O=0.46633,Rb=0.00046,Si=0.30895,Sr=0.00043"
standard oxide Sediment    "Al=0.07823,Ca=0.04527,Cu=0.00169,Fe=0.05907,K=0.02191,Mg=0.01273,Mn=0.00123,O=0.46953,P=0.00092,Pb=0.0049,Rb=0.0001,Si=0.2961,Sr=0.00027,Ti=0.00443,Zn=0.00339,Zr=0.00023"
unknowns alloy
unknowns oxide
echo "wrote examples/data/{alloy,oxide}/standards.json and examples/data/{alloy,oxide}/unknowns/*.rates.json"
