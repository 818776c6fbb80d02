// Helpers for the RTSP server tests: an event loop driven until a condition
// holds, a raw RTSP client on a non-blocking loopback socket, UDP receivers,
// a generated u-law tone source and a test subsession over it.
#ifndef OSTRA_TESTS_RTSP_SUPPORT_HH
#define OSTRA_TESTS_RTSP_SUPPORT_HH

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BasicUsageEnvironment.hh"
#include "GroupsockHelper.hh"
#include "liveMedia.hh"

namespace rtsptest {

// The loop, the environment and (optionally) a server on a loopback port.
struct Loop {
  BasicTaskScheduler* scheduler;
  UsageEnvironment* env;

  Loop() {
    scheduler = BasicTaskScheduler::createNew(10000);
    env = BasicUsageEnvironment::createNew(*scheduler);
  }
  ~Loop() {
    env->reclaim();
    delete scheduler;
  }
  // Steps the event loop until 'cond' holds or 'timeoutMs' have passed.
  bool runUntil(std::function<bool()> const& cond, int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      scheduler->SingleStep(2000);
    }
    return true;
  }
  // Steps the loop for about 'ms' milliseconds (for "nothing happens" checks).
  void runFor(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) scheduler->SingleStep(2000);
  }
};

// Counts of tone sources, to see streams created and ended.
struct ToneCounters {
  int created = 0;
  int alive = 0;
};

// 20 ms frames of a 1 kHz u-law tone, delivered from the event loop. With
// 'framesBeforeEnd' > 0 the source ends after that many frames. With a
// 'frameDuration' of 0 the sink sends as fast as the loop runs.
class ToneSource : public FramedSource {
public:
  ToneSource(UsageEnvironment& env, ToneCounters& counters, int framesBeforeEnd, unsigned frameDuration = 20000)
      : FramedSource(env), fCounters(counters), fFramesLeft(framesBeforeEnd), fFrameDuration(frameDuration) {
    ++fCounters.created;
    ++fCounters.alive;
    gettimeofday(&fNext, nullptr);
  }
  ~ToneSource() override {
    envir().taskScheduler().unscheduleDelayedTask(fTask);
    --fCounters.alive;
  }
  void doGetNextFrame() override { fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this); }
  void doStopGettingFrames() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }

private:
  static void deliver(void* clientData) {
    auto* self = static_cast<ToneSource*>(clientData);
    self->fTask = nullptr;
    if (self->fFramesLeft == 0) {
      self->handleClosure();
      return;
    }
    if (self->fFramesLeft > 0) --self->fFramesLeft;
    unsigned n = self->fMaxSize < 160 ? self->fMaxSize : 160;
    for (unsigned i = 0; i < n; ++i) {
      self->fTo[i] = static_cast<unsigned char>(0x80 ^ ((self->fPhase++ % 8) < 4 ? 0x10 : 0x20));
    }
    self->fFrameSize = n;
    self->fNumTruncatedBytes = 0;
    self->fPresentationTime = self->fNext;
    self->fDurationInMicroseconds = self->fFrameDuration;
    self->fNext.tv_usec += 20000;
    if (self->fNext.tv_usec >= 1000000) {
      self->fNext.tv_usec -= 1000000;
      ++self->fNext.tv_sec;
    }
    FramedSource::afterGetting(self);
  }

  ToneCounters& fCounters;
  int fFramesLeft;
  unsigned fFrameDuration;
  unsigned fPhase = 0;
  struct timeval fNext;
  TaskScheduler::TaskToken fTask = nullptr;
};

// A PCMU track (payload type 0, 8000 Hz, 64 kbps) over a tone source, shared by all clients.
class ToneSubsession : public OnDemandServerMediaSubsession {
public:
  static ToneSubsession* createNew(UsageEnvironment& env, ToneCounters& counters, int framesBeforeEnd = -1,
                                   portNumBits initialPort = 6970) {
    return new ToneSubsession(env, counters, framesBeforeEnd, initialPort);
  }
  int framesBeforeEnd;
  unsigned frameDuration = 20000;  // microseconds per frame

protected:
  ToneSubsession(UsageEnvironment& env, ToneCounters& counters, int frames, portNumBits initialPort)
      : OnDemandServerMediaSubsession(env, True, initialPort), framesBeforeEnd(frames), fCounters(counters) {}
  FramedSource* createNewStreamSource(unsigned /*clientSessionId*/, unsigned& estBitrate) override {
    estBitrate = 64;
    return new ToneSource(envir(), fCounters, framesBeforeEnd, frameDuration);
  }
  RTPSink* createNewRTPSink(Groupsock* gs, unsigned char /*pt*/, FramedSource* /*source*/) override {
    return SimpleRTPSink::createNew(envir(), gs, 0, 8000, "audio", "PCMU", 1, True, True);
  }

private:
  ToneCounters& fCounters;
};

// A raw RTSP client on a non-blocking socket; the server runs in the same
// thread, so every wait steps the loop. 'fromAddress' (another loopback
// address, e.g. "127.0.0.2") makes it a client on another host; 'toAddress'
// is the server's address the client uses ("::1": a client over IPv6).
class RawClient {
public:
  RawClient(Loop& loop, unsigned short port, char const* fromAddress = nullptr, char const* toAddress = "127.0.0.1")
      : fLoop(loop) {
    NetAddress const to = NetAddress::fromText(toAddress);
    fSock = socket(to.family(), SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_storage addr;
    if (fromAddress != nullptr) {
      socklen_t const len = NetAddress::fromText(fromAddress).toSockaddr(Port(0), to.family(), addr);
      EXPECT_EQ(bind(fSock, reinterpret_cast<struct sockaddr*>(&addr), len), 0) << fromAddress;
    }
    socklen_t const len = to.toSockaddr(Port(port), to.family(), addr);
    connect(fSock, reinterpret_cast<struct sockaddr*>(&addr), len);  // EINPROGRESS is fine
  }
  ~RawClient() { closeSocket(); }
  RawClient(RawClient const&) = delete;
  RawClient& operator=(RawClient const&) = delete;

  void closeSocket() {
    if (fSock >= 0) ::close(fSock);
    fSock = -1;
  }
  int socketNum() const { return fSock; }

  // Sends everything, stepping the loop while the socket is full.
  bool sendText(std::string const& text) { return sendBytes(text.data(), text.size()); }
  bool sendBytes(void const* data, size_t size) {
    auto const* p = static_cast<char const*>(data);
    size_t done = 0;
    bool ok = fLoop.runUntil(
        [&] {
          ssize_t n = ::send(fSock, p + done, size - done, MSG_NOSIGNAL);
          if (n > 0) done += static_cast<size_t>(n);
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) return true;  // failed
          return done == size;
        },
        10000);
    return ok && done == size;
  }

  // Reads what is there; false once the peer has closed.
  bool pump() {
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(fSock, buf, sizeof buf, 0);
      if (n > 0) {
        fIn.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) fPeerClosed = true;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) fPeerClosed = true;
      return !fPeerClosed;
    }
  }

  // Takes interleaved frames off the front of the input into 'frames'.
  void takeFrames() {
    while (fIn.size() >= 4 && fIn[0] == '$') {
      size_t len = (static_cast<unsigned char>(fIn[2]) << 8) | static_cast<unsigned char>(fIn[3]);
      if (fIn.size() < 4 + len) return;
      frames.push_back({static_cast<unsigned char>(fIn[1]), fIn.substr(4, len)});
      fIn.erase(0, 4 + len);
    }
  }

  // One complete response (headers and Content-Length body), or "" on timeout or close.
  std::string response(int timeoutMs = 5000) {
    std::string result;
    fLoop.runUntil(
        [&] {
          pump();
          takeFrames();
          if (!fIn.empty() && fIn[0] == '$') return fPeerClosed;
          size_t end = fIn.find("\r\n\r\n");
          if (end == std::string::npos) return fPeerClosed;
          size_t total = end + 4;
          std::smatch m;
          std::string head = fIn.substr(0, end + 2);
          static std::regex const cl("Content-Length: *([0-9]+)\r\n", std::regex::icase);
          if (std::regex_search(head, m, cl)) total += std::stoul(m[1]);
          if (fIn.size() < total) return fPeerClosed;
          result = fIn.substr(0, total);
          fIn.erase(0, total);
          return true;
        },
        timeoutMs);
    return result;
  }

  std::string request(std::string const& text, int timeoutMs = 5000) {
    if (!sendText(text)) return std::string();
    return response(timeoutMs);
  }

  // True when the server closed the connection within the time.
  bool waitClosed(int timeoutMs = 5000) {
    return fLoop.runUntil(
        [&] {
          pump();
          return fPeerClosed;
        },
        timeoutMs);
  }
  bool peerClosed() const { return fPeerClosed; }
  std::string const& pendingInput() const { return fIn; }

  struct Frame {
    unsigned char channel;
    std::string data;
  };
  std::vector<Frame> frames;

private:
  Loop& fLoop;
  int fSock = -1;
  std::string fIn;
  bool fPeerClosed = false;
};

// A UDP socket on a loopback port for RTP or RTCP ('host': on that address
// of this host, e.g. "::1", and sending to the server there).
class UdpReceiver {
public:
  explicit UdpReceiver(char const* host = "127.0.0.1") : fHost(NetAddress::fromText(host)) {
    fSock = socket(fHost.family(), SOCK_DGRAM | SOCK_NONBLOCK, 0);
    struct sockaddr_storage addr;
    socklen_t len = fHost.toSockaddr(Port(0), fHost.family(), addr);
    bind(fSock, reinterpret_cast<struct sockaddr*>(&addr), len);
    len = sizeof addr;
    getsockname(fSock, reinterpret_cast<struct sockaddr*>(&addr), &len);
    Port bound;
    NetAddress::fromSockaddr(reinterpret_cast<struct sockaddr*>(&addr), len, &bound);
    fPort = bound.hostOrder();
  }
  // Binds to a given port (for an RTP/RTCP pair); port() is 0 on failure.
  explicit UdpReceiver(unsigned short port) : fHost(NetAddress::fromText("127.0.0.1")) {
    fSock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    fPort = bind(fSock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 ? port : 0;
  }
  ~UdpReceiver() { ::close(fSock); }
  UdpReceiver(UdpReceiver const&) = delete;
  UdpReceiver& operator=(UdpReceiver const&) = delete;

  unsigned short port() const { return fPort; }
  int socketNum() const { return fSock; }
  // Reads every datagram waiting.
  void pump() {
    unsigned char buf[2048];
    for (;;) {
      ssize_t n = ::recv(fSock, buf, sizeof buf, 0);
      if (n < 0) return;
      packets.emplace_back(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
  }
  void sendTo(unsigned short port, std::string const& data) {
    struct sockaddr_storage addr;
    socklen_t const len = fHost.toSockaddr(Port(port), fHost.family(), addr);
    ::sendto(fSock, data.data(), data.size(), 0, reinterpret_cast<struct sockaddr*>(&addr), len);
  }
  std::vector<std::string> packets;

private:
  NetAddress fHost;
  int fSock;
  unsigned short fPort = 0;
};

// Fields of an RTP packet.
inline unsigned rtpSeq(std::string const& p) {
  return (static_cast<unsigned char>(p[2]) << 8) | static_cast<unsigned char>(p[3]);
}
inline uint32_t rtpSSRC(std::string const& p) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(p[8])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(p[9])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(p[10])) << 8) | static_cast<unsigned char>(p[11]);
}
// True when the RTCP compound packet contains a packet of type 'pt'.
inline bool rtcpHasType(std::string const& p, unsigned pt) {
  size_t off = 0;
  while (off + 4 <= p.size()) {
    if (static_cast<unsigned char>(p[off + 1]) == pt) return true;
    size_t words = (static_cast<unsigned char>(p[off + 2]) << 8) | static_cast<unsigned char>(p[off + 3]);
    off += 4 * (words + 1);
  }
  return false;
}

// The response with its Date value replaced by "<date>" (after checking its form).
inline std::string normalizeDate(std::string const& response) {
  static std::regex const date(
      "Date: [A-Z][a-z]{2}, [A-Z][a-z]{2} [0-9]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT\r\n");
  return std::regex_replace(response, date, "Date: <date>\r\n");
}

// The value of header 'name' in a response ("" when absent).
inline std::string headerValue(std::string const& response, std::string const& name) {
  std::regex re("\r\n" + name + ": ([^\r]*)\r\n", std::regex::icase);
  std::smatch m;
  return std::regex_search(response, m, re) ? m[1].str() : std::string();
}

// The session id of a SETUP answer.
inline std::string sessionId(std::string const& response) {
  std::string v = headerValue(response, "Session");
  return v.substr(0, v.find(';'));
}

inline std::string serverIP(UsageEnvironment& env) { return AddressString(ourIPAddress(env)); }

}  // namespace rtsptest

#endif
