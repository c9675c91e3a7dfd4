#!/usr/bin/env bash
# Builds the API reference (HTML, from include/calyx and the Markdown documents) with Doxygen
# into build/docs/html (or OUTPUT_DIR/html), installing Debian's doxygen when it is missing.
# Fails on any warning. Usage: scripts/docs.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v doxygen >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends doxygen
fi

version=$(sed -n 's/^project(Calyx VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
IFS=. read -r major minor patch <<<"$version"
export CALYX_VERSION=$version
export CALYX_DOCS_DIR=${1:-build/docs}
rm -rf "$CALYX_DOCS_DIR/html" "$CALYX_DOCS_DIR/include" "$CALYX_DOCS_DIR/warnings.log"
mkdir -p "$CALYX_DOCS_DIR/include/calyx"
# calyx/version.h is made by CMake; fill its template here so no configured build is needed.
sed -e "s/@PROJECT_VERSION_MAJOR@/$major/" -e "s/@PROJECT_VERSION_MINOR@/$minor/" \
    -e "s/@PROJECT_VERSION_PATCH@/$patch/" -e "s/@PROJECT_VERSION@/$version/" \
    cmake/version.h.in >"$CALYX_DOCS_DIR/include/calyx/version.h"

status=0
doxygen docs/Doxyfile || status=$?
if [ -s "$CALYX_DOCS_DIR/warnings.log" ]; then
  cat "$CALYX_DOCS_DIR/warnings.log" >&2
  echo "doxygen: $(wc -l <"$CALYX_DOCS_DIR/warnings.log") warning lines" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
echo "API reference: $CALYX_DOCS_DIR/html/index.html (no warnings)"
