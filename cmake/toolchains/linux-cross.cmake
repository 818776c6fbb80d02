# Shared part of the Linux cross toolchain files. The including file sets
# OSTRA_CROSS_TRIPLET (GNU triplet), OSTRA_CROSS_QEMU (user-mode emulator) and
# CMAKE_SYSTEM_PROCESSOR.
#
# Two ways to use it:
#
# - Debian multiarch (no CMAKE_SYSROOT): the cross compilers <triplet>-gcc/g++
#   from crossbuild-essential-<arch>, the target's libraries from the
#   <package>:<arch> -dev packages in /usr/lib/<triplet>. Only the target's
#   library folder is searched; /usr/local (the build machine's own
#   additions) is ignored.
#
# - A vendor SDK (Buildroot, Yocto, or any sysroot): -DCMAKE_SYSROOT=<sysroot>,
#   and -DOSTRA_CROSS_PREFIX=<sdk>/bin/<vendor-triplet>- when the SDK's
#   compilers are not <triplet>-gcc/g++ on PATH (or -DCMAKE_C_COMPILER and
#   -DCMAKE_CXX_COMPILER). Libraries, headers and CMake packages are then
#   searched in the sysroot only, and pkg-config reads the sysroot's .pc files.
#
# Tests built this way run under ${OSTRA_CROSS_QEMU} (found on PATH; with
# -L <sysroot> when a sysroot is given). -DCMAKE_CROSSCOMPILING_EMULATOR=...
# overrides that.
set(CMAKE_SYSTEM_NAME Linux)

set(OSTRA_CROSS_PREFIX "${OSTRA_CROSS_TRIPLET}-" CACHE STRING "Cross compiler prefix (path and triplet, ending in '-')")
# try_compile() projects read this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSTRA_CROSS_PREFIX)

if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${OSTRA_CROSS_PREFIX}gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${OSTRA_CROSS_PREFIX}g++)
endif()

if(CMAKE_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
  # A sysroot made from Debian packages keeps its libraries in usr/lib/<triplet>.
  if(EXISTS ${CMAKE_SYSROOT}/usr/lib/${OSTRA_CROSS_TRIPLET})
    set(CMAKE_LIBRARY_ARCHITECTURE ${OSTRA_CROSS_TRIPLET})
  endif()
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR}
      "${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig:${CMAKE_SYSROOT}/usr/lib/${OSTRA_CROSS_TRIPLET}/pkgconfig")
else()
  set(CMAKE_LIBRARY_ARCHITECTURE ${OSTRA_CROSS_TRIPLET})
  set(CMAKE_IGNORE_PREFIX_PATH /usr/local)
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${OSTRA_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
endif()

# Programs (code generators, the emulator) come from the build machine;
# everything that gets linked into the target comes from the target's side.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(OSTRA_CROSS_QEMU_PROGRAM ${OSTRA_CROSS_QEMU})
  if(OSTRA_CROSS_QEMU_PROGRAM)
    if(CMAKE_SYSROOT)
      set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRA_CROSS_QEMU_PROGRAM} -L ${CMAKE_SYSROOT})
    else()
      set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRA_CROSS_QEMU_PROGRAM})
    endif()
  endif()
endif()
