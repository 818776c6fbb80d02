# -DOSTRA_STATIC=ON: every executable (the daemon, the tools, the tests) is
# linked fully static against the static TinyXML, libcrypto and C/C++
# runtime, for root filesystems without those libraries. Include before the
# libraries are looked for.
#
# glibc links statically with a caveat: name-service lookups (getpwnam,
# getaddrinfo on names) would load the NSS modules of the glibc they were
# built with at run time. The daemon needs none of those: it takes the host
# address from getifaddrs and only binds and connects to numeric addresses.
option(OSTRA_STATIC "Link fully static executables" OFF)
if(OSTRA_STATIC)
  if(OSTRA_SANITIZE)
    message(FATAL_ERROR "OSTRA_STATIC and OSTRA_SANITIZE do not go together (the sanitizer runtimes are shared)")
  endif()
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -static")
endif()
