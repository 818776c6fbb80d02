// ostra-bench-client: many lightweight RTSP/RTP clients in one process.
//
// Each client does DESCRIBE (answering a 401 with Digest when credentials are
// given), SETUP of the first video track (UDP client ports or RTP/AVP/TCP
// interleaved), PLAY, and then counts RTP packets, bytes and sequence gaps.
// All clients share one epoll loop. After every client plays (or the set-up
// deadline passes) and a warm-up, the measurement window opens: packet
// counters, the server's CPU time (/proc/<pid>/stat), RSS and, when the server
// runs with the counting allocator, its allocation counters are sampled at both
// ends of the window. One JSON line with the results goes to standard output.
//
// --late: every client stops reading once it plays and starts again only when
// all of them play (all handshakes first, then the streams). --idle-clients M:
// M more clients over TCP that set up, play and then never read; they are not
// measured (what the N measured clients lose beside them is).
//
// With --idle N, N more connections are opened first, each answered one
// OPTIONS and then left silent for the whole run; during the window a probe
// connection sends an OPTIONS every 100 ms and its round-trip times are
// reported.
//
// With --units-out FILE every packet received in the window is also grouped by
// RTP timestamp (one access unit) across all clients: earliest and latest
// arrival (CLOCK_REALTIME; the kernel's receive time for UDP), the marker bit
// and, from the first client, the NAL units and their bytes. bench/analyze.py
// matches those units with the producer's --timestamps file for the latency.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

int64_t nowNs(clockid_t clk = CLOCK_MONOTONIC) {
  timespec ts;
  clock_gettime(clk, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Options {
  std::string host = "127.0.0.1";
  int port = 8554;
  std::string path = "/ch01";
  std::string url;
  std::string user, pass;
  int clients = 1;
  bool tcp = false;
  double warmup = 2.0;
  double duration = 8.0;
  double setupTimeout = 60.0;
  int concurrency = 16;
  int keepaliveSec = 20;
  int rcvbuf = 1 << 20;
  int basePort = 30000;
  int idle = 0;
  pid_t pid = 0;
  std::string allocFile;
  std::string unitsOut;
  std::string label;
  bool late = false;
  int idleClients = 0;
};

void usage() {
  std::fprintf(stderr,
               "usage: ostra-bench-client [options] rtsp://[user:pass@]host:port/path\n"
               "  --clients N         number of RTSP sessions (default 1)\n"
               "  --tcp               RTP/AVP/TCP interleaved (default: UDP)\n"
               "  --warmup S          seconds between the last PLAY and the window (default 2)\n"
               "  --duration S        measurement window in seconds (default 8)\n"
               "  --setup-timeout S   give up waiting for clients to play after S seconds (default 60)\n"
               "  --concurrency K     handshakes in flight at once (default 16)\n"
               "  --keepalive S       OPTIONS with the session every S seconds (default 20)\n"
               "  --rcvbuf BYTES      socket receive buffer (default 1 MiB; forced when root)\n"
               "  --base-port P       first UDP client port (default 30000)\n"
               "  --idle N            hold N idle connections (one OPTIONS each) and probe the OPTIONS round trip\n"
               "  --pid PID           server process to sample (CPU, RSS)\n"
               "  --alloc-file F      counters file of the counting allocator loaded into the server\n"
               "  --units-out F       write per-access-unit arrival records for the latency analysis\n"
               "  --label TEXT        copied into the JSON line\n"
               "  --late              clients read their streams only once all of them play\n"
               "  --idle-clients M    M more TCP clients that play and never read (not measured)\n");
}

// ---------------------------------------------------------------- digest

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

// Value of key="..." (or key=token) inside a Digest challenge.
std::string authParam(std::string const& h, char const* key) {
  std::string k = std::string(key) + "=";
  size_t p = 0;
  while ((p = h.find(k, p)) != std::string::npos) {
    if (p == 0 || h[p - 1] == ' ' || h[p - 1] == ',') break;
    p += k.size();
  }
  if (p == std::string::npos) return "";
  p += k.size();
  if (p < h.size() && h[p] == '"') {
    size_t e = h.find('"', p + 1);
    return h.substr(p + 1, e == std::string::npos ? std::string::npos : e - p - 1);
  }
  size_t e = h.find_first_of(", \r\n", p);
  return h.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// ---------------------------------------------------------------- RTSP responses

struct Response {
  int status = 0;
  std::string headers;  // raw header block
  std::string body;
  std::string header(char const* name) const {
    size_t n = std::strlen(name);
    size_t p = 0;
    while (p < headers.size()) {
      size_t e = headers.find("\r\n", p);
      if (e == std::string::npos) e = headers.size();
      if (e - p > n && strncasecmp(headers.c_str() + p, name, n) == 0 && headers[p + n] == ':') {
        size_t v = p + n + 1;
        while (v < e && headers[v] == ' ') ++v;
        return headers.substr(v, e - v);
      }
      p = e + 2;
    }
    return "";
  }
};

// Parses one complete response at the start of buf; returns bytes consumed, 0 if incomplete.
size_t parseResponse(uint8_t const* buf, size_t len, Response* r) {
  char const* b = reinterpret_cast<char const*>(buf);
  char const* end = static_cast<char const*>(memmem(b, len, "\r\n\r\n", 4));
  if (!end) return 0;
  size_t hlen = size_t(end - b) + 4;
  std::string head(b, hlen);
  r->status = 0;
  if (head.compare(0, 5, "RTSP/") == 0) {
    size_t sp = head.find(' ');
    if (sp != std::string::npos) r->status = std::atoi(head.c_str() + sp + 1);
  }
  size_t firstEol = head.find("\r\n");
  r->headers = head.substr(firstEol + 2);
  size_t clen = size_t(std::atol(r->header("Content-Length").c_str()));
  if (len < hlen + clen) return 0;
  r->body.assign(b + hlen, clen);
  return hlen + clen;
}

// ---------------------------------------------------------------- clients

enum class State { Idle, Connecting, Describe, Setup, Play, Playing, Failed };

struct Counters {
  uint64_t packets = 0, bytes = 0, gaps = 0, missing = 0;
  int64_t maxExt = -1;  // highest extended sequence number seen
};

struct Client {
  int idx = 0;
  bool tcp = false;
  bool idle = false;    // plays, then never reads
  bool paused = false;  // late reader waiting for the others
  State state = State::Idle;
  int fd = -1, rtpFd = -1, rtcpFd = -1;
  int rtpPort = 0;
  int cseq = 0;
  std::string session, control, nonce, realm;
  bool authTried = false;
  std::vector<uint8_t> in;  // RTSP (and interleaved) bytes not parsed yet
  size_t inLen = 0;
  int64_t lastKeepalive = 0;
  std::string failReason;
  // RTP
  bool haveSeq = false;
  uint16_t lastSeq = 0;
  int64_t cycles = 0;
  uint32_t unitTs = 0;  // RTP timestamp of the last packet, for the latency records
  bool haveUnit = false;
  Counters c;
  Counters atStart, atEnd;
};

struct UnitRec {
  int64_t first = 0, last = 0;
  uint32_t pkts0 = 0, nals0 = 0;
  uint64_t nalBytes0 = 0;
  uint32_t pktsAll = 0;
  bool marker = false;
  // The latest of the clients' first packets, and the earliest and latest
  // arrival of the packet with the marker bit: how long each burst of the
  // unit took to reach every client.
  int64_t firstAtLast = 0, markerFirst = 0, markerLast = 0;
};

struct Bench {
  Options o;
  int ep = -1;
  std::vector<Client> cl;
  bool windowOpen = false;
  bool recordUnits = false;
  int firstPlaying = -1;  // client whose NAL units are counted for the latency records
  std::unordered_map<uint32_t, UnitRec> units;
  std::vector<uint32_t> unitOrder;
  int nextPort;
};

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

void setNonBlock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void setRcvbuf(int fd, int bytes) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

uint64_t key(int idx, int kind) { return (uint64_t(idx) << 2) | uint64_t(kind); }

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

bool bindUdpPair(Bench& b, Client& c) {
  for (int tries = 0; tries < 2000; ++tries) {
    int p = b.nextPort;
    b.nextPort += 2;
    if (b.nextPort > 65000) b.nextPort = b.o.basePort;
    int fds[2] = {socket(AF_INET, SOCK_DGRAM, 0), socket(AF_INET, SOCK_DGRAM, 0)};
    bool ok = fds[0] >= 0 && fds[1] >= 0;
    for (int i = 0; i < 2 && ok; ++i) {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(uint16_t(p + i));
      ok = bind(fds[i], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
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

void startClient(Bench& b, Client& c) {
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (c.fd < 0) {
    fail(b, c, std::string("socket: ") + std::strerror(errno));
    return;
  }
  if (c.tcp) setRcvbuf(c.fd, b.o.rcvbuf);
  c.in.resize(c.tcp ? 256 * 1024 : 32 * 1024);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(b.o.port));
  inet_pton(AF_INET, b.o.host.c_str(), &a.sin_addr);
  int r = connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
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

void onRtp(Bench& b, Client& c, uint8_t const* p, size_t len, int64_t arrivalNs);

// Stops or resumes reading a playing client's stream (its RTSP connection, and
// the RTP socket over UDP).
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

// Parses RTSP responses and '$'-framed interleaved packets in the input buffer.
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

void countNals(UnitRec& u, uint8_t const* pl, size_t len) {
  if (len < 1) return;
  int type = pl[0] & 0x1f;
  if (type >= 1 && type <= 23) {
    u.nals0++;
    u.nalBytes0 += len;
  } else if (type == 24) {  // STAP-A
    size_t o = 1;
    while (o + 2 <= len) {
      size_t n = (size_t(pl[o]) << 8) | pl[o + 1];
      o += 2;
      if (o + n > len) break;
      u.nals0++;
      u.nalBytes0 += n;
      o += n;
    }
  } else if (type == 28 && len >= 2) {  // FU-A
    if (pl[1] & 0x80) {
      u.nals0++;
      u.nalBytes0 += 1;
    }
    u.nalBytes0 += len - 2;
  }
}

void onRtp(Bench& b, Client& c, uint8_t const* p, size_t len, int64_t arrivalNs) {
  if (len < 12 || (p[0] >> 6) != 2) return;
  uint16_t seq = uint16_t((p[2] << 8) | p[3]);
  if (!c.haveSeq) {
    c.haveSeq = true;
    c.c.maxExt = seq;
    c.lastSeq = seq;
  } else {
    int16_t d = int16_t(seq - c.lastSeq);
    if (d > 0) {
      if (seq < c.lastSeq) c.cycles += 65536;
      int64_t ext = c.cycles + seq;
      if (d > 1) {
        c.c.gaps++;
        c.c.missing += uint64_t(d - 1);
      }
      c.c.maxExt = std::max(c.c.maxExt, ext);
      c.lastSeq = seq;
    }
  }
  if (c.c.packets == 0) c.lastSeq = seq;
  c.c.packets++;
  c.c.bytes += len;
  if (!b.recordUnits || !b.windowOpen) return;
  size_t hl = 12 + 4 * size_t(p[0] & 0x0f);
  if (p[0] & 0x10) {  // header extension
    if (len < hl + 4) return;
    hl += 4 + 4 * ((size_t(p[hl + 2]) << 8) | p[hl + 3]);
  }
  if (len < hl) return;
  size_t plen = len - hl;
  if (p[0] & 0x20) plen -= std::min<size_t>(plen, p[len - 1]);
  uint32_t ts = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
  auto it = b.units.find(ts);
  if (it == b.units.end()) {
    it = b.units.emplace(ts, UnitRec{}).first;
    it->second.first = arrivalNs;
    b.unitOrder.push_back(ts);
  }
  UnitRec& u = it->second;
  u.first = std::min(u.first, arrivalNs);
  u.last = std::max(u.last, arrivalNs);
  u.pktsAll++;
  if (!c.haveUnit || c.unitTs != ts) u.firstAtLast = std::max(u.firstAtLast, arrivalNs);
  c.haveUnit = true;
  c.unitTs = ts;
  if (p[1] & 0x80) {
    u.markerFirst = u.markerFirst == 0 ? arrivalNs : std::min(u.markerFirst, arrivalNs);
    u.markerLast = std::max(u.markerLast, arrivalNs);
  }
  if (c.idx == b.firstPlaying) {
    u.pkts0++;
    if (p[1] & 0x80) u.marker = true;
    countNals(u, p + hl, plen);
  }
}

void readTcp(Bench& b, Client& c, int64_t now) {
  for (int rounds = 0; rounds < 8 && c.state != State::Failed; ++rounds) {
    if (c.inLen == c.in.size()) {
      fail(b, c, "input buffer full");
      return;
    }
    ssize_t n = recv(c.fd, c.in.data() + c.inLen, c.in.size() - c.inLen, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      fail(b, c, std::string("recv: ") + std::strerror(errno));
      return;
    }
    if (n == 0) {
      fail(b, c, "server closed the connection");
      return;
    }
    c.inLen += size_t(n);
    int64_t arrival = b.recordUnits ? nowNs(CLOCK_REALTIME) : 0;
    drainInput(b, c, now, arrival);
  }
}

constexpr int kBatch = 32;
constexpr int kPktSize = 2048;

struct RecvBatch {
  uint8_t data[kBatch][kPktSize];
  char ctrl[kBatch][64];
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
};

void readUdp(Bench& b, Client& c, int fd, bool rtp, RecvBatch& rb) {
  for (int rounds = 0; rounds < 16; ++rounds) {
    for (int i = 0; i < kBatch; ++i) {
      rb.iov[i] = {rb.data[i], kPktSize};
      std::memset(&rb.msgs[i].msg_hdr, 0, sizeof(msghdr));
      rb.msgs[i].msg_hdr.msg_iov = &rb.iov[i];
      rb.msgs[i].msg_hdr.msg_iovlen = 1;
      if (b.recordUnits) {
        rb.msgs[i].msg_hdr.msg_control = rb.ctrl[i];
        rb.msgs[i].msg_hdr.msg_controllen = sizeof rb.ctrl[i];
      }
    }
    int n = recvmmsg(fd, rb.msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    if (rtp) {
      int64_t fallback = b.recordUnits ? nowNs(CLOCK_REALTIME) : 0;
      for (int i = 0; i < n; ++i) {
        int64_t arrival = fallback;
        if (b.recordUnits) {
          for (cmsghdr* cm = CMSG_FIRSTHDR(&rb.msgs[i].msg_hdr); cm; cm = CMSG_NXTHDR(&rb.msgs[i].msg_hdr, cm))
            if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
              timespec ts;
              std::memcpy(&ts, CMSG_DATA(cm), sizeof ts);
              arrival = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        onRtp(b, c, rb.data[i], rb.msgs[i].msg_len, arrival);
      }
    }
    if (n < kBatch) return;
  }
}

// ---------------------------------------------------------------- idle connections and the probe

sockaddr_in serverAddress(Options const& o) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(o.port));
  inet_pton(AF_INET, o.host.c_str(), &a.sin_addr);
  return a;
}

// Opens 'n' connections, 16 at a time, and sends an OPTIONS on each; those
// answered 200 are kept (returned), the others closed.
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

// One OPTIONS round trip on a blocking connection, in nanoseconds (-1 on failure).
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

double percentileMs(std::vector<int64_t> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return double(v[std::min(v.size() - 1, size_t(q * double(v.size())))]) / 1e6;
}

struct ProcSample {
  double cpuSec = 0;
  unsigned long long runNs = 0;
  long rssKb = 0, hwmKb = 0;
  int threads = 0;
  uint64_t allocs = 0, frees = 0, allocBytes = 0;
  bool ok = false;
};

ProcSample sampleProc(Options const& o) {
  ProcSample s;
  if (o.pid <= 0) return s;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", int(o.pid));
  FILE* f = std::fopen(path, "r");
  if (!f) return s;
  char buf[4096];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // Fields after the command name, which ends at the last ')'.
  char* q = std::strrchr(buf, ')');
  if (!q) return s;
  unsigned long long utime = 0, stime = 0;
  // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  if (std::sscanf(q + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return s;
  s.cpuSec = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  // The scheduler's run time of every thread, in nanoseconds: far finer than clock ticks.
  std::snprintf(path, sizeof path, "/proc/%d/task", int(o.pid));
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char sp[352];
      std::snprintf(sp, sizeof sp, "/proc/%d/task/%s/schedstat", int(o.pid), e->d_name);
      if (FILE* sf = std::fopen(sp, "r")) {
        unsigned long long run = 0;
        if (std::fscanf(sf, "%llu", &run) == 1) s.runNs += run;
        std::fclose(sf);
      }
    }
    closedir(d);
  }
  std::snprintf(path, sizeof path, "/proc/%d/status", int(o.pid));
  f = std::fopen(path, "r");
  if (f) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (!std::strncmp(line, "VmRSS:", 6)) s.rssKb = std::atol(line + 6);
      if (!std::strncmp(line, "VmHWM:", 6)) s.hwmKb = std::atol(line + 6);
      if (!std::strncmp(line, "Threads:", 8)) s.threads = std::atoi(line + 8);
    }
    std::fclose(f);
  }
  if (!o.allocFile.empty()) {
    f = std::fopen(o.allocFile.c_str(), "rb");
    if (f) {
      uint64_t v[4] = {0, 0, 0, 0};
      if (std::fread(v, sizeof(uint64_t), 4, f) == 4 && v[0] == 0x6f73747261616c63ull) {
        s.allocs = v[1];
        s.frees = v[2];
        s.allocBytes = v[3];
      }
      std::fclose(f);
    }
  }
  s.ok = true;
  return s;
}

bool parseUrl(Options& o, std::string const& url) {
  if (url.compare(0, 7, "rtsp://") != 0) return false;
  std::string rest = url.substr(7);
  size_t slash = rest.find('/');
  std::string hostport = rest.substr(0, slash);
  o.path = slash == std::string::npos ? "/" : rest.substr(slash);
  size_t at = hostport.rfind('@');
  if (at != std::string::npos) {
    std::string cred = hostport.substr(0, at);
    hostport = hostport.substr(at + 1);
    size_t colon = cred.find(':');
    o.user = cred.substr(0, colon);
    o.pass = colon == std::string::npos ? "" : cred.substr(colon + 1);
  }
  size_t colon = hostport.find(':');
  o.host = hostport.substr(0, colon);
  o.port = colon == std::string::npos ? 554 : std::atoi(hostport.c_str() + colon + 1);
  o.url = "rtsp://" + hostport + o.path;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Bench b;
  Options& o = b.o;
  std::string url;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto val = [&]() -> char const* {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--clients")
      o.clients = std::atoi(val());
    else if (a == "--tcp")
      o.tcp = true;
    else if (a == "--udp")
      o.tcp = false;
    else if (a == "--warmup")
      o.warmup = std::atof(val());
    else if (a == "--duration")
      o.duration = std::atof(val());
    else if (a == "--setup-timeout")
      o.setupTimeout = std::atof(val());
    else if (a == "--concurrency")
      o.concurrency = std::max(1, std::atoi(val()));
    else if (a == "--keepalive")
      o.keepaliveSec = std::atoi(val());
    else if (a == "--rcvbuf")
      o.rcvbuf = std::atoi(val());
    else if (a == "--base-port")
      o.basePort = std::atoi(val());
    else if (a == "--idle")
      o.idle = std::max(0, std::atoi(val()));
    else if (a == "--pid")
      o.pid = pid_t(std::atoi(val()));
    else if (a == "--alloc-file")
      o.allocFile = val();
    else if (a == "--units-out")
      o.unitsOut = val();
    else if (a == "--label")
      o.label = val();
    else if (a == "--late")
      o.late = true;
    else if (a == "--idle-clients")
      o.idleClients = std::max(0, std::atoi(val()));
    else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (a.compare(0, 7, "rtsp://") == 0)
      url = a;
    else {
      usage();
      return 2;
    }
  }
  if (url.empty() || !parseUrl(o, url) || o.clients < 1) {
    usage();
    return 2;
  }
  // Three descriptors per UDP client, one per TCP client, plus headroom.
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  int const total = o.clients + o.idleClients;
  rlim_t want = rlim_t(total) * 3 + rlim_t(o.idle) + 64;
  if (rl.rlim_cur < want) {
    rl.rlim_cur = std::min(want, rl.rlim_max);
    if (rl.rlim_max < want && geteuid() == 0) rl.rlim_max = rl.rlim_cur = want;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  b.ep = epoll_create1(0);
  b.recordUnits = !o.unitsOut.empty();
  b.nextPort = o.basePort;
  b.cl.resize(size_t(total));
  for (int i = 0; i < total; ++i) {
    Client& c = b.cl[size_t(i)];
    c.idx = i;
    c.idle = i >= o.clients;
    c.tcp = o.tcp || c.idle;
  }

  std::vector<int> idleFds = openIdle(o, o.idle);
  int probeFd = -1, probeCseq = 0, probeFailures = 0;
  int64_t lastProbe = 0;
  std::vector<int64_t> rtts;

  auto recvBatch = std::make_unique<RecvBatch>();
  std::vector<epoll_event> evs(1024);
  const int64_t t0 = nowNs();
  int64_t allPlayingAt = 0, windowStart = 0, windowEnd = 0;
  ProcSample p0, p1;
  int started = 0;
  double setupSec = 0;

  while (!gStop) {
    int64_t now = nowNs();
    // Keep `concurrency` handshakes in flight until every client is started.
    int inFlight = 0, playing = 0, failed = 0;
    for (auto& c : b.cl) {
      if (c.state == State::Connecting || c.state == State::Describe || c.state == State::Setup ||
          c.state == State::Play)
        inFlight++;
      else if (c.state == State::Playing)
        playing++;
      else if (c.state == State::Failed)
        failed++;
    }
    while (started < total && inFlight < o.concurrency) {
      startClient(b, b.cl[size_t(started++)]);
      inFlight++;
    }
    if (!allPlayingAt && (playing + failed == total || now - t0 > int64_t(o.setupTimeout * 1e9))) {
      allPlayingAt = now;
      setupSec = double(now - t0) / 1e9;
      for (auto& c : b.cl)  // late readers: every handshake is done, now the streams
        if (c.paused && !c.idle && c.state == State::Playing) setReading(b, c, true);
    }
    if (allPlayingAt && !windowStart && now - allPlayingAt >= int64_t(o.warmup * 1e9)) {
      windowStart = now;
      for (auto& c : b.cl) c.atStart = c.c;
      p0 = sampleProc(o);
      b.windowOpen = true;
    }
    if (windowStart && now - windowStart >= int64_t(o.duration * 1e9)) {
      windowEnd = now;
      p1 = sampleProc(o);
      for (auto& c : b.cl) c.atEnd = c.c;
      b.windowOpen = false;
      break;
    }
    if (b.windowOpen && o.idle > 0 && now - lastProbe >= 100000000) {
      lastProbe = now;
      int64_t rtt = probeOnce(o, probeFd, ++probeCseq);
      if (rtt >= 0)
        rtts.push_back(rtt);
      else
        ++probeFailures;
    }
    // Keep-alives.
    if (o.keepaliveSec > 0)
      for (auto& c : b.cl)
        if (c.state == State::Playing && now - c.lastKeepalive > int64_t(o.keepaliveSec) * 1000000000) {
          c.lastKeepalive = now;
          sendRequest(b, c, "OPTIONS", o.url, "");
        }

    int n = epoll_wait(b.ep, evs.data(), int(evs.size()), 20);
    now = nowNs();
    for (int i = 0; i < n; ++i) {
      uint64_t k = evs[size_t(i)].data.u64;
      Client& c = b.cl[size_t(k >> 2)];
      int kind = int(k & 3);
      if (c.state == State::Failed) continue;
      if (kind == 0) {
        if (c.state == State::Connecting) {
          if (!(evs[size_t(i)].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) continue;
          int err = 0;
          socklen_t el = sizeof err;
          getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &el);
          if (err) {
            fail(b, c, std::string("connect: ") + std::strerror(err));
            continue;
          }
          epoll_event ev{};
          ev.events = EPOLLIN;
          ev.data.u64 = k;
          epoll_ctl(b.ep, EPOLL_CTL_MOD, c.fd, &ev);
          sendDescribe(b, c);
          continue;
        }
        readTcp(b, c, now);
      } else {
        readUdp(b, c, kind == 1 ? c.rtpFd : c.rtcpFd, kind == 1, *recvBatch);
      }
    }
  }

  // Tear down politely, then close everything.
  for (auto& c : b.cl)
    if (c.state == State::Playing && !c.idle) sendRequest(b, c, "TEARDOWN", o.url, "");
  int64_t tdEnd = nowNs() + 300000000;
  while (nowNs() < tdEnd) {
    int n = epoll_wait(b.ep, evs.data(), int(evs.size()), 20);
    for (int i = 0; i < n; ++i) {
      uint64_t k = evs[size_t(i)].data.u64;
      Client& c = b.cl[size_t(k >> 2)];
      if (c.state == State::Failed) continue;
      if ((k & 3) == 0)
        readTcp(b, c, nowNs());
      else
        readUdp(b, c, (k & 3) == 1 ? c.rtpFd : c.rtcpFd, false, *recvBatch);
    }
  }
  int playingAtEnd = 0;
  for (auto& c : b.cl)
    if (c.state == State::Playing && !c.idle) playingAtEnd++;

  // Results.
  double win = windowEnd > windowStart ? double(windowEnd - windowStart) / 1e9 : 0;
  uint64_t pk = 0, by = 0, lost = 0, expected = 0, gaps = 0;
  double lossMax = 0, lossSum = 0;
  int measured = 0, starved = 0, failed = 0;
  std::string firstFail;
  uint64_t gapsTotal = 0, missingTotal = 0;
  for (auto& c : b.cl) {
    if (c.idle) continue;
    if (c.state == State::Failed && c.atEnd.packets == 0) {
      failed++;
      if (firstFail.empty()) firstFail = c.failReason;
      continue;
    }
    uint64_t dp = c.atEnd.packets - c.atStart.packets;
    int64_t de = c.atEnd.maxExt - c.atStart.maxExt;
    if (dp == 0) {
      starved++;
      continue;
    }
    measured++;
    pk += dp;
    by += c.atEnd.bytes - c.atStart.bytes;
    gaps += c.atEnd.gaps - c.atStart.gaps;
    gapsTotal += c.atEnd.gaps;
    missingTotal += c.atEnd.missing;
    uint64_t exp = uint64_t(std::max<int64_t>(de, int64_t(dp)));
    expected += exp;
    uint64_t l = exp - dp;
    lost += l;
    double frac = exp ? double(l) / double(exp) : 0;
    lossSum += frac;
    lossMax = std::max(lossMax, frac);
  }
  // CPU of the server in the window: scheduler run time when available (ns), else clock ticks.
  double cpuTicks = (p0.ok && p1.ok) ? p1.cpuSec - p0.cpuSec : -1;
  double cpu = (p0.ok && p1.ok && p1.runNs > 0) ? double(p1.runNs - p0.runNs) / 1e9 : cpuTicks;
  std::printf(
      "{\"label\":\"%s\",\"transport\":\"%s\",\"clients\":%d,\"playing\":%d,\"measured\":%d,\"failed\":%d,"
      "\"starved\":%d,\"setup_s\":%.2f,\"window_s\":%.3f,\"packets\":%" PRIu64 ",\"bytes\":%" PRIu64
      ",\"pkts_per_s\":%.0f,\"bytes_per_s\":%.0f,\"mbit_per_s\":%.2f,\"lost\":%" PRIu64 ",\"expected\":%" PRIu64
      ",\"gaps\":%" PRIu64 ",\"gaps_total\":%" PRIu64 ",\"missing_total\":%" PRIu64
      ",\"idle_clients\":%d,\"late\":%s"
      ",\"loss_pct_avg\":%.4f,\"loss_pct_max\":%.4f,\"cpu_s\":%.4f,\"cpu_ticks_s\":%.2f,\"cpu_pct\":%.1f,"
      "\"cpu_us_per_pkt\":%.3f,\"rss_kb\":%ld,\"hwm_kb\":%ld,\"threads\":%d,\"allocs\":%" PRIu64
      ",\"allocs_per_s\":%.1f,\"alloc_bytes_per_s\":%.0f,\"idle_requested\":%d,\"idle_held\":%zu,"
      "\"rtt_n\":%zu,\"rtt_failed\":%d,\"rtt_p50_ms\":%.3f,\"rtt_p99_ms\":%.3f,\"rtt_max_ms\":%.3f,"
      "\"first_failure\":\"%s\"}\n",
      o.label.c_str(), o.tcp ? "tcp" : "udp", o.clients, playingAtEnd, measured, failed, starved, setupSec, win, pk, by,
      win > 0 ? double(pk) / win : 0, win > 0 ? double(by) / win : 0, win > 0 ? double(by) * 8 / win / 1e6 : 0, lost,
      expected, gaps, gapsTotal, missingTotal, o.idleClients, o.late ? "true" : "false",
      measured ? 100.0 * lossSum / measured : 0, 100.0 * lossMax, cpu, cpuTicks,
      (cpu >= 0 && win > 0) ? 100.0 * cpu / win : -1, (cpu >= 0 && pk) ? cpu * 1e6 / double(pk) : -1, p1.rssKb,
      p1.hwmKb, p1.threads, p1.allocs - p0.allocs, win > 0 ? double(p1.allocs - p0.allocs) / win : 0,
      win > 0 ? double(p1.allocBytes - p0.allocBytes) / win : 0, o.idle, idleFds.size(), rtts.size(), probeFailures,
      percentileMs(rtts, 0.5), percentileMs(rtts, 0.99), percentileMs(rtts, 1.0), firstFail.c_str());
  std::fflush(stdout);

  if (b.recordUnits) {
    FILE* f = std::fopen(o.unitsOut.c_str(), "w");
    if (f) {
      std::fprintf(f,
                   "# rtp_ts first_ns last_ns marker nals nal_bytes pkts_client0 pkts_all first_at_last_client_ns"
                   " marker_first_ns marker_last_ns\n");
      for (uint32_t ts : b.unitOrder) {
        UnitRec const& u = b.units[ts];
        std::fprintf(f, "%u %lld %lld %d %u %llu %u %u %lld %lld %lld\n", ts, (long long)u.first, (long long)u.last,
                     u.marker ? 1 : 0, u.nals0, (unsigned long long)u.nalBytes0, u.pkts0, u.pktsAll,
                     (long long)u.firstAtLast, (long long)u.markerFirst, (long long)u.markerLast);
      }
      std::fclose(f);
    }
  }
  for (auto& c : b.cl)
    for (int fd : {c.fd, c.rtpFd, c.rtcpFd})
      if (fd >= 0) close(fd);
  for (int fd : idleFds) close(fd);
  if (probeFd >= 0) close(probeFd);
  close(b.ep);
  return measured > 0 ? 0 : 1;
}
