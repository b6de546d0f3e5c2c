#!/usr/bin/env bash
# The shared library's interface description, made and compared with the ABI tools of Debian's
# abigail-tools package.
#   scripts/abi.sh dump  <libmqtt-wrapper.so> <out.abi>    write the description of a library
#   scripts/abi.sh check <libmqtt-wrapper.so> <baseline>   compare a library with a description;
#                                                          any difference fails (exit status 1)
# Only what the public headers declare is described (types private to the library are left out),
# and no build paths or source locations, so that the same sources give the same description on
# every machine. The library needs debug information (RelWithDebInfo or Debug, g++).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mode="${1:-}"
lib="${2:-}"
file="${3:-}"
if [ -z "$file" ] || { [ "$mode" != dump ] && [ "$mode" != check ]; }; then
  echo "usage: scripts/abi.sh dump|check <libmqtt-wrapper.so> <file.abi>" >&2
  exit 2
fi
if ! command -v abidw >/dev/null || ! command -v abidiff >/dev/null; then
  echo "abidw/abidiff not found: install abigail-tools (scripts/setup.sh does)" >&2
  exit 1
fi

dump() {
  abidw --headers-dir "$root/include/mqtt-wrapper" --drop-private-types --exported-interfaces-only \
    --no-corpus-path --no-comp-dir-path --no-show-locs --out-file "$2" "$1"
}

if [ "$mode" = dump ]; then
  dump "$lib" "$file"
  exit 0
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dump "$lib" "$work/current.abi"
# abidiff's status is 0 only when nothing differs: a changed or removed function or variable,
# an added one and (with --harmless) a change that programs would not notice are all reported,
# so that every change of the interface is a deliberate one.
if abidiff --harmless "$file" "$work/current.abi" >"$work/report" 2>&1; then
  exit 0
fi
cat "$work/report"
cat >&2 <<MSG
The library's interface differs from $file.
If the change is intended, update the description and commit it with the change:
  cmake --build <build dir> --target update-abi
(and see the README's interface policy: a change that breaks programs built against the library
needs a new SONAME).
MSG
exit 1
