// The RTSP side of a client: the requests, the answers and the handshake's states.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "Handshake.hh"
#include "Receive.hh"
#include "RtspResponse.hh"

namespace ostra_bench {

namespace {

std::string md5hex(std::string const& s) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(s.data(), s.size(), md, &len, EVP_md5(), nullptr);
  static char const* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

void setNonBlock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void setRcvbuf(int fd, int bytes) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

uint64_t key(int idx, int kind) { return (uint64_t(idx) << 2) | uint64_t(kind); }

bool bindUdpPair(Bench& b, Client& c) {
  for (int tries = 0; tries < 2000; ++tries) {
    int p = b.nextPort;
    b.nextPort += 2;
    if (b.nextPort > 65000) b.nextPort = b.o.basePort;
    sockaddr_storage a;
    int const family = (hostAddress(b.o, 0, a), a.ss_family);  // the server's family, on its loopback address
    int fds[2] = {socket(family, SOCK_DGRAM, 0), socket(family, SOCK_DGRAM, 0)};
    bool ok = fds[0] >= 0 && fds[1] >= 0;
    for (int i = 0; i < 2 && ok; ++i) {
      socklen_t const len = hostAddress(b.o, p + i, a, true);
      ok = bind(fds[i], reinterpret_cast<sockaddr*>(&a), len) == 0;
    }
    if (!ok) {
      for (int fd : fds)
        if (fd >= 0) close(fd);
      continue;
    }
    c.rtpFd = fds[0];
    c.rtcpFd = fds[1];
    c.rtpPort = p;
    setNonBlock(c.rtpFd);
    setNonBlock(c.rtcpFd);
    setRcvbuf(c.rtpFd, b.o.rcvbuf);
    if (b.recordUnits) {
      int on = 1;
      setsockopt(c.rtpFd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key(c.idx, 1);
    epoll_ctl(b.ep, EPOLL_CTL_ADD, c.rtpFd, &ev);
    ev.data.u64 = key(c.idx, 2);
    epoll_ctl(b.ep, EPOLL_CTL_ADD, c.rtcpFd, &ev);
    return true;
  }
  return false;
}

void sendSetup(Bench& b, Client& c) {
  c.state = State::Setup;
  std::string t;
  if (c.tcp) {
    t = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
  } else {
    if (!bindUdpPair(b, c)) {
      fail(b, c, "no UDP port pair");
      return;
    }
    t = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(c.rtpPort) + "-" + std::to_string(c.rtpPort + 1) +
        "\r\n";
  }
  sendRequest(b, c, "SETUP", c.control, t);
}

// Control URL of the first video track from the SDP.
std::string videoControl(std::string const& base, std::string const& sdp) {
  size_t m = sdp.find("m=video");
  if (m == std::string::npos) return "";
  size_t next = sdp.find("\nm=", m + 1);
  std::string sect = sdp.substr(m, next == std::string::npos ? std::string::npos : next - m);
  size_t a = sect.find("a=control:");
  if (a == std::string::npos) return base;
  size_t e = sect.find_first_of("\r\n", a);
  std::string ctl = sect.substr(a + 10, e == std::string::npos ? std::string::npos : e - a - 10);
  if (ctl.compare(0, 7, "rtsp://") == 0) return ctl;
  if (ctl == "*") return base;
  if (!base.empty() && base.back() == '/') return base + ctl;
  return base + "/" + ctl;
}

void handleResponse(Bench& b, Client& c, Response const& r, int64_t now) {
  if (r.status == 401 && !b.o.user.empty() && !c.authTried && (c.state == State::Describe || c.state == State::Setup)) {
    std::string h = r.header("WWW-Authenticate");
    c.nonce = authParam(h, "nonce");
    c.realm = authParam(h, "realm");
    c.authTried = true;
    if (c.state == State::Describe)
      sendDescribe(b, c);
    else
      sendRequest(b, c, "SETUP", c.control,
                  c.tcp ? "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                        : "Transport: RTP/AVP;unicast;client_port=" + std::to_string(c.rtpPort) + "-" +
                              std::to_string(c.rtpPort + 1) + "\r\n");
    return;
  }
  switch (c.state) {
    case State::Describe: {
      if (r.status != 200) return fail(b, c, "DESCRIBE " + std::to_string(r.status));
      std::string base = r.header("Content-Base");
      if (base.empty()) base = b.o.url;
      c.control = videoControl(base, r.body);
      if (c.control.empty()) return fail(b, c, "no video track in SDP");
      c.authTried = false;
      sendSetup(b, c);
      break;
    }
    case State::Setup: {
      if (r.status != 200) return fail(b, c, "SETUP " + std::to_string(r.status));
      std::string s = r.header("Session");
      size_t semi = s.find(';');
      c.session = s.substr(0, semi);
      if (c.session.empty()) return fail(b, c, "SETUP without Session");
      c.state = State::Play;
      std::string aggregate = b.o.url;
      sendRequest(b, c, "PLAY", aggregate, "Range: npt=0.000-\r\n");
      break;
    }
    case State::Play:
      if (r.status != 200) return fail(b, c, "PLAY " + std::to_string(r.status));
      c.state = State::Playing;
      c.lastKeepalive = now;
      if (b.firstPlaying < 0 && !c.idle) b.firstPlaying = c.idx;
      if (c.idle || b.o.late) setReading(b, c, false);
      break;
    default:
      break;  // keep-alive and TEARDOWN answers
  }
}

}  // namespace

void fail(Bench& b, Client& c, std::string const& why) {
  if (c.state == State::Failed) return;
  c.state = State::Failed;
  c.failReason = why;
  for (int* fd : {&c.fd, &c.rtpFd, &c.rtcpFd})
    if (*fd >= 0) {
      epoll_ctl(b.ep, EPOLL_CTL_DEL, *fd, nullptr);
      close(*fd);
      *fd = -1;
    }
}

void sendRequest(Bench& b, Client& c, char const* method, std::string const& uri, std::string const& extra) {
  std::string req = std::string(method) + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(++c.cseq) + "\r\n";
  req += "User-Agent: ostra-bench-client\r\n";
  if (!b.o.user.empty() && !c.nonce.empty()) {
    std::string ha1 = md5hex(b.o.user + ":" + c.realm + ":" + b.o.pass);
    std::string ha2 = md5hex(std::string(method) + ":" + uri);
    std::string resp = md5hex(ha1 + ":" + c.nonce + ":" + ha2);
    req += "Authorization: Digest username=\"" + b.o.user + "\", realm=\"" + c.realm + "\", nonce=\"" + c.nonce +
           "\", uri=\"" + uri + "\", response=\"" + resp + "\"\r\n";
  }
  if (!c.session.empty()) req += "Session: " + c.session + "\r\n";
  req += extra + "\r\n";
  size_t off = 0;
  while (off < req.size()) {
    ssize_t n = send(c.fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {  // tiny requests on a socket we drain constantly: wait briefly for room
        pollfd p{c.fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      fail(b, c, std::string("send: ") + std::strerror(errno));
      return;
    }
    off += size_t(n);
  }
}

void startClient(Bench& b, Client& c) {
  sockaddr_storage a;
  socklen_t const alen = hostAddress(b.o, b.o.port, a);
  c.fd = socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (c.fd < 0) {
    fail(b, c, std::string("socket: ") + std::strerror(errno));
    return;
  }
  if (c.tcp) setRcvbuf(c.fd, b.o.rcvbuf);
  c.in.resize(c.tcp ? 256 * 1024 : 32 * 1024);
  int r = connect(c.fd, reinterpret_cast<sockaddr*>(&a), alen);
  if (r != 0 && errno != EINPROGRESS) {
    fail(b, c, std::string("connect: ") + std::strerror(errno));
    return;
  }
  c.state = State::Connecting;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT;
  ev.data.u64 = key(c.idx, 0);
  epoll_ctl(b.ep, EPOLL_CTL_ADD, c.fd, &ev);
}

void sendDescribe(Bench& b, Client& c) {
  c.state = State::Describe;
  sendRequest(b, c, "DESCRIBE", b.o.url, "Accept: application/sdp\r\n");
}

void setReading(Bench& b, Client& c, bool on) {
  c.paused = !on;
  epoll_event ev{};
  ev.events = on ? uint32_t(EPOLLIN) : 0u;
  ev.data.u64 = key(c.idx, 0);
  epoll_ctl(b.ep, EPOLL_CTL_MOD, c.fd, &ev);
  if (c.rtpFd >= 0) {
    ev.data.u64 = key(c.idx, 1);
    epoll_ctl(b.ep, EPOLL_CTL_MOD, c.rtpFd, &ev);
  }
}

void drainInput(Bench& b, Client& c, int64_t now, int64_t arrivalNs) {
  size_t off = 0;
  while (off < c.inLen && c.state != State::Failed) {
    uint8_t const* p = c.in.data() + off;
    size_t avail = c.inLen - off;
    if (p[0] == '$') {
      if (avail < 4) break;
      size_t flen = (size_t(p[2]) << 8) | p[3];
      if (avail < 4 + flen) break;
      if (p[1] == 0) onRtp(b, c, p + 4, flen, arrivalNs);
      off += 4 + flen;
      continue;
    }
    Response r;
    size_t used = parseResponse(p, avail, &r);
    if (used == 0) {
      if (avail == c.in.size()) fail(b, c, "response too large");
      break;
    }
    off += used;
    handleResponse(b, c, r, now);
  }
  if (off > 0 && c.state != State::Failed) {
    std::memmove(c.in.data(), c.in.data() + off, c.inLen - off);
    c.inLen -= off;
  }
}

}  // namespace ostra_bench
