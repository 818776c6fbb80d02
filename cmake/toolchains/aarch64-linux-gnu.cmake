# 64-bit ARM (ARMv8-A camera SoCs).
#
#   Debian multiarch:  cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#   Vendor SDK:        ... -DCMAKE_SYSROOT=/path/to/sysroot [-DOSTRA_CROSS_PREFIX=/path/to/sdk/bin/aarch64-vendor-linux-gnu-]
#
# See linux-cross.cmake for what each variable does.
set(OSTRA_CROSS_TRIPLET aarch64-linux-gnu)
set(OSTRA_CROSS_QEMU qemu-aarch64-static)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
