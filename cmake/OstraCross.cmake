# Cross builds: the tests run under the toolchain's emulator
# (CMAKE_CROSSCOMPILING_EMULATOR, which CTest puts in front of every test
# program), and the tests that start this build's daemon or producer as a
# child process put it in front of those too (tests/support/EmulatedCommand.hh).
# Include before the tests are added.
if(CMAKE_CROSSCOMPILING AND OSTRA_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " ostra_emulator)
    add_compile_definitions(OSTRA_TEST_EMULATOR="${ostra_emulator}")
    message(STATUS "Tests run under ${ostra_emulator}")
  else()
    message(STATUS "No emulator for ${CMAKE_SYSTEM_PROCESSOR}: the tests build but cannot run here")
  endif()
endif()
