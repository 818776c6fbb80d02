// Cross builds run their tests under a user-mode emulator: OSTRA_TEST_EMULATOR
// holds its command words (for example "/usr/bin/qemu-arm-static" or
// "/usr/bin/qemu-arm-static -L /sysroot"). A program of this build that a test
// starts as a child process must go through the emulator too.
#ifndef OSTRA_EMULATED_COMMAND_HH
#define OSTRA_EMULATED_COMMAND_HH

#include <sstream>
#include <string>
#include <vector>

namespace daemontest {

// 'argv' with the emulator's words put before every argument that names a
// file of this build (below OSTRA_BINARY_DIR), so that a wrapper in front of
// the program (setpriv, for one) keeps working. Unchanged in a native build.
inline std::vector<std::string> emulatedCommand(std::vector<std::string> const& argv) {
#if defined(OSTRA_TEST_EMULATOR) && defined(OSTRA_BINARY_DIR)
  std::vector<std::string> emulator;
  std::istringstream words(OSTRA_TEST_EMULATOR);
  for (std::string w; words >> w;) emulator.push_back(w);
  std::string const build = OSTRA_BINARY_DIR;
  std::vector<std::string> command;
  for (auto const& a : argv) {
    if (a.compare(0, build.size(), build) == 0) command.insert(command.end(), emulator.begin(), emulator.end());
    command.push_back(a);
  }
  return command;
#else
  return argv;
#endif
}

}  // namespace daemontest

#endif
