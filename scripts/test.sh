#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: a normal build, the MPEG-4
# and H.265 variants of the daemon, an AddressSanitizer + UBSan build, a short run of
# each fuzz target, the cross builds for armhf (its suites run under
# qemu-user) and arm64, the static daemon (end-to-end suite) and the Debian
# package check; the four sets of suites run at the same time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
phase() { echo "== $1 (at $SECONDS s)"; }

phase "normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

phase "MPEG-4 daemon build (without TLS)"
cmake -S . -B build-mpeg4 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_VIDEO_CODEC=4 -DOSTRA_TLS=OFF -DOSTRA_BUILD_TESTS=OFF >/dev/null
cmake --build build-mpeg4 -j"$jobs" --target ostra  # the MPEG-4 end-to-end test runs build-mpeg4/src/ostra
cmake -S . -B build-h265 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_VIDEO_CODEC=6 -DOSTRA_BUILD_TESTS=OFF >/dev/null
cmake --build build-h265 -j"$jobs" --target ostra  # the H.265 end-to-end suite runs build-h265/src/ostra

phase "sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTRA_SANITIZE=ON -DOSTRA_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

# armhf with its suites (they run under qemu-user below); arm64 only has to
# build, so it builds what the package ships and the producer.
phase "cross builds (armhf, arm64)"
bash scripts/cross.sh armhf -- -DOSTRA_BUILD_BENCH=OFF
bash scripts/cross.sh arm64 -- -DOSTRA_BUILD_TESTS=OFF -DOSTRA_BUILD_BENCH=OFF

phase "static build"
cmake -S . -B build-static -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_STATIC=ON >/dev/null
cmake --build build-static -j"$jobs" --target ostra ostra-producer test_e2e  # the end-to-end suite runs the static daemon

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

phase "fuzz smoke run"
status=0
bash scripts/fuzz-smoke.sh || status=1

phase "package check"
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/package-check.sh || status=1
else
  echo "package check skipped: it installs the package and needs root"
fi

# The suites mostly wait on the stream's real time (all four sets together
# keep the two processors about a third busy), so they run at once, each in
# its own private namespaces, and their reports follow one after the other.
phase "tests: normal build, sanitizer build, armhf under qemu-user, static build (end to end), at once"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
names=(normal sanitizer armhf static)
(cd build && ctest --output-on-failure -j2 >"$logs/normal" 2>&1) &
pids=($!)
(cd build-asan && ctest --output-on-failure -j2 >"$logs/sanitizer" 2>&1) &
pids+=($!)
bash scripts/cross.sh armhf --test >"$logs/armhf" 2>&1 &  # the build above, its options kept in its cache
pids+=($!)
(cd build-static && ctest --output-on-failure -j2 -R e2e >"$logs/static" 2>&1) &
pids+=($!)
for i in "${!names[@]}"; do
  result=passed
  wait "${pids[$i]}" || { result=FAILED; status=1; }
  echo "== tests (${names[$i]}): $result"
  cat "$logs/${names[$i]}"
done
echo "== done in $SECONDS s"
exit $status
