#include "AppTestSupport.hh"

#include <dirent.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstdio>

namespace apptest {

namespace {
// The whole test process moves into a private network namespace before any
// test runs, so the fixed ports (8554, 13032, 13132) are ours alone.
bool const gIsolated = daemontest::enterPrivateNetwork();
}  // namespace

bool isolated() { return gIsolated; }

TempDir::TempDir() {
  char tmpl[] = "/tmp/ostra-app-XXXXXX";
  if (mkdtemp(tmpl) != nullptr) fPath = tmpl;
}

TempDir::~TempDir() {
  if (fPath.empty()) return;
  if (DIR* d = opendir(fPath.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") unlink((fPath + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(fPath.c_str());
}

void TempDir::write(char const* name, std::string const& text) const {
  std::string tmp = file(name) + ".part";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  rename(tmp.c_str(), file(name).c_str());
}

Settings quickSettings(TempDir const& dir) {
  static std::string pid, cred, xml;  // the settings keep pointers
  pid = dir.file("pid");
  cred = dir.file("httppasswd");
  xml = dir.file("ostra.xml");
  Settings s;
  s.startDelayMs = 0;
  s.credentialsAttempts = 1;
  s.credentialsRetryMs = 10;
  s.pidFile = pid.c_str();
  s.credentialsFile = cred.c_str();
  s.settingsFile = xml.c_str();
  return s;
}

bool dropRealtimePrivilege() {
  struct rlimit none {
    0, 0
  };
  setrlimit(RLIMIT_RTPRIO, &none);
  prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);
  struct __user_cap_header_struct header {};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  struct __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~(1u << CAP_SYS_NICE);
  data[0].permitted &= ~(1u << CAP_SYS_NICE);
  data[0].inheritable &= ~(1u << CAP_SYS_NICE);
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace apptest
