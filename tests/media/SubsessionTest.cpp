// The stream subsessions inside the real library: SDP lines of each track,
// bit-rate rounding, track order, producer contact of the description, and
// the live source surviving a description built while the track streams.
#include <sys/socket.h>

#include <string>

#include "G711AudioServerMediaSubsession.hh"
#include "H264VideoServerMediaSubsession.hh"
#include "MPEG4VideoServerMediaSubsession.hh"
#include "MediaTestSupport.hh"
#include "OutPacketBuffer.hh"
#include "RTSPServer.hh"
#include "ServerMediaSession.hh"
#include "Startup.hh"

using daemontest::CaptureFd;
using daemontest::countOf;
using daemontest::FakeProducer;
using namespace mediatest;

namespace {

class SubsessionTest : public MediaInputTest {
protected:
  ServerMediaSession* makeSession() {
    session = ServerMediaSession::createNew(*env, "ch01", nullptr, "RTSP/RTP H.264 KVT", False, nullptr);
    return session;
  }
  void TearDown() override {
    if (server != nullptr) {
      Medium::close(server);  // closes the sessions it holds
    } else if (session != nullptr) {
      Medium::close(session);
    }
    MediaInputTest::TearDown();
  }
  std::string sdp() {
    char* text = session->generateSDPDescription();
    std::string s = text == nullptr ? std::string() : std::string(text);
    delete[] text;
    return s;
  }
  // Sends a request on a client socket and drives the loop until its answer
  // is complete; interleaved frames before it are counted.
  std::string request(int fd, std::string const& req, std::string& pending, int* frames = nullptr) {
    if (!req.empty()) ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string response;
    runUntil([&] {
      pump(fd, pending);
      response = takeResponse(pending, frames);
      return !response.empty();
    });
    return response;
  }
  static void pump(int fd, std::string& pending) {
    char buf[65536];
    ssize_t r;
    while ((r = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) pending.append(buf, static_cast<size_t>(r));
  }
  static std::string takeResponse(std::string& pending, int* frames) {
    for (;;) {
      if (pending.empty()) return std::string();
      if (pending[0] == '$') {
        if (pending.size() < 4) return std::string();
        size_t len = (static_cast<unsigned char>(pending[2]) << 8) | static_cast<unsigned char>(pending[3]);
        if (pending.size() < 4 + len) return std::string();
        if (frames != nullptr && pending[1] == 0) ++*frames;  // RTP channel
        pending.erase(0, 4 + len);
        continue;
      }
      size_t end = pending.find("\r\n\r\n");
      if (end == std::string::npos) return std::string();
      size_t body = 0;
      size_t cl = pending.find("Content-Length:");
      if (cl != std::string::npos && cl < end) body = strtoul(pending.c_str() + cl + 15, nullptr, 10);
      if (pending.size() < end + 4 + body) return std::string();
      std::string r = pending.substr(0, end + 4 + body);
      pending.erase(0, end + 4 + body);
      return r;
    }
  }

  ServerMediaSession* session = nullptr;
  RTSPServer* server = nullptr;
};

// The lines of one media section ("m=video" or "m=audio") up to the next one.
std::string section(std::string const& sdp, std::string const& media) {
  size_t start = sdp.find("m=" + media);
  if (start == std::string::npos) return std::string();
  size_t end = sdp.find("\r\nm=", start);
  return sdp.substr(start, end == std::string::npos ? std::string::npos : end + 2 - start);
}

TEST_F(SubsessionTest, H264TrackLinesAndOneProducerContact) {
  int ch = freeChannel();
  FakeProducer producer(static_cast<uint16_t>(kVideoBasePort + ch));
  makeHub(ch);
  makeSession();
  addSubsessions(hub, session, 5, 3000000, 0);
  ASSERT_EQ(session->numSubsessions(), 1u);
  std::string text = sdp();
  std::string video = section(text, "video");
  EXPECT_EQ(video.rfind("m=video 0 RTP/AVP 96\r\n", 0), 0u) << text;
  EXPECT_NE(video.find("\r\nb=AS:3000\r\n"), std::string::npos) << video;
  EXPECT_NE(video.find("\r\na=rtpmap:96 H264/90000\r\n"), std::string::npos) << video;
  EXPECT_NE(video.find("\r\na=control:track1\r\n"), std::string::npos) << video;
  EXPECT_EQ(video.find("a=fmtp"), std::string::npos) << video;
  EXPECT_NE(text.find("\r\ns=RTSP/RTP H.264 KVT\r\n"), std::string::npos) << text;

  // One connection, opened and closed again, nothing read.
  EXPECT_EQ(producer.acceptPending(1000), 1);
  EXPECT_TRUE(producer.peerClosed(0, 2000));
  EXPECT_FALSE(hub->hasVideoSource());
}

TEST_F(SubsessionTest, Mpeg4AndAudioTracksInOrder) {
  if (!isolated() && !daemontest::portFree(kAudioPort)) GTEST_SKIP() << "audio port 13132 is taken on this host";
  int ch = freeChannel();
  makeHub(ch);
  makeSession();
  addSubsessions(hub, session, 4, 3000000, 2);
  ASSERT_EQ(session->numSubsessions(), 2u);
  CaptureFd err(2);  // no producer: each description source reports its connect error
  std::string text = sdp();
  std::string errText = err.text();
  err.restore();
  EXPECT_EQ(countOf(errText, "RealMediaSource::mediaConnect connect() error!\n"), 2u) << errText;
  std::string video = section(text, "video");
  std::string audio = section(text, "audio");
  EXPECT_EQ(video.rfind("m=video 0 RTP/AVP 96\r\n", 0), 0u) << text;
  EXPECT_NE(video.find("\r\na=rtpmap:96 MP4V-ES/90000\r\n"), std::string::npos) << video;
  EXPECT_NE(video.find("\r\nb=AS:3000\r\n"), std::string::npos) << video;
  EXPECT_EQ(video.find("a=fmtp"), std::string::npos) << video;
  EXPECT_EQ(audio.rfind("m=audio 0 RTP/AVP 0\r\n", 0), 0u) << text;
  EXPECT_NE(audio.find("\r\nb=AS:64\r\n"), std::string::npos) << audio;
  EXPECT_EQ(audio.find("a=rtpmap"), std::string::npos) << audio;
  EXPECT_EQ(audio.find("a=fmtp"), std::string::npos) << audio;
  EXPECT_NE(audio.find("\r\na=control:track2\r\n"), std::string::npos) << audio;
  EXPECT_LT(text.find("m=video"), text.find("m=audio"));
  // The session name is the same in the MPEG-4 build.
  EXPECT_NE(text.find("\r\ns=RTSP/RTP H.264 KVT\r\n"), std::string::npos) << text;
}

TEST_F(SubsessionTest, AudioOnlyIsTrack1AtPayloadType0) {
  makeHub(freeChannel());
  makeSession();
  addSubsessions(hub, session, 7, 3000000, 2);  // no video for a codec other than 4 or 5
  ASSERT_EQ(session->numSubsessions(), 1u);
  CaptureFd err(2);
  std::string text = sdp();
  err.restore();
  EXPECT_EQ(text.find("m=video"), std::string::npos) << text;
  std::string audio = section(text, "audio");
  EXPECT_EQ(audio.rfind("m=audio 0 RTP/AVP 0\r\n", 0), 0u) << text;
  EXPECT_NE(audio.find("\r\na=control:track1\r\n"), std::string::npos) << audio;
}

TEST_F(SubsessionTest, NoTracksForOtherCodecWithoutAudio) {
  makeHub(freeChannel());
  makeSession();
  addSubsessions(hub, session, 3, 3000000, 0);
  EXPECT_EQ(session->numSubsessions(), 0u);
  addSubsessions(hub, session, 7, 3000000, 1);  // only mode 2 means G.711 (6 is the H.265 build's codec)
  EXPECT_EQ(session->numSubsessions(), 0u);
}

TEST_F(SubsessionTest, H265CodecGivesAnH265VideoTrack) {
  makeHub(freeChannel());
  makeSession();
  addSubsessions(hub, session, 6, 3000000, 0);
  ASSERT_EQ(session->numSubsessions(), 1u);
  EXPECT_TRUE(session->subsession(0)->sdpLinesReady()) << "no producer: nothing to wait for";
  char const* lines = session->subsession(0)->sdpLines();
  ASSERT_NE(lines, nullptr);
  EXPECT_NE(std::string(lines).find("b=AS:3000\r\na=rtpmap:96 H265/90000\r\na=control:track1"), std::string::npos)
      << lines;
}

TEST_F(SubsessionTest, BitrateRoundsToKilobits) {
  int ch = freeChannel();
  FakeProducer producer(static_cast<uint16_t>(kVideoBasePort + ch));
  makeHub(ch);
  makeSession();
  session->addSubsession(H264VideoServerMediaSubsession::createNew(*env, hub, 1499));
  session->addSubsession(MPEG4VideoServerMediaSubsession::createNew(*env, hub, 1500));
  std::string text = sdp();
  size_t second = text.find("m=video", text.find("m=video") + 1);
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_NE(text.substr(0, second).find("\r\nb=AS:1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.substr(second).find("\r\nb=AS:2\r\n"), std::string::npos) << text;
}

// Annex B access units for the fake producer: SPS, PPS, then one IDR slice.
std::string annexBUnit(unsigned char fill) {
  static unsigned char const sps[] = {0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8};
  static unsigned char const pps[] = {0, 0, 0, 1, 0x68, 0xce, 0x3c, 0x80};
  std::string s(reinterpret_cast<char const*>(sps), sizeof sps);
  s.append(reinterpret_cast<char const*>(pps), sizeof pps);
  s.append("\x00\x00\x00\x01\x65\x88\x84", 7);
  s.append(200, static_cast<char>(fill | 0x10));
  return s;
}

TEST_F(SubsessionTest, DescriptionWhileStreamingLeavesTheLiveSourceAlone) {
  ASSERT_TRUE(isolated()) << "needs root for a private network namespace";
  OutPacketBuffer::maxSize = 1000000;
  FakeProducer producer(kVideoBasePort);
  makeHub(0);
  makeSession();
  addSubsessions(hub, session, 5, 3000000, 0);
  server = RTSPServer::createNew(*env, Port(18554), nullptr, 65);
  ASSERT_NE(server, nullptr) << env->getResultMsg();
  server->addServerMediaSession(session);

  // A client sets up and plays before anybody asked for the description.
  int a = daemontest::connectLoopback(18554);
  ASSERT_GE(a, 0);
  std::string pendingA;
  std::string r = request(a,
                          "SETUP rtsp://127.0.0.1:18554/ch01/track1 RTSP/1.0\r\nCSeq: 1\r\n"
                          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
                          pendingA);
  ASSERT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;
  std::string sessionId = daemontest::headerValue(r, "Session");
  sessionId = sessionId.substr(0, sessionId.find(';'));
  ASSERT_EQ(producer.acceptPending(1000), 1);
  r = request(a, "PLAY rtsp://127.0.0.1:18554/ch01/ RTSP/1.0\r\nCSeq: 2\r\nSession: " + sessionId + "\r\n\r\n",
              pendingA);
  ASSERT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;

  int frames = 0;
  unsigned char n = 0;
  auto streamUntil = [&](int wanted) {
    return runUntil([&] {
      producer.send(0, annexBUnit(n).data(), annexBUnit(n).size());
      ++n;
      pump(a, pendingA);
      takeResponse(pendingA, &frames);
      return frames >= wanted;
    });
  };
  ASSERT_TRUE(streamUntil(10));

  // Now the first DESCRIBE: the description must not take the live source with it.
  CaptureFd err(2);
  int b = daemontest::connectLoopback(18554);
  std::string pendingB;
  r = request(b, "DESCRIBE rtsp://127.0.0.1:18554/ch01 RTSP/1.0\r\nCSeq: 1\r\n\r\n", pendingB);
  EXPECT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;
  EXPECT_NE(r.find("a=rtpmap:96 H264/90000"), std::string::npos) << r;
  // Its short-lived connection came and went; the stream's connection stays.
  EXPECT_EQ(producer.acceptPending(1000), 1);
  EXPECT_TRUE(producer.peerClosed(1, 2000));
  int before = frames;
  EXPECT_TRUE(streamUntil(before + 20)) << "streaming stopped after the description";
  // A later DESCRIBE does not touch the producer.
  r = request(b, "DESCRIBE rtsp://127.0.0.1:18554/ch01 RTSP/1.0\r\nCSeq: 2\r\n\r\n", pendingB);
  EXPECT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;
  EXPECT_EQ(producer.acceptPending(0), 0);
  std::string errText = err.text();
  err.restore();
  EXPECT_EQ(errText.find("readFromFile error"), std::string::npos) << errText;
  EXPECT_TRUE(hub->hasVideoSource());

  // When the last client leaves, the stream's source goes and its slot empties.
  r = request(a, "TEARDOWN rtsp://127.0.0.1:18554/ch01/ RTSP/1.0\r\nCSeq: 3\r\nSession: " + sessionId + "\r\n\r\n",
              pendingA);
  EXPECT_EQ(r.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << r;
  EXPECT_TRUE(runUntil([&] { return !hub->hasVideoSource(); }));
  EXPECT_TRUE(producer.peerClosed(0, 2000));
  close(a);
  close(b);
}

}  // namespace
