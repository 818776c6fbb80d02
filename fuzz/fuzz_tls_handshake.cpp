// A TLS connection's first bytes through the server's real handshake path:
// the session made by the TLS context (a test certificate made at start-up)
// over a socket whose peer sends the input and then closes. The handshake is
// moved on as the connection moves it until it is done or fails; once done,
// whatever follows is read.
//
// Checked besides memory safety: the transport is never ready and failed at
// once, never reads before it is ready, and a failed one stays failed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "../tests/support/TestCertificate.hh"
#include "TLSContext.hh"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

TLSContext const& context() {
  static std::unique_ptr<TLSContext> tls = daemontest::testTLSContext();
  check(tls != nullptr);
  return *tls;
}

void drain(int fd) {
  unsigned char buf[4096];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  TLSContext const& tls = context();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) return 0;
  if (size > 0) (void)!send(fds[1], data, size, MSG_NOSIGNAL);
  shutdown(fds[1], SHUT_WR);
  std::unique_ptr<ByteTransport> transport = tls.newTransport(fds[0]);
  check(transport != nullptr && !transport->ready());
  unsigned char buf[1024];
  check(transport->read(buf, sizeof buf) == -1);  // nothing before the handshake
  bool alive = true;
  for (int step = 0; step < 64 && alive && !transport->ready(); ++step) {
    alive = transport->progress();
    drain(fds[1]);
  }
  if (!alive) {
    check(!transport->ready() && !transport->progress() && transport->read(buf, sizeof buf) == 0);
  } else if (transport->ready()) {
    for (int step = 0; step < 64 && transport->read(buf, sizeof buf) > 0; ++step) drain(fds[1]);
  }
  transport.reset();
  close(fds[0]);
  close(fds[1]);
  return 0;
}
