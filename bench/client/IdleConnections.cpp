// Idle connections (one OPTIONS each, then silence) and the OPTIONS probe.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Bench.hh"
#include "IdleConnections.hh"

namespace ostra_bench {

namespace {

sockaddr_in serverAddress(Options const& o) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(o.port));
  inet_pton(AF_INET, o.host.c_str(), &a.sin_addr);
  return a;
}

}  // namespace

std::vector<int> openIdle(Options const& o, int n) {
  std::vector<int> held;
  std::string const req = "OPTIONS " + o.url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
  sockaddr_in a = serverAddress(o);
  for (int done = 0; done < n && !gStop;) {
    int batch = std::min(16, n - done);
    std::vector<pollfd> p(static_cast<size_t>(batch));
    for (auto& q : p) {
      q.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      q.events = POLLOUT;
      connect(q.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    int open = batch;
    int64_t deadline = nowNs() + 5000000000LL;
    while (open > 0 && nowNs() < deadline) {
      if (poll(p.data(), nfds_t(batch), 50) <= 0) continue;
      for (auto& q : p) {
        if (q.fd < 0 || q.revents == 0) continue;
        if (q.events == POLLOUT && !(q.revents & (POLLERR | POLLHUP))) {
          q.events = POLLIN;
          if (send(q.fd, req.data(), req.size(), MSG_NOSIGNAL) == ssize_t(req.size())) continue;
        }
        char buf[512];
        ssize_t r = recv(q.fd, buf, sizeof buf, 0);
        if (r > 12 && std::strncmp(buf, "RTSP/1.0 200", 12) == 0) {
          held.push_back(q.fd);
        } else {
          close(q.fd);
        }
        q.fd = -1;
        --open;
      }
    }
    for (auto& q : p)
      if (q.fd >= 0) close(q.fd);
    done += batch;
  }
  return held;
}

int64_t probeOnce(Options const& o, int& fd, int cseq) {
  if (fd < 0) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a = serverAddress(o);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
      return -1;
    }
  }
  std::string req = "OPTIONS " + o.url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n\r\n";
  int64_t t0 = nowNs();
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size())) return -1;
  std::string in;
  char buf[1024];
  while (in.find("\r\n\r\n") == std::string::npos) {
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) {
      close(fd);
      fd = -1;
      return -1;
    }
    in.append(buf, size_t(r));
  }
  return nowNs() - t0;
}

}  // namespace ostra_bench
