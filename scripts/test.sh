#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: a normal build, the MPEG-4
# variant of the daemon, an AddressSanitizer + UBSan build, and a short run of
# each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

echo "== MPEG-4 daemon build"
cmake -S . -B build-mpeg4 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_VIDEO_CODEC=4 -DOSTRA_BUILD_TESTS=OFF >/dev/null
cmake --build build-mpeg4 -j"$jobs" --target ostra  # the MPEG-4 end-to-end test runs build-mpeg4/src/ostra

echo "== sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTRA_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== fuzz smoke run"
status=0
bash scripts/fuzz-smoke.sh || status=1

echo "== tests (normal build)"
(cd build && ctest --output-on-failure -j2) || status=1
echo "== tests (sanitizer build)"
(cd build-asan && ctest --output-on-failure -j2) || status=1
exit $status
