#!/usr/bin/env bash
# Builds the Debian packages for amd64 and arm64 (libmqtt-wrapper0, libmqtt-wrapper-dev,
# mqtt-wrapper-tools) into build/packages/ and checks them with lintian (any error fails).
#
#   scripts/package.sh                 (./run package) configures and builds its own trees,
#                                      build/package-amd64 and build/package-arm64 (cross),
#                                      checks the amd64 library against the interface description
#                                      in abi/, then packages both
#   scripts/package.sh --trees DIR...  packages build trees made already (the test command's
#                                      build/native and build/aarch64); each must have been
#                                      configured with -DCMAKE_INSTALL_PREFIX=/usr
#
# The trees are RelWithDebInfo, the build type the tests run; cpack strips the packaged files
# (with the cross strip in the cross tree).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out=build/packages

trees=()
if [ "${1:-}" = "--trees" ]; then
  shift
  trees=("$@")
  [ ${#trees[@]} -gt 0 ] || { echo "usage: scripts/package.sh [--trees DIR...]" >&2; exit 2; }
else
  bash scripts/setup.sh
  export CCACHE_DIR="${CCACHE_DIR:-$root/build/.ccache}"
  launcher=()
  command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  common=(-G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
          -DMQW_WERROR=ON -DMQW_BUILD_TESTS=OFF -DMQW_BUILD_BENCH=OFF -DMQW_BUILD_EXAMPLES=OFF)
  echo "=== [package] amd64 build ==="
  cmake -S . -B build/package-amd64 "${common[@]}" >/dev/null
  cmake --build build/package-amd64 -j "$(nproc)"
  bash scripts/abi.sh check build/package-amd64/libs/libmqtt-wrapper.so "$(ls abi/libmqtt-wrapper.so.*.abi)"
  echo "=== [package] arm64 build (cross) ==="
  cmake -S . -B build/package-arm64 "${common[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
  cmake --build build/package-arm64 -j "$(nproc)"
  trees=(build/package-amd64 build/package-arm64)
fi

rm -rf "$out"
mkdir -p "$out"
for tree in "${trees[@]}"; do
  prefix="$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$tree/CMakeCache.txt" 2>/dev/null || true)"
  if [ "$prefix" != /usr ]; then
    echo "$tree: not a build tree configured with -DCMAKE_INSTALL_PREFIX=/usr (found '${prefix}')" >&2
    exit 1
  fi
  echo "=== [package] cpack in $tree ==="
  # Configured again and brought up to date (cpack installs without building): every tree's
  # changelog then comes from the same commit, as the amd64 and arm64 packages of Multi-Arch:
  # same must have identical shared files. Nothing is recompiled in a tree that is up to date.
  cmake "$tree" >/dev/null
  cmake --build "$tree" -j "$(nproc)" >/dev/null
  rm -rf "$tree/packages"
  (cd "$tree" && cpack -G DEB >cpack.log 2>&1) || { cat "$tree/cpack.log"; exit 1; }
  cp "$tree"/packages/*.deb "$out"/
done

echo "=== [package] lintian ==="
# Errors fail; the remaining warnings and notes are printed (the README says which are expected).
status=0
report="$(lintian --fail-on error --display-info "$out"/*.deb 2>&1)" || status=$?
grep -v 'running with root privileges' <<<"$report" || true
if [ "$status" -ne 0 ]; then
  echo "lintian reports errors (status $status)" >&2
  exit 1
fi
ls -l "$out"
