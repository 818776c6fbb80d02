// The whole RTSP test process moves into a private network namespace before
// any test runs, so its server ports (the RTSP ports of the tests and the RTP
// ports from 6970) never meet another run's on the same machine.
#include <cstdio>

#include "../support/DaemonTestUtil.hh"

namespace {
bool enterOrWarn() {
  if (daemontest::enterPrivateNetwork()) return true;
  std::fprintf(stderr, "test_rtsp: not root, so no private network namespace: the tests use the host's ports\n");
  return false;
}
bool const gIsolated = enterOrWarn();
}  // namespace
