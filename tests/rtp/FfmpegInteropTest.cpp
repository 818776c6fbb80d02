// A real client: ffmpeg reads what our sinks send, through an SDP file, and
// decodes it without errors. RTCP goes along; the BYE at the end stops ffmpeg.

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>

#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "MPEG4ESVideoRTPSink.hh"
#include "MPEG4VideoStreamDiscreteFramer.hh"
#include "RTCP.hh"
#include "RtpTestSupport.hh"
#include "SimpleRTPSink.hh"
#include "uLawAudioFilter.hh"

extern char** environ;

using namespace rtptest;

namespace {

bool udpPortFree(uint16_t port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Whether some socket is bound to a UDP port, read from the kernel's socket
// table: probing with bind() would hold the port for a moment, and a client
// binding it just then fails with "Address already in use".
bool udpPortBound(uint16_t port) {
  for (char const* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;
      auto colon = local.rfind(':');
      if (colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port) return true;
    }
  }
  return false;
}

class FfmpegInteropTest : public LoopTest {
protected:
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    Medium::close(rtcp);
    Medium::close(sink);
    rtcpGs.reset();
    rtpGs.reset();
    LoopTest::TearDown();
  }

  // Starts ffmpeg on an SDP for 'media' (the m= line's tail and attributes)
  // and waits until it listens on the RTP port.
  void startFfmpeg(std::string const& mediaType, std::string const& attributes, std::string const& outputArgs) {
    for (uint16_t p = uint16_t(30000 + (getpid() % 2000) * 2);; p = uint16_t(p + 2)) {
      if (udpPortFree(p) && udpPortFree(uint16_t(p + 1))) {
        port = p;
        break;
      }
    }
    std::string dir = scratchDir();
    sdpPath = dir + "/stream" + std::to_string(port) + ".sdp";
    errPath = dir + "/ffmpeg" + std::to_string(port) + ".err";
    outPath = dir + "/ffmpeg" + std::to_string(port) + ".out";
    std::ofstream sdp(sdpPath);
    sdp << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=test\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        << "m=" << mediaType << " " << port << " " << attributes;
    sdp.close();
    std::string cmd = "exec ffmpeg -nostdin -v error -y -protocol_whitelist file,udp,rtp -i '" + sdpPath + "' " +
                      outputArgs + " '" + outPath + "' 2>'" + errPath + "'";
    char const* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    // Ready once its RTP socket is bound.
    ASSERT_TRUE(runUntil([&] { return udpPortBound(port); }, 15000)) << "ffmpeg did not open its port";
  }

  // Waits for ffmpeg to end after the BYE; returns its exit status.
  int waitFfmpeg() {
    int status = -1;
    bool done = runUntil(
        [&] {
          pid_t r = waitpid(pid, &status, WNOHANG);
          return r == pid;
        },
        20000);
    if (!done) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The groupsocks and RTCP of one stream to ffmpeg.
  void openStream(RTPSink* (*makeSink)(UsageEnvironment&, Groupsock*)) {
    rtpGs = std::make_unique<Groupsock>(*env, Port(0));
    rtcpGs = std::make_unique<Groupsock>(*env, Port(0));
    in_addr lo;
    lo.s_addr = htonl(INADDR_LOOPBACK);
    rtpGs->addDestination(lo, Port(port), 1);
    rtcpGs->addDestination(lo, Port(uint16_t(port + 1)), 1);
    sink = makeSink(*env, rtpGs.get());
    rtcp = RTCPInstance::createNew(*env, rtcpGs.get(), 500, reinterpret_cast<unsigned char const*>("ostra-test"), sink);
  }
  void play(FramedSource* source) {
    ended = false;
    rtcp->sendReport();
    ASSERT_TRUE(sink->startPlaying(
        *source, [](void* cd) { *static_cast<bool*>(cd) = true; }, &ended));
    ASSERT_TRUE(runUntil([&] { return ended; }, 20000));
    Medium::close(rtcp);  // BYE: ffmpeg's input ends
    rtcp = nullptr;
    fmtpSeen = sink->auxSDPLine() != nullptr ? sink->auxSDPLine() : "";
    Medium::close(sink);
    sink = nullptr;
    Medium::close(source);
  }
  std::string errors() {
    std::ifstream f(errPath);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  unsigned framecrcLines() {
    std::ifstream f(outPath);
    std::string line;
    unsigned n = 0;
    while (std::getline(f, line)) {
      if (!line.empty() && line[0] != '#') ++n;
    }
    return n;
  }

  pid_t pid = -1;
  uint16_t port = 0;
  std::string sdpPath, errPath, outPath;
  std::unique_ptr<Groupsock> rtpGs, rtcpGs;
  RTPSink* sink = nullptr;
  RTCPInstance* rtcp = nullptr;
  bool ended = false;
  std::string fmtpSeen;
};

timeval nowPlus(int64_t us) {
  timeval t;
  gettimeofday(&t, nullptr);
  int64_t v = int64_t(t.tv_sec) * 1000000 + t.tv_usec + us;
  return tv(long(v / 1000000), long(v % 1000000));
}

TEST_F(FfmpegInteropTest, PcmuToneDecodesCleanly) {
  startFfmpeg("audio", "RTP/AVP 0\r\n", "-f s16le");
  openStream([](UsageEnvironment& e, Groupsock* g) -> RTPSink* {
    return SimpleRTPSink::createNew(e, g, 0, 8000, "audio", "PCMU", 1, True, True);
  });
  // 2.1 s of a 440 Hz tone, 20 ms per delivery, host byte order: 15 full
  // packets, so the last one leaves a packet's duration before the BYE.
  std::vector<int16_t> tone(16800);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * std::sin(2 * M_PI * 440 * double(i) / 8000));
  ChunkSource* pcm = ChunkSource::createNew(*env);
  for (size_t k = 0; k < tone.size() / 160; ++k) {
    std::vector<uint8_t> bytes(320);
    std::memcpy(bytes.data(), &tone[k * 160], 320);
    pcm->add(bytes, nowPlus(int64_t(k) * 20000), 20000);
  }
  play(uLawFromPCMAudioSource::createNew(*env, pcm, 0));
  EXPECT_EQ(waitFfmpeg(), 0);
  EXPECT_EQ(errors(), "");
  std::vector<uint8_t> out = readFile(outPath);
  ASSERT_EQ(out.size(), tone.size() * 2) << "every sample arrived and decoded";
  int maxErr = 0;
  for (size_t i = 0; i < tone.size(); ++i) {
    int16_t s;
    std::memcpy(&s, &out[2 * i], 2);
    maxErr = std::max(maxErr, std::abs(int(s) - int(tone[i])));
  }
  EXPECT_LE(maxErr, 300) << "the tone survives u-law coding";
}

TEST_F(FfmpegInteropTest, H264DecodesCleanly) {
  std::vector<uint8_t> stream = generatedVideo("h264", 2);
  ASSERT_FALSE(stream.empty());
  startFfmpeg("video", "RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\n",
              "-fps_mode passthrough -f framecrc");
  openStream([](UsageEnvironment& e, Groupsock* g) -> RTPSink* { return H264VideoRTPSink::createNew(e, g, 96); });
  ChunkSource* input = ChunkSource::createNew(*env);
  addInChunks(input, stream, 8192);
  play(H264VideoStreamFramer::createNew(*env, input, False, True));
  EXPECT_EQ(waitFfmpeg(), 0);
  EXPECT_EQ(errors(), "");
  EXPECT_EQ(framecrcLines(), 50u) << "every picture decoded";
}

TEST_F(FfmpegInteropTest, Mpeg4DecodesCleanly) {
  std::vector<uint8_t> data = generatedVideo("m4v", 2);
  ASSERT_FALSE(data.empty());
  size_t firstVop = 0;
  while (firstVop + 3 < data.size() &&
         !(data[firstVop] == 0 && data[firstVop + 1] == 0 && data[firstVop + 2] == 1 && data[firstVop + 3] == 0xB6)) {
    ++firstVop;
  }
  std::string hex;
  for (size_t i = 0; i < firstVop; ++i) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", data[i]);
    hex += b;
  }
  startFfmpeg("video",
              "RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 profile-level-id=" + std::to_string(data[4]) +
                  ";config=" + hex + "\r\n",
              "-fps_mode passthrough -f framecrc");
  openStream(
      [](UsageEnvironment& e, Groupsock* g) -> RTPSink* { return MPEG4ESVideoRTPSink::createNew(e, g, 96, 90000); });
  // One frame per read, as the producer's MPEG-4 stream is read.
  ChunkSource* input = ChunkSource::createNew(*env);
  std::vector<size_t> starts{0};
  for (size_t i = firstVop + 4; i + 3 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6) starts.push_back(i);
  }
  starts.push_back(data.size());
  for (size_t k = 0; k + 1 < starts.size(); ++k) {
    input->add(std::vector<uint8_t>(data.begin() + starts[k], data.begin() + starts[k + 1]), nowPlus(0), 40000);
  }
  MPEG4VideoStreamDiscreteFramer* framer = MPEG4VideoStreamDiscreteFramer::createNew(*env, input, False);
  EXPECT_EQ(sink->auxSDPLine(), nullptr);
  play(framer);
  EXPECT_EQ(fmtpSeen, "a=fmtp:96 profile-level-id=" + std::to_string(data[4]) + ";config=" + hex + "\r\n");
  EXPECT_EQ(waitFfmpeg(), 0);
  EXPECT_EQ(errors(), "");
  EXPECT_EQ(framecrcLines(), 50u) << "every picture decoded";
}

}  // namespace
