# Settings that follow from the target platform. Include before any target.
#
# 32-bit targets (armhf) use 64-bit file offsets and inode numbers: without
# them stat() and readdir() fail with EOVERFLOW on file systems that hand out
# 64-bit values (large NFS or XFS roots, and a 64-bit kernel running the
# binary under an emulator).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64)
endif()
