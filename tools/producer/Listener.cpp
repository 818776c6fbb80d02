// The listening sockets on 127.0.0.1, one per medium, and the acceptance of new connections.
#include "Listener.hh"

#include "Report.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ostra_producer {

void acceptConnections(Producer& p, Medium& m) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(m.listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN, or a transient shortage (EMFILE...): try again on the next readiness
    }
    if (m.conns.size() >= static_cast<size_t>(kMaxConnectionsPerMedium)) {
      close(fd);
      reportLine(p, "ostra-producer: refuse %s reason=too-many-connections\n", m.name.c_str());
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->id = p.nextConnId++;
    c->medium = &m;
    m.totalConns++;
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    reportLine(p, "ostra-producer: open %s conn=%u peer=%s:%u\n", m.name.c_str(), c->id, addr, ntohs(peer.sin_port));
    m.conns.push_back(std::move(c));
  }
}

bool listenOn(Medium& m, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "ostra-producer: socket: %s\n", std::strerror(errno));
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    std::fprintf(stderr, "ostra-producer: cannot listen for %s on 127.0.0.1:%d: %s\n", m.name.c_str(), port,
                 std::strerror(errno));
    close(fd);
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  m.listenFd = fd;
  m.port = ntohs(a.sin_port);
  return true;
}

}  // namespace ostra_producer
