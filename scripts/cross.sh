#!/usr/bin/env bash
# Cross-builds ostra for an ARM camera board with Debian's cross compilers and
# multiarch libraries, and with --test runs the build's test suites under
# qemu-user (CTest's cross-compiling emulator; the tests start the ARM daemon
# and producer through it too).
#
#   bash scripts/cross.sh armhf [--test] [--static] [-- <cmake options>]
#   bash scripts/cross.sh arm64 [--test] [--static] [-- <cmake options>]
#   bash scripts/cross.sh armhf|arm64 --setup     # only install what is missing
#
# armhf is 32-bit ARM EABI hard-float (arm-linux-gnueabihf), arm64 is AArch64
# (aarch64-linux-gnu). The build goes to build-<arch>/ (build-<arch>-static/
# with --static, a fully static daemon); the daemon is build-<arch>/src/ostra.
# Installs what is missing: the foreign architecture, crossbuild-essential-<arch>,
# libtinyxml-dev, libssl-dev and libgtest-dev for <arch>, libsrtp2-1 for <arch>
# (its -dev package cannot be installed beside this machine's; its headers are
# the same for every architecture and the build links libsrtp2.so.1), qemu-user-static.
#
#   OSTRA_CROSS_BUILD_TYPE  CMake build type (default RelWithDebInfo)
#   OSTRA_CROSS_TESTS       ctest -R pattern of the suites to run (default: all)
#
# A vendor SDK is used through the toolchain file directly; see README.md,
# "Building for a camera".
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: bash scripts/cross.sh armhf|arm64 [--test] [--static] [--setup] [-- <cmake options>]" >&2
  exit 2
}

arch=${1:-}
case "$arch" in
  armhf) triplet=arm-linux-gnueabihf ;;
  arm64) triplet=aarch64-linux-gnu ;;
  *) usage ;;
esac
shift
run_tests=0
static=0
setup_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --test) run_tests=1 ;;
    --static) static=1 ;;
    --setup) setup_only=1 ;;
    --) shift; break ;;
    *) usage ;;
  esac
  shift
done
extra_cmake=("$@")

build=build-$arch
[ "$static" = 1 ] && build=build-$arch-static

# The target's architecture in dpkg, then its packages (setup.sh runs apt-get
# update whenever something is missing, which picks the new architecture up).
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "cross: adding the $arch architecture to dpkg"
  $SUDO dpkg --add-architecture "$arch"
fi
bash scripts/setup.sh "crossbuild-essential-$arch" "libtinyxml-dev:$arch" "libssl-dev:$arch" "libsrtp2-1:$arch" "libgtest-dev:$arch" \
  qemu-user-static
[ "$setup_only" = 0 ] || exit 0

options=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$triplet.cmake
  -DCMAKE_BUILD_TYPE="${OSTRA_CROSS_BUILD_TYPE:-RelWithDebInfo}" -DOSTRA_BUILD_FUZZ=OFF)
[ "$static" = 1 ] && options+=(-DOSTRA_STATIC=ON)
[ "$run_tests" = 1 ] && options+=(-DOSTRA_BUILD_TESTS=ON)  # a build made without them keeps that in its cache

echo "cross: building $arch into $build"
start=$(date +%s)
cmake -S . -B "$build" -G Ninja "${options[@]}" "${extra_cmake[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "cross: $arch build took $(($(date +%s) - start)) s"

# The daemon is a binary for the target, and links nothing from this machine.
readelf=$triplet-readelf
header=$($readelf -h "$build/src/ostra")
case "$arch" in
  armhf) machine="ARM" ;;
  arm64) machine="AArch64" ;;
esac
grep -q "Machine: *$machine\$" <<<"$header" || { echo "cross: $build/src/ostra is not an $machine binary" >&2; exit 1; }
if [ "$arch" = armhf ] && ! grep -q "hard-float ABI" <<<"$header"; then
  echo "cross: $build/src/ostra does not use the hard-float ABI" >&2
  exit 1
fi
if $readelf -d "$build/src/ostra" | grep -E "RPATH|RUNPATH"; then
  echo "cross: $build/src/ostra carries a library search path" >&2
  exit 1
fi
needed=$($readelf -d "$build/src/ostra" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "cross: $build/src/ostra: $machine$([ "$arch" = armhf ] && echo " EABI5 hard-float"), needs: ${needed:-nothing (static)}"

[ "$run_tests" = 1 ] || exit 0

echo "cross: running the $arch tests under qemu-user"
start=$(date +%s)
status=0
(cd "$build" && ctest --output-on-failure -j2 ${OSTRA_CROSS_TESTS:+-R "$OSTRA_CROSS_TESTS"}) || status=1
echo "cross: $arch tests took $(($(date +%s) - start)) s"
exit $status
