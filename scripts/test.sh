#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: a normal build, the MPEG-4
# variant of the daemon, an AddressSanitizer + UBSan build, a short run of
# each fuzz target, the cross builds for armhf (its suites run under
# qemu-user) and arm64, the static daemon (end-to-end suite) and the Debian
# package check.
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

echo "== cross builds (armhf, arm64)"
bash scripts/cross.sh armhf  # its suites run under qemu-user below
bash scripts/cross.sh arm64

echo "== static build"
cmake -S . -B build-static -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRA_STATIC=ON >/dev/null
cmake --build build-static -j"$jobs" --target ostra ostra-producer test_e2e  # the end-to-end suite runs the static daemon

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== fuzz smoke run"
status=0
bash scripts/fuzz-smoke.sh || status=1

echo "== tests (normal build)"
(cd build && ctest --output-on-failure -j2) || status=1
echo "== tests (sanitizer build)"
(cd build-asan && ctest --output-on-failure -j2) || status=1

echo "== package check"
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/package-check.sh || status=1
else
  echo "package check skipped: it installs the package and needs root"
fi

# The emulated suites keep the processor busy while the static daemon's
# end-to-end scenarios mostly wait, so both run at once.
echo "== tests (armhf under qemu-user) and (static build, end to end)"
(cd build-static && ctest --output-on-failure -j2 -R e2e >e2e.log 2>&1) &
static_tests=$!
bash scripts/cross.sh armhf --test || status=1
wait $static_tests || status=1
echo "== tests (static build, end to end)"
cat build-static/e2e.log
exit $status
