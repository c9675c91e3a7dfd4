#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, instrumented by ASan and UBSan (build folder:
# build-fuzz/), and, given a target, fuzzes it.
#   scripts/fuzz.sh                           build every target
#   scripts/fuzz.sh TARGET [SECONDS [ARGS]]   build, then fuzz TARGET (McaFile, SpectrumFile, Config or
#                                             CalibrationFile) for SECONDS (default 900)
# The working corpus grows in build-fuzz/corpus/TARGET, seeded from fuzz/seeds/TARGET, the
# example configurations and the kept regressions; crashing inputs land in
# build-fuzz/artifacts/TARGET. Keep each one under tests/data/fuzz-regressions/TARGET, where
# the unit tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-14 libclang-rt-14-dev libomp-14-dev
if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCALYX_BUILD_FUZZ=ON -DCALYX_BUILD_TESTS=OFF -DCALYX_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build build-fuzz -j"$(nproc)"
[ $# -ge 1 ] || exit 0

target=$1
seconds=${2:-900}
shift $(( $# < 2 ? $# : 2 ))
case $target in
  McaFile) dict=fuzz/mca.dict ;;
  SpectrumFile) dict=fuzz/spectrum.dict ;;
  Config | CalibrationFile) dict=fuzz/json.dict ;;
  *) echo "unknown fuzz target: $target (McaFile, Config, CalibrationFile, SpectrumFile)" >&2; exit 2 ;;
esac
corpus=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
mkdir -p "$corpus" "$artifacts" "tests/data/fuzz-regressions/$target"
seeds=(fuzz/seeds/"$target" "tests/data/fuzz-regressions/$target")
[ "$target" = Config ] && seeds+=(examples/config)
nice -n 10 "build-fuzz/fuzz/calyx_fuzz_$target" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
  -max_total_time="$seconds" -print_final_stats=1 -dict="$dict" \
  -artifact_prefix="$artifacts/" "$@" "$corpus" "${seeds[@]}"
