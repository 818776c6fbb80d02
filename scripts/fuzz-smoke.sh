#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*.cpp) with clang in build-fuzz and runs
# each for a short, bounded time from a copy of its seed corpus
# (fuzz/corpus/<target>/). Fails when any target crashes, leaks, hits
# undefined behaviour, times out on one input or exceeds its memory limit.
#
#   FUZZ_SECONDS   time per target (default 20)
#   FUZZ_JOBS      targets run at once (default: number of cores, at most 2)
#   FUZZ_TARGETS   space-separated subset of targets (default: all)
#   FUZZ_BUILD_DIR build directory (default build-fuzz)
#
# A crashing input is kept in <build dir>/fuzz-artifacts/<target>/ and its
# log in <build dir>/fuzz-logs/<target>.log. Long runs are done by hand, e.g.
#   build-fuzz/fuzz/fuzz_rtsp_request -rss_limit_mb=2048 fuzz/corpus/fuzz_rtsp_request
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}
[ "$jobs" -gt 2 ] && jobs=2
[ "$jobs" -ge 1 ] || jobs=1

# clang and its runtime libraries (libFuzzer, sanitizers), when missing.
bash scripts/setup.sh clang libclang-rt-14-dev

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for src in fuzz/*.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi

echo "fuzz-smoke: building ${targets[*]}"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_BUILD_FUZZ=ON \
  -DOSTRA_BUILD_TESTS=OFF -DOSTRA_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

logs="$build/fuzz-logs"
artifacts="$build/fuzz-artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$logs"

# Undefined behaviour stops the run; leaks are reported at exit.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1

run_target() {
  local t=$1
  local corpus="$work/$t"
  mkdir -p "$corpus" "$artifacts/$t"
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$corpus/"; fi
  local rc=0
  timeout -k 10 $((seconds + 120)) "$build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$t/" "$corpus" >"$logs/$t.log" 2>&1 || rc=$?
  echo "$rc" >"$work/$t.rc"
}

echo "fuzz-smoke: running each target for ${seconds} s, ${jobs} at a time"
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait || true

passed=0
failed=0
for t in "${targets[@]}"; do
  log="$logs/$t.log"
  rc=$(cat "$work/$t.rc" 2>/dev/null || echo 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  corpus=$(find "$work/$t" -type f | wc -l)
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
    printf 'fuzz-smoke: %-28s ok     %9s runs in %3s s, corpus %4s, peak RSS %s MB\n' \
      "$t" "${runs:-?}" "${time:-?}" "$corpus" "${rss:-?}"
  else
    failed=$((failed + 1))
    printf 'fuzz-smoke: %-28s FAILED (exit %s) after %s runs; log %s\n' "$t" "$rc" "${runs:-?}" "$log"
    grep -E "ERROR:|SUMMARY:|runtime error|Test unit written" "$log" | head -8 | sed 's/^/    /' || true
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
