#!/usr/bin/env bash
# The symbols libCalyx.so exports, against the kept list tests/data/exported-symbols.txt, so
# that a symbol exported by accident (a test helper, a detail function) fails the tests.
#   scripts/exported-symbols.sh [LIB]            compare; exit 1 and print the difference
#   scripts/exported-symbols.sh --update [LIB]   rewrite the kept list from LIB
# LIB defaults to build/libCalyx.so (the Release build of scripts/test.sh). After a deliberate
# change of the interface, run with --update and commit the list with the change.
#
# The list holds every defined dynamic symbol, demangled and sorted, except the instances of
# the standard library's templates (namespaces std and __gnu_cxx): the compiler exports those
# with default visibility wherever it did not inline them, which changes with any edit.
set -euo pipefail
cd "$(dirname "$0")/.."
kept=tests/data/exported-symbols.txt
update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
lib=${1:-build/libCalyx.so}
[ -f "$lib" ] || { echo "no library at $lib (build it first)" >&2; exit 2; }

# Mangled names of entities of std or __gnu_cxx, also their vtables, typeinfos, guard
# variables and function-local statics (St = std::, Sa/Sb/Ss/Si/So/Sd = std's abbreviations).
std_pattern='^_Z(T[VIS]|GV)?Z?N?[VKR]*(St|S[absiod]|9__gnu_cxx)'
current=$(${NM:-nm} -D --defined-only --format=posix "$lib" | awk '{print $1}' |
          { grep -Ev "$std_pattern" || true; } | c++filt | LC_ALL=C sort)

if [ "$update" = 1 ]; then
  printf '%s\n' "$current" > "$kept"
  echo "$kept: $(wc -l < "$kept") symbols"
  exit 0
fi
if ! difference=$(diff -u "$kept" <(printf '%s\n' "$current")); then
  echo "libCalyx.so exports a different set of symbols than $kept (+ exported now, - kept):"
  printf '%s\n' "$difference" | tail -n +3
  echo "An unintended export: give it hidden visibility (no CALYX_EXPORT, or calyx::detail)."
  echo "A deliberate change of the interface: scripts/exported-symbols.sh --update, and commit."
  exit 1
fi
echo "libCalyx.so exports the $(wc -l < "$kept") symbols of $kept"
