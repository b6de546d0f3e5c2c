#!/usr/bin/env bash
# The main command: builds everything and runs the example programs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh --native-only
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build/native -j "$(nproc)"
for example in build/native/examples/*; do
  if [ -x "$example" ] && [ -f "$example" ]; then
    echo "=== $example ==="
    "$example"
  fi
done
