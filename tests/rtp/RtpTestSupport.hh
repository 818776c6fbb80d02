#ifndef OSTRA_TESTS_RTP_TEST_SUPPORT_HH
#define OSTRA_TESTS_RTP_TEST_SUPPORT_HH

// Helpers of the RTP tests: an event-loop fixture, a loopback UDP receiver, a
// connected TCP pair and an interleaved-frame reader, a framed source that
// delivers prepared chunks, and an RTP header decoder.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BasicUsageEnvironment.hh"
#include "FramedSource.hh"
#include "Groupsock.hh"
#include "Media.hh"

namespace rtptest {

inline int64_t monoMicros() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

class LoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    scheduler = BasicTaskScheduler::createNew(1000);
    env = BasicUsageEnvironment::createNew(*scheduler);
  }
  void TearDown() override {
    env->reclaim();
    delete scheduler;
  }
  // Runs the real event loop until 'done' holds or the deadline passes.
  bool runUntil(std::function<bool()> const& done, int timeoutMs = 5000) {
    int64_t end = monoMicros() + int64_t(timeoutMs) * 1000;
    while (!done()) {
      if (monoMicros() > end) return false;
      scheduler->SingleStep(1000);
    }
    return true;
  }
  // Runs the loop for a while (used only where the test expects nothing to happen).
  void runFor(int ms) {
    int64_t end = monoMicros() + int64_t(ms) * 1000;
    while (monoMicros() < end) scheduler->SingleStep(1000);
  }

  BasicTaskScheduler* scheduler = nullptr;
  BasicUsageEnvironment* env = nullptr;
};

// A UDP socket on 127.0.0.1 (or ::1 for AF_INET6) that records every datagram through the event loop.
class UdpReceiver {
public:
  explicit UdpReceiver(UsageEnvironment& env, int family = AF_INET) : fEnv(env), fFamily(family) {
    fSock = socket(family, SOCK_DGRAM, 0);
    sockaddr_storage a{};
    socklen_t len = address().toSockaddr(Port(0), family, a);
    bind(fSock, reinterpret_cast<sockaddr*>(&a), len);
    len = sizeof a;
    getsockname(fSock, reinterpret_cast<sockaddr*>(&a), &len);
    Port bound;
    NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&a), len, &bound);
    fPort = bound.hostOrder();
    int big = 4 << 20;
    setsockopt(fSock, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    env.taskScheduler().setBackgroundHandling(fSock, SOCKET_READABLE, onReadable, this);
  }
  ~UdpReceiver() {
    fEnv.taskScheduler().disableBackgroundHandling(fSock);
    close(fSock);
  }
  uint16_t port() const { return fPort; }
  int socketNum() const { return fSock; }
  in_addr loopback() const {
    in_addr a;
    a.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  NetAddress address() const { return fFamily == AF_INET6 ? NetAddress(in6addr_loopback) : NetAddress(loopback()); }
  std::vector<std::vector<uint8_t>> packets;
  std::vector<int64_t> arrivals;
  std::vector<sockaddr_in> senders;

private:
  static void onReadable(void* cd, int) {
    auto* self = static_cast<UdpReceiver*>(cd);
    uint8_t buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(self->fSock, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    self->packets.emplace_back(buf, buf + n);
    self->arrivals.push_back(monoMicros());
    self->senders.push_back(from);
  }
  UsageEnvironment& fEnv;
  int fFamily;
  int fSock;
  uint16_t fPort = 0;
};

// A sink under test sending to one UdpReceiver through the real loop. The
// test makes 'source' and 'sink'; both are closed after it.
template <class SinkT, class SourceT>
class SinkTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    receiver = std::make_unique<UdpReceiver>(*env);
    gs = std::make_unique<Groupsock>(*env, Port(0));
    ASSERT_GE(gs->socketNum(), 0);
    gs->addDestination(receiver->loopback(), Port(receiver->port()), 1);
  }
  void TearDown() override {
    Medium::close(sink);
    Medium::close(source);
    gs.reset();
    receiver.reset();
    LoopTest::TearDown();
  }
  // Give it '&ended' as client data.
  static void afterPlaying(void* endedFlag) { *static_cast<bool*>(endedFlag) = true; }

  std::unique_ptr<UdpReceiver> receiver;
  std::unique_ptr<Groupsock> gs;
  SourceT* source = nullptr;
  SinkT* sink = nullptr;
  bool ended = false;
};

// A connected pair of TCP sockets on loopback: [0] the server side, [1] the client.
struct TcpPair {
  int server = -1, client = -1;
  TcpPair() {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(l, 1);
    socklen_t len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    server = accept(l, nullptr, nullptr);
    close(l);
    fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
    fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
  }
  ~TcpPair() {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
  }
};

// Reassembles "$ channel length data" frames from whatever pieces TCP gives.
struct InterleavedReader {
  struct Frame {
    unsigned channel;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> pending;
  std::vector<Frame> frames;
  bool torn = false;  // a byte where a '$' had to be
  void feed(uint8_t const* p, size_t n) {
    pending.insert(pending.end(), p, p + n);
    size_t pos = 0;
    while (pending.size() - pos >= 4) {
      if (pending[pos] != '$') {
        torn = true;
        pos = pending.size();
        break;
      }
      size_t len = (size_t(pending[pos + 2]) << 8) | pending[pos + 3];
      if (pending.size() - pos < 4 + len) break;
      frames.push_back(
          Frame{pending[pos + 1], std::vector<uint8_t>(pending.begin() + pos + 4, pending.begin() + pos + 4 + len)});
      pos += 4 + len;
    }
    pending.erase(pending.begin(), pending.begin() + pos);
  }
  // Reads at most 'maxRead' bytes per recv (to split frames across reads).
  size_t drain(int sock, size_t maxRead = 65536) {
    uint8_t buf[65536];
    size_t total = 0;
    for (;;) {
      ssize_t n = recv(sock, buf, std::min(maxRead, sizeof buf), MSG_DONTWAIT);
      if (n <= 0) break;
      feed(buf, size_t(n));
      total += size_t(n);
    }
    return total;
  }
};

// Delivers prepared chunks, one per request, each from a zero-delay task (as
// a socket-driven source would, from the event loop). Closes after the last
// one when 'closeAtEnd'.
class ChunkSource : public FramedSource {
public:
  struct Chunk {
    std::vector<uint8_t> bytes;
    timeval pt;
    unsigned duration;
  };
  static ChunkSource* createNew(UsageEnvironment& env, bool closeAtEnd = true) {
    return new ChunkSource(env, closeAtEnd);
  }
  void add(std::vector<uint8_t> bytes, timeval pt = timeval{}, unsigned duration = 0) {
    chunks.push_back(Chunk{std::move(bytes), pt, duration});
    // A request that found nothing waits for the next chunk.
    if (isCurrentlyAwaitingData() && fTask == nullptr) {
      fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this);
    }
  }
  std::deque<Chunk> chunks;
  std::vector<unsigned> requestedSizes;
  unsigned delivered = 0;
  bool partialDelivery = false;  // deliver at most fMaxSize, keep the rest for the next request

protected:
  ChunkSource(UsageEnvironment& env, bool closeAtEnd) : FramedSource(env), fCloseAtEnd(closeAtEnd) {}
  ~ChunkSource() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }
  void doGetNextFrame() override {
    requestedSizes.push_back(fMaxSize);
    fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this);
  }
  void doStopGettingFrames() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }

private:
  static void deliver(void* cd) {
    auto* self = static_cast<ChunkSource*>(cd);
    self->fTask = nullptr;
    if (self->chunks.empty()) {
      if (self->fCloseAtEnd) self->handleClosure();
      return;  // otherwise: stall, as a live source with nothing to say
    }
    Chunk& c = self->chunks.front();
    unsigned n = static_cast<unsigned>(c.bytes.size());
    if (n > self->fMaxSize) {
      if (self->partialDelivery) {
        std::memcpy(self->fTo, c.bytes.data(), self->fMaxSize);
        c.bytes.erase(c.bytes.begin(), c.bytes.begin() + self->fMaxSize);
        self->fFrameSize = self->fMaxSize;
        self->fNumTruncatedBytes = 0;
        self->fPresentationTime = c.pt;
        self->fDurationInMicroseconds = 0;
        ++self->delivered;
        afterGetting(self);
        return;
      }
      self->fNumTruncatedBytes = n - self->fMaxSize;
      n = self->fMaxSize;
    } else {
      self->fNumTruncatedBytes = 0;
    }
    std::memcpy(self->fTo, c.bytes.data(), n);
    self->fFrameSize = n;
    self->fPresentationTime = c.pt;
    self->fDurationInMicroseconds = c.duration;
    self->chunks.pop_front();
    ++self->delivered;
    afterGetting(self);
  }
  bool fCloseAtEnd;
  TaskScheduler::TaskToken fTask = nullptr;
};

struct RtpHeader {
  unsigned version = 0;
  bool padding = false, extension = false, marker = false;
  unsigned csrcCount = 0;
  unsigned payloadType = 0;
  uint16_t seq = 0;
  uint32_t timestamp = 0, ssrc = 0;
  std::vector<uint8_t> payload;
};

inline bool parseRtp(std::vector<uint8_t> const& p, RtpHeader& h) {
  if (p.size() < 12) return false;
  h.version = p[0] >> 6;
  h.padding = (p[0] & 0x20) != 0;
  h.extension = (p[0] & 0x10) != 0;
  h.csrcCount = p[0] & 0x0F;
  h.marker = (p[1] & 0x80) != 0;
  h.payloadType = p[1] & 0x7F;
  h.seq = uint16_t((p[2] << 8) | p[3]);
  h.timestamp = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
  h.ssrc = (uint32_t(p[8]) << 24) | (uint32_t(p[9]) << 16) | (uint32_t(p[10]) << 8) | p[11];
  h.payload.assign(p.begin() + 12, p.end());
  return true;
}

inline uint32_t get32(uint8_t const* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline timeval tv(long sec, long usec) {
  timeval t;
  t.tv_sec = sec;
  t.tv_usec = usec;
  return t;
}

// Runs a shell command; returns its exit status.
inline int runCommand(std::string const& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A scratch directory for this test process (removed at exit).
inline std::string scratchDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/ostra-rtp-test.XXXXXX";
    char* d = mkdtemp(tmpl);
    std::string path = d != nullptr ? d : "/tmp";
    static std::string toRemove = path;
    std::atexit([] { runCommand("rm -rf '" + toRemove + "'"); });
    return path;
  }();
  return dir;
}

inline std::vector<uint8_t> readFile(std::string const& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

// 'seconds' of 320x240 test pattern at 25 fps, made by ffmpeg: "h264" (Annex B)
// or "m4v" (MPEG-4 part 2 elementary stream). Cached per process.
inline std::vector<uint8_t> generatedVideo(std::string const& kind, int seconds = 1) {
  std::string path = scratchDir() + "/video" + std::to_string(seconds) + "." + kind;
  std::vector<uint8_t> data = readFile(path);
  if (!data.empty()) return data;
  std::string codec = kind == "h264"   ? "-c:v libx264 -bsf:v h264_mp4toannexb -f h264"
                      : kind == "h265" ? "-c:v libx265 -x265-params log-level=error -f hevc"
                                       : "-c:v mpeg4 -f m4v";
  std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t " +
                    std::to_string(seconds) + " " + codec + " '" + path + "'";
  if (runCommand(cmd) != 0) return {};
  return readFile(path);
}

// NAL units of an Annex B stream, without start codes.
inline std::vector<std::vector<uint8_t>> splitAnnexB(std::vector<uint8_t> const& d) {
  std::vector<std::vector<uint8_t>> nals;
  std::vector<size_t> starts;
  for (size_t i = 0; i + 2 < d.size(); ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : d.size();
    while (end > starts[k] && d[end - 1] == 0) --end;  // trailing zeros belong to the next start code
    nals.emplace_back(d.begin() + starts[k], d.begin() + end);
  }
  return nals;
}

// Chunks of 'size' bytes.
inline void addInChunks(ChunkSource* src, std::vector<uint8_t> const& d, size_t size, timeval pt = timeval{}) {
  for (size_t i = 0; i < d.size(); i += size) {
    size_t n = std::min(size, d.size() - i);
    src->add(std::vector<uint8_t>(d.begin() + i, d.begin() + i + n), pt);
  }
}

}  // namespace rtptest

#endif
