#ifndef OSTRA_TUNNEL_E2E_SUPPORT_HH
#define OSTRA_TUNNEL_E2E_SUPPORT_HH

// The daemon as the tunnel and TLS suites run it, through its start-up
// routine with Digest and audio on.
#include <sys/socket.h>

#include <memory>
#include <string>

#include "../support/TestCertificate.hh"
#include "E2ESupport.hh"
#include "Startup.hh"

namespace e2e {

struct Daemon {
  std::unique_ptr<daemontest::Child> producer, daemon;
  // Producer with audio, the audio switch on, credentials alice:secret.
  // With 'tls', a certificate file: RTSP over TLS on 8322 too.
  bool start(Checks& check, unsigned reclamationSeconds, bool tls = false) {
    producer = e2e::start({producerBinary(), "--report"});
    check(waitListening(13032, *producer, 60000), "producer listening");
    writeFile("/talpa/bin/ostra.xml", "<sys><audio>1</audio></sys>\n");
    writeFile("/var/etc/httppasswd", "alice:secret\n");
    if (tls && !check(daemontest::writeTestPEM("/var/etc/ostra.pem"), "certificate file")) return false;
    Settings s;
    s.startDelayMs = 0;
    s.credentialsAttempts = 1;
    s.reclamationSeconds = reclamationSeconds;
    daemon = std::make_unique<daemontest::Child>([s] { return runStartup(s); });
    return check(daemon->waitForText(tls ? "rtsps://127.0.0.1:8322/ch01\n" : "/ch01\n", 10000),
                 "URL\n" + daemon->err());
  }
};

inline RtspClient& alice(RtspClient& c) {
  c.user = "alice";
  c.password = "secret";
  return c;
}

inline void sendText(int fd, std::string const& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

}  // namespace e2e

#endif
