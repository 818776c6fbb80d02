// Common pieces of the start-up tests: the start-up routine run in a child
// process with short waits and temporary paths, and an RTSP Digest client.
#ifndef OSTRA_APP_TEST_SUPPORT_HH
#define OSTRA_APP_TEST_SUPPORT_HH

#include <string>

#include "../support/DaemonTestUtil.hh"
#include "Settings.hh"

namespace apptest {

// True when the test process runs in a network namespace of its own.
bool isolated();

// A temporary folder removed with its files.
class TempDir {
public:
  TempDir();
  ~TempDir();
  std::string const& path() const { return fPath; }
  std::string file(char const* name) const { return fPath + "/" + name; }
  void write(char const* name, std::string const& text) const;

private:
  std::string fPath;
};

// Built-in settings with the waits cut short and the files in 'dir'.
Settings quickSettings(TempDir const& dir);

using daemontest::digestAuthorization;
using daemontest::digestField;
using daemontest::md5Hex;

// Drops the privilege to ask for real-time scheduling from this process.
bool dropRealtimePrivilege();

}  // namespace apptest

#endif
