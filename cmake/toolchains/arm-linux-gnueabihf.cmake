# 32-bit ARM, EABI hard-float (ARMv7 camera SoCs).
#
#   Debian multiarch:  cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
#   Vendor SDK:        ... -DCMAKE_SYSROOT=/path/to/sysroot [-DOSTRA_CROSS_PREFIX=/path/to/sdk/bin/arm-vendor-linux-gnueabihf-]
#
# See linux-cross.cmake for what each variable does.
set(OSTRA_CROSS_TRIPLET arm-linux-gnueabihf)
set(OSTRA_CROSS_QEMU qemu-arm-static)
set(CMAKE_SYSTEM_PROCESSOR arm)
# GCC notes that passing some std:: iterators changed ABI in GCC 7.1; all of
# ostra is built with one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
