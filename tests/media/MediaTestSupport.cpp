#include "MediaTestSupport.hh"

namespace mediatest {

namespace {
// The whole test process moves into a private network namespace before any
// test runs, so the producer ports are ours alone.
bool const gIsolated = daemontest::enterPrivateNetwork();
}  // namespace

bool isolated() { return gIsolated; }

int freeChannel(int first) {
  for (int ch = first; ch < first + 400; ++ch) {
    if (daemontest::portFree(static_cast<uint16_t>(kVideoBasePort + ch))) return ch;
  }
  return -1;
}

}  // namespace mediatest
