#!/usr/bin/env bash
# The project's test command: native tests, the same tests under AddressSanitizer+UBSan, the same
# tests built with clang under ThreadSanitizer (a build that also checks the lock annotations with
# -Wthread-safety -Werror), and the aarch64 build's tests under qemu-user. Installs what it needs
# first (scripts/setup.sh).
# The fuzz stage runs every parser's libFuzzer target for a bounded time (scripts/fuzz.sh).
# The package stage makes the Debian packages from the native and aarch64 trees (configured with
# the prefix /usr for that), checks them with lintian, installs both architectures' packages
# into this system and builds and runs a consumer against each (tests/install/check_packages.sh);
# it needs root (or sudo) and removes the packages again.
# Usage: scripts/test.sh [native] [asan] [tsan] [aarch64] [fuzz] [package]
#        (default: all, in this order)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(native asan tsan aarch64 fuzz package)
need_cross=0
for s in "${stages[@]}"; do [ "$s" = aarch64 ] || [ "$s" = package ] && need_cross=1; done
if [ "$need_cross" = 1 ]; then bash scripts/setup.sh; else bash scripts/setup.sh --native-only; fi

jobs="$(nproc)"
export CCACHE_DIR="${CCACHE_DIR:-$root/build/.ccache}"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

run_stage() {
  local name="$1"; shift
  local dir="build/$name"
  echo "=== [$name] configure ==="
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" -DMQW_WERROR=ON "$@"
  echo "=== [$name] build ==="
  cmake --build "$dir" -j "$jobs"
  echo "=== [$name] test ==="
  # One test more than cores: many tests spend their time waiting for time-outs, brokers and
  # servers rather than computing.
  (cd "$dir" && ctest --output-on-failure -j "$((jobs + 1))" --timeout 900)
}

started=$SECONDS
for s in "${stages[@]}"; do
  stage_start=$SECONDS
  case "$s" in
    native)  run_stage native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr ;;
    asan)    run_stage asan -DCMAKE_BUILD_TYPE=Debug -DMQW_SANITIZE=address -DMQW_BUILD_BENCH=OFF \
                            -DMQW_BUILD_EXAMPLES=OFF ;;
    # clang: the lock annotations are checked (-Wthread-safety -Werror) in the same build.
    tsan)    run_stage tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
                            -DCMAKE_CXX_COMPILER=clang++-14 -DMQW_SANITIZE=thread -DMQW_BUILD_BENCH=OFF \
                            -DMQW_BUILD_EXAMPLES=OFF ;;
    fuzz)    bash scripts/fuzz.sh ;;
    aarch64) run_stage aarch64 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DMQW_BUILD_BENCH=OFF -DMQW_BENCH_SMOKE=ON \
                               -DCMAKE_INSTALL_PREFIX=/usr ;;
    package) bash scripts/package.sh --trees build/native build/aarch64
             version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)"
             bash tests/install/check_packages.sh build/packages tests/install/consumer "$version" ;;
    *) echo "unknown stage: $s" >&2; exit 2 ;;
  esac
  echo "=== [$s] done in $((SECONDS - stage_start)) s ==="
done
echo "=== all test stages passed: ${stages[*]} (in $((SECONDS - started)) s) ==="
