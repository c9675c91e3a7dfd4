#!/usr/bin/env bash
# Installs the built library into a temporary prefix, then builds and runs the consumer
# project against it, once through the CMake package and once through pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cmake -S "$source_dir" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" "$work"

libdir=$(dirname "$(find "$work/prefix" -name 'libCalyx.so' | head -n 1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -std=c++17 "$source_dir/main.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs calyx) \
    -Wl,-rpath,"$libdir"
"$work/consumer-pc" "$work"
echo "consumer built and ran through the CMake package and pkg-config"
