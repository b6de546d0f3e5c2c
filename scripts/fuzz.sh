#!/usr/bin/env bash
# The fuzz stage of the test command: builds the libFuzzer targets of tests/fuzz with clang
# (AddressSanitizer + UBSan on everything they link) and runs each for a bounded time, starting
# from its seed corpus in tests/fuzz/corpus/<target>/ (read only; new inputs go to a scratch
# corpus under the build directory). Any crash, sanitizer report, property violation, time-out
# or memory blow-up fails the stage; the input is kept in build/fuzz/findings/.
# Usage: scripts/fuzz.sh [seconds per target]   (default 10, which keeps the test command within its
# time budget; MQW_FUZZ_SECONDS works too)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-${MQW_FUZZ_SECONDS:-10}}"
dir=build/fuzz

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "=== [fuzz] configure ==="
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DMQW_FUZZ=ON -DMQW_WERROR=ON \
  -DMQW_BUILD_TESTS=OFF -DMQW_BUILD_BENCH=OFF -DMQW_BUILD_EXAMPLES=OFF
echo "=== [fuzz] build ==="
cmake --build "$dir" --target mqw_fuzz -j "$(nproc)"

parallel="$(nproc)"
echo "=== [fuzz] run (${seconds}s per target, $parallel at a time) ==="
findings="$root/$dir/findings"
logs="$root/$dir/logs"
rm -rf "$logs"
mkdir -p "$findings" "$logs"

# One target from its seeds; its output goes to its log and its exit status to <log>.status.
fuzz_target() {
  local seeds="$1" name work
  name="$(basename "$seeds")"
  work="$root/$dir/corpus/$name"
  mkdir -p "$work"
  # -timeout: one input running longer than this is a finding (the readers bound their work
  # per record); -rss_limit_mb: so is a memory blow-up.
  local status=0
  (cd "$root/$dir" && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ASAN_OPTIONS=detect_leaks=1 \
     "tests/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
     -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$findings/${name}-" \
     "$work" "$root/$seeds") > "$logs/$name.log" 2>&1 || status=$?
  echo "$status" > "$logs/$name.status"
}

# Each target is one single-threaded process: one per processor at a time.
names=()
for seeds in tests/fuzz/corpus/*/; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  names+=("$(basename "$seeds")")
  fuzz_target "$seeds" &
done
wait

passed=0
failed=0
for name in "${names[@]}"; do
  echo "--- fuzz_$name"
  cat "$logs/$name.log"
  if [ "$(cat "$logs/$name.status" 2>/dev/null || echo 1)" = 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "fuzz_$name: FINDING (input kept in $findings)" >&2
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
