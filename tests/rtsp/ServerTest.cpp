// The RTSP server over real loopback sockets and the real event loop: the
// exact answers, sessions and shared streams, reclamation, Digest.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "DigestAuthentication.hh"
#include "RtspTestSupport.hh"
#include "SystemRandom.hh"

using namespace rtsptest;

namespace {

std::string const kIdentity = LIVEMEDIA_LIBRARY_IDENTITY;
std::string const kPublic = "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";

// An H.264 track for descriptions (never played).
class VideoSdpSubsession : public OnDemandServerMediaSubsession {
public:
  VideoSdpSubsession(UsageEnvironment& env, ToneCounters& c) : OnDemandServerMediaSubsession(env, True), fC(c) {}

protected:
  FramedSource* createNewStreamSource(unsigned, unsigned& estBitrate) override {
    estBitrate = 3000;
    return new ToneSource(envir(), fC, -1);
  }
  RTPSink* createNewRTPSink(Groupsock* gs, unsigned char pt, FramedSource*) override {
    return H264VideoRTPSink::createNew(envir(), gs, pt);
  }
  ToneCounters& fC;
};

// A track whose description cannot be built.
class BrokenSubsession : public OnDemandServerMediaSubsession {
public:
  explicit BrokenSubsession(UsageEnvironment& env) : OnDemandServerMediaSubsession(env, True) {}

protected:
  FramedSource* createNewStreamSource(unsigned, unsigned&) override { return nullptr; }
  RTPSink* createNewRTPSink(Groupsock*, unsigned char, FramedSource*) override { return nullptr; }
};

// The output of a 32-bit Mersenne Twister (std::mt19937) that follows the 624
// outputs in 'seen': untempering each gives the generator's state, and one
// step of its recurrence gives the next output.
uint32_t predictNextMT19937(std::vector<uint32_t> const& seen) {
  auto untemper = [](uint32_t y) {
    y ^= y >> 18;
    y ^= (y << 15) & 0xefc60000u;
    uint32_t x = y;
    for (int i = 0; i < 5; ++i) x = y ^ ((x << 7) & 0x9d2c5680u);
    y = x;
    x = y;
    for (int i = 0; i < 3; ++i) x = y ^ (x >> 11);
    return x;
  };
  std::vector<uint32_t> state;
  for (size_t i = seen.size() - 624; i < seen.size(); ++i) state.push_back(untemper(seen[i]));
  uint32_t y = (state[0] & 0x80000000u) | (state[1] & 0x7fffffffu);
  uint32_t v = state[397] ^ (y >> 1) ^ ((y & 1u) ? 0x9908b0dfu : 0u);
  v ^= v >> 11;
  v ^= (v << 7) & 0x9d2c5680u;
  v ^= (v << 15) & 0xefc60000u;
  v ^= v >> 18;
  return v;
}

bool failingRandomSource(void*, size_t) { return false; }

class RTSPServerTest : public ::testing::Test {
protected:
  Loop loop;
  ToneCounters counters;
  RTSPServer* server = nullptr;
  ServerMediaSession* sms = nullptr;
  unsigned short port = 0;
  std::unique_ptr<UserAuthenticationDatabase> db;

  // A server with stream "ch01" of 'tracks' tone tracks.
  void start(unsigned short p, unsigned reclamation = 65, int tracks = 1, int framesBeforeEnd = -1) {
    port = p;
    server = RTSPServer::createNew(*loop.env, Port(port), db.get(), reclamation);
    ASSERT_NE(server, nullptr) << loop.env->getResultMsg();
    sms = ServerMediaSession::createNew(*loop.env, "ch01", nullptr, "RTSP/RTP H.264 KVT", False, nullptr);
    for (int i = 0; i < tracks; ++i) {
      sms->addSubsession(
          ToneSubsession::createNew(*loop.env, counters, framesBeforeEnd, static_cast<portNumBits>(6970 + 100 * i)));
    }
    server->addServerMediaSession(sms);
  }
  void TearDown() override {
    Medium::close(server);
    EXPECT_EQ(counters.alive, 0);
  }
  std::string url(std::string const& suffix = "") {
    return "rtsp://127.0.0.1:" + std::to_string(port) + "/ch01" + suffix;
  }
  std::string setupUDP(RawClient& c, int cseq, unsigned short rtpPort, std::string const& session = "",
                       std::string const& track = "/track1") {
    return c.request("SETUP " + url(track) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
                     "\r\nTransport: RTP/AVP;unicast;client_port=" + std::to_string(rtpPort) + "-" +
                     std::to_string(rtpPort + 1) + "\r\n" + (session.empty() ? "" : "Session: " + session + "\r\n") +
                     "\r\n");
  }
  std::string play(RawClient& c, int cseq, std::string const& session, std::string const& extra = "") {
    return c.request("PLAY " + url() + "/ RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: " + session +
                     "\r\n" + extra + "\r\n");
  }
};

TEST_F(RTSPServerTest, CreateNewReportsATakenPort) {
  start(18554);
  RTSPServer* second = RTSPServer::createNew(*loop.env, Port(18554), nullptr, 65);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(std::string(loop.env->getResultMsg()).rfind("bind() error (port number: 18554): ", 0), 0u)
      << loop.env->getResultMsg();
  char* u = server->rtspURL(sms, -1);
  EXPECT_EQ(std::string(u), "rtsp://" + serverIP(*loop.env) + ":18554/ch01");
  delete[] u;
  EXPECT_EQ(server->lookupServerMediaSession("ch01"), sms);
  EXPECT_EQ(server->lookupServerMediaSession("CH01"), nullptr);
}

TEST_F(RTSPServerTest, OptionsDescribeAndTheSDP) {
  start(18555);
  RawClient c(loop, port);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")),
            "RTSP/1.0 200 OK\r\nCSeq: 1\r\nDate: <date>\r\nPublic: " + kPublic + "\r\n\r\n");
  // Any URL, an unknown stream too; CSeq echoed as sent.
  EXPECT_EQ(normalizeDate(c.request("OPTIONS rtsp://x/nope RTSP/1.0\r\ncseq:  abc 7\r\n\r\n")),
            "RTSP/1.0 200 OK\r\nCSeq: abc 7\r\nDate: <date>\r\nPublic: " + kPublic + "\r\n\r\n");

  std::string sdp = "v=0\r\no=- <o> 1 IN IP4 " + serverIP(*loop.env) +
                    "\r\n"
                    "s=RTSP/RTP H.264 KVT\r\n"
                    "i=" +
                    kIdentity +
                    "\r\n"
                    "t=0 0\r\n"
                    "a=tool:" +
                    kIdentity +
                    "\r\n"
                    "a=type:broadcast\r\n"
                    "a=control:*\r\n"
                    "a=range:npt=0-\r\n"
                    "a=x-qt-text-nam:RTSP/RTP H.264 KVT\r\n"
                    "a=x-qt-text-inf:" +
                    kIdentity +
                    "\r\n"
                    "m=audio 0 RTP/AVP 0\r\n"
                    "c=IN IP4 0.0.0.0\r\n"
                    "b=AS:64\r\n"
                    "a=control:track1\r\n";
  std::string first, described;
  for (int i = 0; i < 2; ++i) {
    std::string r = c.request("DESCRIBE rtsp://10.9.8.7:1234/ch01 RTSP/1.0\r\nCSeq: 2\r\nAccept: text/plain\r\n\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r, m, std::regex("o=- ([0-9]{16}) 1"))) << r;
    if (i == 0) first = m[1];
    EXPECT_EQ(m[1].str(), first);  // the creation time, the same every time
    std::string body = std::regex_replace(sdp, std::regex("<o>"), first);
    described =
        "RTSP/1.0 200 OK\r\nCSeq: 2\r\nDate: <date>\r\n"
        "Content-Base: rtsp://127.0.0.1:18555/ch01/\r\n"
        "Content-Type: application/sdp\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    EXPECT_EQ(normalizeDate(r), described);
  }
  // The description was built once, with a source that was closed at once.
  EXPECT_EQ(counters.created, 1);
  EXPECT_EQ(counters.alive, 0);

  // A trailing '/' and a query name the stream too (the answer is the same);
  // anything else is unknown.
  for (char const* name : {"ch01/", "ch01?x=1", "ch01/?x=1"}) {
    std::string r = c.request(std::string("DESCRIBE rtsp://127.0.0.1:18555/") + name + " RTSP/1.0\r\nCSeq: 2\r\n\r\n");
    EXPECT_EQ(normalizeDate(r), described) << name;
  }
  for (char const* name : {"CH01", "ch02", "", "ch01x", "ch01/track1/x"}) {
    EXPECT_EQ(normalizeDate(
                  c.request(std::string("DESCRIBE rtsp://127.0.0.1:18555/") + name + " RTSP/1.0\r\nCSeq: 3\r\n\r\n")),
              "RTSP/1.0 404 Stream Not Found\r\nCSeq: 3\r\nDate: <date>\r\n\r\n")
        << name;
  }
}

TEST_F(RTSPServerTest, DescriptionOfVideoAndAudioTracksAndOfABrokenTrack) {
  start(18556, 65, 0);
  sms->addSubsession(new VideoSdpSubsession(*loop.env, counters));
  sms->addSubsession(ToneSubsession::createNew(*loop.env, counters));
  ServerMediaSession* broken = ServerMediaSession::createNew(*loop.env, "broken", "info", "desc");
  broken->addSubsession(new BrokenSubsession(*loop.env));
  server->addServerMediaSession(broken);

  RawClient c(loop, port);
  std::string r = c.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 2\r\n\r\n");
  std::string tracks =
      "a=x-qt-text-inf:" + kIdentity +
      "\r\n"
      "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\nb=AS:3000\r\na=rtpmap:96 H264/90000\r\na=control:track1\r\n"
      "m=audio 0 RTP/AVP 0\r\nc=IN IP4 0.0.0.0\r\nb=AS:64\r\na=control:track2\r\n";
  ASSERT_GE(r.size(), tracks.size());
  EXPECT_EQ(r.substr(r.size() - tracks.size()), tracks) << r;

  EXPECT_EQ(normalizeDate(c.request("DESCRIBE rtsp://127.0.0.1:18556/broken RTSP/1.0\r\nCSeq: 3\r\n\r\n")),
            "RTSP/1.0 404 File Not Found, Or In Incorrect Format\r\nCSeq: 3\r\nDate: <date>\r\n\r\n");
}

TEST_F(RTSPServerTest, SetupPlayPauseParametersTeardownOverUDP) {
  start(18557);
  RawClient c(loop, port);
  UdpReceiver rtp, rtcp(rtp.port() + 1);  // best effort pair; RTCP port given explicitly below
  std::string r =
      c.request("SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 3\r\nTransport: RTP/AVP;unicast;client_port=" +
                std::to_string(rtp.port()) + "-" + std::to_string(rtcp.port()) + "\r\n\r\n");
  std::string id = sessionId(r);
  ASSERT_EQ(id.size(), 8u) << r;
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r, m, std::regex("server_port=([0-9]+)-([0-9]+)")));
  unsigned serverRTP = std::stoul(m[1]);
  EXPECT_EQ(serverRTP % 2, 0u);
  EXPECT_GE(serverRTP, 6970u);
  EXPECT_EQ(std::stoul(m[2]), serverRTP + 1);
  EXPECT_EQ(normalizeDate(r),
            "RTSP/1.0 200 OK\r\nCSeq: 3\r\nDate: <date>\r\n"
            "Transport: RTP/AVP;unicast;destination=127.0.0.1;source=127.0.0.1;client_port=" +
                std::to_string(rtp.port()) + "-" + std::to_string(rtcp.port()) +
                ";server_port=" + std::to_string(serverRTP) + "-" + std::to_string(serverRTP + 1) +
                "\r\nSession: " + id + ";timeout=65\r\n\r\n");
  EXPECT_EQ(counters.alive, 1);

  r = play(c, 4, id);
  ASSERT_TRUE(std::regex_search(r, m, std::regex("seq=([0-9]+);rtptime=([0-9]+)"))) << r;
  unsigned firstSeq = std::stoul(m[1]);
  EXPECT_EQ(normalizeDate(r), "RTSP/1.0 200 OK\r\nCSeq: 4\r\nDate: <date>\r\nRange: npt=0.000-\r\nSession: " + id +
                                  "\r\nRTP-Info: url=rtsp://127.0.0.1:18557/ch01/track1;seq=" + m[1].str() +
                                  ";rtptime=" + m[2].str() + "\r\n\r\n");
  // RTP arrives, starting at the announced sequence number; an SR reached the RTCP port first.
  ASSERT_TRUE(loop.runUntil([&] {
    rtp.pump();
    return rtp.packets.size() >= 5;
  }));
  EXPECT_EQ(rtpSeq(rtp.packets[0]), firstSeq);
  EXPECT_EQ(static_cast<unsigned char>(rtp.packets[0][1]) & 0x7F, 0);  // PCMU
  ASSERT_TRUE(loop.runUntil([&] {
    rtcp.pump();
    return !rtcp.packets.empty();
  }));
  EXPECT_TRUE(rtcpHasType(rtcp.packets[0], 200));

  // A requested start is clamped to 0; Scale is answered.
  r = play(c, 5, id, "Range: npt=5-\r\nScale: 1\r\n");
  EXPECT_EQ(headerValue(r, "Range"), "npt=0.000-");
  EXPECT_EQ(headerValue(r, "Scale"), "1.000000");
  EXPECT_LT(r.find("Scale:"), r.find("Range:"));
  // Without Range: the shared stream's position.
  r = play(c, 6, id);
  ASSERT_TRUE(std::regex_search(r, m, std::regex("Range: npt=([0-9]+\\.[0-9]{3})-\r\n"))) << r;
  EXPECT_GT(std::stod(m[1]), 0.05);

  EXPECT_EQ(normalizeDate(c.request("PAUSE " + url() + " RTSP/1.0\r\nCSeq: 7\r\nSession: " + id + "\r\n\r\n")),
            "RTSP/1.0 200 OK\r\nCSeq: 7\r\nDate: <date>\r\nSession: " + id + "\r\n\r\n");
  // PAUSE does not stop a shared stream.
  rtp.pump();
  size_t before = rtp.packets.size();
  ASSERT_TRUE(loop.runUntil([&] {
    rtp.pump();
    return rtp.packets.size() >= before + 3;
  }));

  std::string version = LIVEMEDIA_LIBRARY_VERSION_STRING "\r\n";
  EXPECT_EQ(normalizeDate(c.request("GET_PARAMETER " + url() + "/ RTSP/1.0\r\nCSeq: 8\r\nSession: " + id +
                                    "\r\nContent-Length: 7\r\n\r\nversion")),
            "RTSP/1.0 200 OK\r\nCSeq: 8\r\nDate: <date>\r\nSession: " + id +
                "\r\nContent-Length: " + std::to_string(version.size()) + "\r\n\r\n" + version);
  EXPECT_EQ(normalizeDate(c.request("GET_PARAMETER * RTSP/1.0\r\nCSeq: 9\r\n\r\n")),
            "RTSP/1.0 200 OK\r\nCSeq: 9\r\nDate: <date>\r\nContent-Length: " + std::to_string(version.size()) +
                "\r\n\r\n" + version);
  EXPECT_EQ(normalizeDate(c.request("SET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: 10\r\nSession: " + id +
                                    "\r\nContent-Length: 3\r\n\r\na=b")),
            "RTSP/1.0 200 OK\r\nCSeq: 10\r\nDate: <date>\r\nSession: " + id + "\r\n\r\n");
  // OPTIONS with a live session: no Session header in the answer.
  EXPECT_EQ(normalizeDate(c.request("OPTIONS " + url() + " RTSP/1.0\r\nCSeq: 11\r\nSession: " + id + "\r\n\r\n")),
            "RTSP/1.0 200 OK\r\nCSeq: 11\r\nDate: <date>\r\nPublic: " + kPublic + "\r\n\r\n");

  EXPECT_EQ(normalizeDate(c.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 12\r\nSession: " + id + "\r\n\r\n")),
            "RTSP/1.0 200 OK\r\nCSeq: 12\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(counters.alive, 0);  // the last client left: the stream is closed
  // The connection stays open; the id is gone.
  for (std::string method : {"PLAY", "PAUSE", "TEARDOWN", "GET_PARAMETER", "SET_PARAMETER", "OPTIONS"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " " + url() + " RTSP/1.0\r\nCSeq: 13\r\nSession: " + id + "\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found\r\nCSeq: 13\r\nDate: <date>\r\n\r\n")
        << method;
  }
}

TEST_F(RTSPServerTest, SetupVariantsAndInterleavedStreaming) {
  start(18558, 65, 2);
  RawClient c(loop, port);
  // A single client port, RTP/AVP/UDP, the aggregate URL refused for two tracks.
  std::string r = c.request("SETUP " + url("/track2") +
                            " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/UDP;unicast;client_port=40000;"
                            "destination=10.1.1.1;ttl=9\r\n\r\n");
  EXPECT_NE(r.find("Transport: RTP/AVP;unicast;destination=127.0.0.1;source=127.0.0.1;client_port=40000-40001;"
                   "server_port="),
            std::string::npos)
      << r;
  std::string id = sessionId(r);
  // A second track of the same session keeps the id.
  r = setupUDP(c, 2, 40002, id, "/track1");
  EXPECT_EQ(sessionId(r), id);
  EXPECT_EQ(c.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");

  // TCP: channels as requested, else 0-1 then 2-3.
  RawClient t(loop, port);
  r = t.request("SETUP " + url("/track1") +
                " RTSP/1.0\r\nCSeq: 3\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  id = sessionId(r);
  EXPECT_EQ(normalizeDate(r),
            "RTSP/1.0 200 OK\r\nCSeq: 3\r\nDate: <date>\r\n"
            "Transport: RTP/AVP/TCP;unicast;destination=127.0.0.1;source=127.0.0.1;interleaved=0-1\r\n"
            "Session: " +
                id + ";timeout=65\r\n\r\n");
  RawClient t2(loop, port);
  r = t2.request("SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast\r\n\r\n");
  std::string id2 = sessionId(r);
  EXPECT_NE(r.find(";interleaved=0-1\r\n"), std::string::npos) << r;
  r = t2.request("SETUP " + url("/track2") + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id2 +
                 "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=zz\r\n\r\n");
  EXPECT_NE(r.find(";interleaved=2-3\r\n"), std::string::npos) << r;
  EXPECT_EQ(t2.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id2 + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");

  // PLAY over TCP: one RTCP frame before the answer, RTP frames after it.
  ASSERT_TRUE(t.sendText("PLAY " + url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + id + "\r\n\r\n"));
  r = t.response();
  ASSERT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0].channel, 1);
  EXPECT_TRUE(rtcpHasType(t.frames[0].data, 200));
  EXPECT_TRUE(rtcpHasType(t.frames[0].data, 202));
  ASSERT_TRUE(loop.runUntil([&] {
    t.pump();
    t.takeFrames();
    return t.frames.size() >= 6;
  }));
  EXPECT_EQ(t.frames[1].channel, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r, m, std::regex("seq=([0-9]+)")));
  EXPECT_EQ(rtpSeq(t.frames[1].data), std::stoul(m[1]));

  // Closing the TCP connection ends its session, and with its last client the stream.
  int aliveBefore = counters.alive;
  t.closeSocket();
  ASSERT_TRUE(loop.runUntil([&] { return counters.alive < aliveBefore; }));
  RawClient u(loop, port);
  EXPECT_EQ(u.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 1\r\nSession: " + id + "\r\n\r\n").substr(0, 12),
            "RTSP/1.0 454");
}

TEST_F(RTSPServerTest, SessionsOnOneConnectionKeepTheirOwnChannels) {
  start(18644);
  RawClient t(loop, port);
  auto setupTCP = [&](std::string const& transport) {
    return t.request("SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast" + transport +
                     "\r\n\r\n");
  };
  auto framesOn = [&](unsigned channel) {
    size_t n = 0;
    for (auto const& f : t.frames) n += f.channel == channel;
    return n;
  };
  auto moreFramesOn = [&](unsigned channel, size_t count) {
    size_t target = framesOn(channel) + count;
    return loop.runUntil([&] {
      t.pump();
      t.takeFrames();
      return framesOn(channel) >= target;
    });
  };
  std::string a = sessionId(setupTCP(";interleaved=0-1"));
  ASSERT_EQ(play(t, 2, a).substr(0, 15), "RTSP/1.0 200 OK");
  ASSERT_TRUE(moreFramesOn(0, 3));

  // Channels that session a uses are refused to another session.
  for (std::string taken : {";interleaved=0-1", ";interleaved=1-2", ";interleaved=6-0"}) {
    EXPECT_EQ(normalizeDate(setupTCP(taken)), "RTSP/1.0 461 Unsupported Transport\r\nCSeq: 1\r\nDate: <date>\r\n\r\n")
        << taken;
  }
  // 255 is a channel like any other: its session's end leaves a's channels alone.
  std::string r = setupTCP(";interleaved=255-254");
  EXPECT_NE(r.find(";interleaved=255-254\r\n"), std::string::npos) << r;
  std::string b = sessionId(r);
  ASSERT_EQ(play(t, 2, b).substr(0, 15), "RTSP/1.0 200 OK");
  ASSERT_TRUE(moreFramesOn(255, 2));
  EXPECT_EQ(t.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + b + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  EXPECT_TRUE(moreFramesOn(0, 3)) << "the other session's end cut this one's stream";

  // Without channels a second session gets the lowest free pair.
  r = setupTCP("");
  EXPECT_NE(r.find(";interleaved=2-3\r\n"), std::string::npos) << r;
  std::string c = sessionId(r);
  ASSERT_EQ(play(t, 2, c).substr(0, 15), "RTSP/1.0 200 OK");
  ASSERT_TRUE(moreFramesOn(2, 2));
  EXPECT_EQ(t.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + c + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  EXPECT_TRUE(moreFramesOn(0, 3));
  EXPECT_EQ(counters.created, 1);
}

TEST_F(RTSPServerTest, AnInterleavedClientThatStopsReadingLosesWholeFramesAndDelaysNoOne) {
  start(18567, 65, 1, 40000);                                           // about 4,500 packets
  static_cast<ToneSubsession*>(sms->subsession(0))->frameDuration = 0;  // as fast as the loop runs
  auto setupAndPlay = [&](RawClient& c) {
    std::string r = c.request("SETUP " + url("/track1") +
                              " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    std::string id = sessionId(r);
    EXPECT_EQ(play(c, 2, id).substr(0, 15), "RTSP/1.0 200 OK");
  };
  RawClient slow(loop, port), fast(loop, port);
  setupAndPlay(slow);
  setupAndPlay(fast);
  // The slow client reads nothing while the other one takes the whole stream,
  // more than twice the slow one's backlog allowance (2 MiB).
  ASSERT_TRUE(loop.runUntil(
      [&] {
        fast.pump();
        fast.takeFrames();
        return counters.alive == 0;  // the stream has ended
      },
      30000));
  auto rtpSeqs = [](RawClient const& c) {
    std::vector<unsigned> seqs;
    for (auto const& f : c.frames) {
      if (f.channel != 0) continue;
      EXPECT_EQ(static_cast<unsigned char>(f.data[0]), 0x80) << "a whole RTP packet";
      EXPECT_LE(f.data.size(), 1456u);
      seqs.push_back(rtpSeq(f.data));
    }
    return seqs;
  };
  std::vector<unsigned> fastSeqs = rtpSeqs(fast);
  for (size_t i = 1; i < fastSeqs.size(); ++i) ASSERT_EQ(fastSeqs[i], (fastSeqs[i - 1] + 1) & 0xFFFF) << i;

  EXPECT_GT(fastSeqs.size(), 4000u);

  // The slow client's answer still arrives, after whole frames only, and it
  // lost packets: fewer than the other client got, in increasing order.
  ASSERT_TRUE(slow.sendText("OPTIONS * RTSP/1.0\r\nCSeq: 9\r\n\r\n"));
  std::string r = slow.response(10000);
  EXPECT_EQ(headerValue(r, "CSeq"), "9");
  std::vector<unsigned> slowSeqs = rtpSeqs(slow);
  ASSERT_GT(slowSeqs.size(), 10u);
  EXPECT_LT(slowSeqs.size(), fastSeqs.size()) << "the slow client lost packets";
  for (size_t i = 1; i < slowSeqs.size(); ++i) {
    unsigned step = (slowSeqs[i] - slowSeqs[i - 1]) & 0xFFFF;
    EXPECT_TRUE(step >= 1 && step < 0x8000) << i;
  }
}

TEST_F(RTSPServerTest, UnservableTransportIs461AndLeavesNothingBehind) {
  start(18559);
  RawClient c(loop, port);
  for (std::string transport :
       {"Transport: RTP/AVP;multicast;client_port=5000-5001\r\n",
        "Transport: RTP/SAVP;unicast;client_port=5000-5001\r\n",
        "Transport: RAW/RAW/UDP;unicast;client_port=5000-5001\r\n", "Transport: RTP/AVP;unicast\r\n", "",
        "Transport: RTP/AVP;unicast;client_port=65535\r\n", "Transport: RTP/AVP;unicast;client_port=5000-0\r\n"}) {
    EXPECT_EQ(normalizeDate(c.request("SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 5\r\n" + transport + "\r\n")),
              "RTSP/1.0 461 Unsupported Transport\r\nCSeq: 5\r\nDate: <date>\r\n\r\n")
        << transport;
  }
  EXPECT_EQ(counters.created, 0);
  // A client that can be served afterwards gets a working stream.
  UdpReceiver rtp;
  std::string id = sessionId(setupUDP(c, 6, rtp.port()));
  ASSERT_FALSE(id.empty());
  play(c, 7, id);
  EXPECT_TRUE(loop.runUntil([&] {
    rtp.pump();
    return !rtp.packets.empty();
  }));
  // Refusals beside a playing session leave it streaming.
  RawClient other(loop, port);
  EXPECT_EQ(other
                .request("SETUP " + url("/track1") +
                         " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=65535\r\n\r\n")
                .substr(0, 12),
            "RTSP/1.0 461");
  EXPECT_EQ(counters.created, 1);
  size_t before = rtp.packets.size();
  EXPECT_TRUE(loop.runUntil([&] {
    rtp.pump();
    return rtp.packets.size() >= before + 3;
  }));
}

TEST_F(RTSPServerTest, ErrorAnswers) {
  start(18560);
  ServerMediaSession* other = ServerMediaSession::createNew(*loop.env, "other", nullptr, "o");
  other->addSubsession(ToneSubsession::createNew(*loop.env, counters));
  server->addServerMediaSession(other);
  RawClient c(loop, port);
  std::string allow = "Allow: " + kPublic + "\r\n";
  for (std::string method : {"FOO", "RECORD", "ANNOUNCE"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n")),
              "RTSP/1.0 405 Method Not Allowed\r\nCSeq: 1\r\nDate: <date>\r\n" + allow + "\r\n");
  }
  for (std::string method : {"DESCRIBE", "SETUP", "PLAY", "PAUSE", "TEARDOWN"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " * RTSP/1.0\r\nCSeq: 2\r\n\r\n")),
              "RTSP/1.0 405 Method Not Allowed\r\nCSeq: 2\r\nDate: <date>\r\n" + allow + "\r\n");
  }
  std::string bad = "RTSP/1.0 400 Bad Request\r\nDate: <date>\r\n" + allow + "\r\n";
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("garbage\r\n\r\n")), bad);
  std::string longName(200, 'a');
  EXPECT_EQ(normalizeDate(c.request("DESCRIBE rtsp://h/" + longName + " RTSP/1.0\r\nCSeq: 3\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: " + longName + "\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 4\r\nSession: " + longName + "\r\n\r\n")), bad);
  EXPECT_EQ(normalizeDate(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 4\r\nSession: 0BADBEEF\r\n\r\n")),
            "RTSP/1.0 454 Session Not Found\r\nCSeq: 4\r\nDate: <date>\r\n\r\n");
  for (std::string method : {"PLAY", "PAUSE", "TEARDOWN", "GET_PARAMETER", "SET_PARAMETER"}) {
    EXPECT_EQ(normalizeDate(c.request(method + " " + url() + " RTSP/1.0\r\nCSeq: 5\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found\r\nCSeq: 5\r\nDate: <date>\r\n\r\n")
        << method;
  }
  EXPECT_EQ(
      normalizeDate(c.request("SETUP " + url("/track9") +
                              " RTSP/1.0\r\nCSeq: 6\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n")),
      "RTSP/1.0 404 Stream Not Found\r\nCSeq: 6\r\nDate: <date>\r\n\r\n");

  // A session's requests on another stream's URL.
  std::string id = sessionId(setupUDP(c, 7, 41000));
  ASSERT_FALSE(id.empty());
  std::string otherURL = "rtsp://127.0.0.1:18560/other";
  EXPECT_EQ(normalizeDate(c.request("PLAY " + otherURL + " RTSP/1.0\r\nCSeq: 8\r\nSession: " + id + "\r\n\r\n")),
            "RTSP/1.0 404 Stream Not Found\r\nCSeq: 8\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(normalizeDate(c.request("SETUP " + otherURL + "/track1 RTSP/1.0\r\nCSeq: 9\r\nSession: " + id +
                                    "\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n")),
            bad);
  // Session ids match exactly.
  std::string lower = id;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
  if (lower != id) {
    EXPECT_EQ(c.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 10\r\nSession: " + lower + "\r\n\r\n").substr(0, 12),
              "RTSP/1.0 454");
  }
  // An id made on one connection works on another, and survives its connection (UDP).
  c.closeSocket();
  RawClient d(loop, port);
  EXPECT_EQ(d.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 11\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");

  // HTTP on the RTSP port.
  RawClient h(loop, port);
  ASSERT_TRUE(h.sendText("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(loop.runUntil([&] {
    h.pump();
    return h.pendingInput().size() >= 50;
  }));
  EXPECT_EQ(normalizeDate(h.pendingInput()), "HTTP/1.1 405 Method Not Allowed\r\nDate: <date>\r\n\r\n\r\n");
}

TEST_F(RTSPServerTest, PipelinedAndSplitRequestsAreAnsweredInOrder) {
  start(18561);
  RawClient c(loop, port);
  ASSERT_TRUE(
      c.sendText("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nFOO * RTSP/1.0\r\nCSeq: 2\r\n\r\n"
                 "GET_PARAMETER * RTSP/1.0\r\nCSeq: 3\r\n\r\n"));
  EXPECT_EQ(headerValue(c.response(), "CSeq"), "1");
  EXPECT_EQ(headerValue(c.response(), "CSeq"), "2");
  EXPECT_EQ(headerValue(c.response(), "CSeq"), "3");

  std::string text = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 4\r\n\r\n";
  for (char ch : text) {
    ASSERT_TRUE(c.sendBytes(&ch, 1));
    loop.scheduler->SingleStep(1000);
  }
  std::string r = c.response();
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK");
  EXPECT_EQ(headerValue(r, "CSeq"), "4");
}

TEST_F(RTSPServerTest, TwoClientsShareOneStream) {
  start(18562);
  RawClient a(loop, port), b(loop, port);
  UdpReceiver rtpA, rtpB;
  std::string ra = setupUDP(a, 1, rtpA.port());
  std::string ida = sessionId(ra);
  play(a, 2, ida);
  ASSERT_TRUE(loop.runUntil([&] {
    rtpA.pump();
    return rtpA.packets.size() >= 3;
  }));
  std::string rb = setupUDP(b, 1, rtpB.port());
  std::string idb = sessionId(rb);
  EXPECT_NE(ida, idb);
  EXPECT_EQ(headerValue(ra, "Transport").substr(headerValue(ra, "Transport").find("server_port")),
            headerValue(rb, "Transport").substr(headerValue(rb, "Transport").find("server_port")));
  std::string pb = play(b, 2, idb);
  EXPECT_EQ(counters.created, 1);  // the second SETUP created nothing
  ASSERT_TRUE(loop.runUntil([&] {
    rtpA.pump();
    rtpB.pump();
    return rtpB.packets.size() >= 5;
  }));
  // Same SSRC; B's packets are A's packets from the announced sequence number on.
  EXPECT_EQ(rtpSSRC(rtpA.packets[0]), rtpSSRC(rtpB.packets[0]));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(pb, m, std::regex("seq=([0-9]+)")));
  EXPECT_EQ(rtpSeq(rtpB.packets[0]), std::stoul(m[1]));
  std::set<std::string> seenByA(rtpA.packets.begin(), rtpA.packets.end());
  ASSERT_TRUE(loop.runUntil([&] {
    rtpA.pump();
    rtpB.pump();
    seenByA.insert(rtpA.packets.begin(), rtpA.packets.end());
    return seenByA.count(rtpB.packets[4]) > 0;
  }));
  for (size_t i = 0; i + 1 < rtpB.packets.size(); ++i) {
    EXPECT_EQ((rtpSeq(rtpB.packets[i]) + 1) & 0xFFFF, rtpSeq(rtpB.packets[i + 1]));
  }
  // One leaves; the other goes on; the stream ends with the last.
  a.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + ida + "\r\n\r\n");
  EXPECT_EQ(counters.alive, 1);
  size_t n = rtpB.packets.size();
  ASSERT_TRUE(loop.runUntil([&] {
    rtpB.pump();
    return rtpB.packets.size() >= n + 3;
  }));
  b.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + idb + "\r\n\r\n");
  EXPECT_EQ(counters.alive, 0);
}

TEST_F(RTSPServerTest, SessionsNamingTheSameClientPortsEachKeepTheirOwnDestination) {
  start(18643, 1);
  UdpReceiver rtp, rtcp;
  std::string ports = std::to_string(rtp.port()) + "-" + std::to_string(rtcp.port());
  auto setup = [&](RawClient& c) {
    std::string r = c.request("SETUP " + url("/track1") +
                              " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" + ports + "\r\n\r\n");
    std::string id = sessionId(r);
    EXPECT_EQ(play(c, 2, id).substr(0, 15), "RTSP/1.0 200 OK");
    return r;
  };
  RawClient a(loop, port), b(loop, port);
  setup(a);
  std::string rb = setup(b);  // the newer session takes the address over
  std::string idb = sessionId(rb);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(rb, m, std::regex("server_port=[0-9]+-([0-9]+)")));
  unsigned short serverRTCP = static_cast<unsigned short>(std::stoul(m[1]));

  // The client reports every 300 ms; only b hears it, so a (silent) is
  // reclaimed after a second; b and its packets go on.
  std::string rr = std::string("\x81\xc9\x00\x07", 4) + std::string("\x12\x34\x56\x78", 4) + std::string(24, '\0');
  auto reportFor = [&](int ms) {
    auto started = std::chrono::steady_clock::now();
    auto lastRR = started - std::chrono::seconds(1);
    loop.runUntil(
        [&] {
          rtp.pump();
          auto now = std::chrono::steady_clock::now();
          if (now - lastRR > std::chrono::milliseconds(300)) {
            rtcp.sendTo(serverRTCP, rr);
            lastRR = now;
          }
          return now - started > std::chrono::milliseconds(ms);
        },
        ms + 1000);
  };
  reportFor(2500);
  size_t n = rtp.packets.size();
  reportFor(500);
  EXPECT_GE(rtp.packets.size(), n + 2) << "the older session's end cut the newer one's stream";
  EXPECT_EQ(counters.alive, 1);
  // One copy of each packet went to the shared address and port.
  for (size_t i = 1; i < rtp.packets.size(); ++i) {
    ASSERT_EQ(rtpSeq(rtp.packets[i]), (rtpSeq(rtp.packets[i - 1]) + 1) & 0xFFFF) << i;
  }

  // A newer session's TEARDOWN leaves the older one streaming too.
  RawClient c(loop, port);
  std::string idc = sessionId(setup(c));
  EXPECT_EQ(c.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + idc + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  n = rtp.packets.size();
  reportFor(1500);
  EXPECT_GE(rtp.packets.size(), n + 4);
  RawClient probe(loop, port);
  EXPECT_EQ(
      probe.request("GET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: 1\r\nSession: " + idb + "\r\n\r\n").substr(0, 15),
      "RTSP/1.0 200 OK");
}

TEST_F(RTSPServerTest, SilentClientIsReclaimedAndReceiverReportsKeepOneAlive) {
  start(18563, 1);
  RawClient quiet(loop, port), talker(loop, port);
  UdpReceiver rtpQ, rtpT, rtcpT;
  std::string idq = sessionId(setupUDP(quiet, 1, rtpQ.port()));
  std::string rt =
      talker.request("SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" +
                     std::to_string(rtpT.port()) + "-" + std::to_string(rtcpT.port()) + "\r\n\r\n");
  std::string idt = sessionId(rt);
  EXPECT_EQ(headerValue(rt, "Session"), idt + ";timeout=1");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(rt, m, std::regex("server_port=[0-9]+-([0-9]+)")));
  unsigned short serverRTCP = static_cast<unsigned short>(std::stoul(m[1]));
  play(quiet, 2, idq);
  play(talker, 2, idt);
  quiet.closeSocket();  // vanishes without TEARDOWN

  // The talker sends a receiver report every 300 ms.
  std::string rr("\x81\xc9\x00\x07", 4);
  rr += std::string("\x12\x34\x56\x78", 4);
  rr += std::string(24, '\0');
  auto started = std::chrono::steady_clock::now();
  auto lastRR = started;
  ASSERT_TRUE(loop.runUntil(
      [&] {
        auto now = std::chrono::steady_clock::now();
        if (now - lastRR > std::chrono::milliseconds(300)) {
          rtcpT.sendTo(serverRTCP, rr);
          lastRR = now;
        }
        return now - started > std::chrono::milliseconds(2500);
      },
      4000));
  RawClient probe(loop, port);
  EXPECT_EQ(
      probe.request("GET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: 1\r\nSession: " + idq + "\r\n\r\n").substr(0, 12),
      "RTSP/1.0 454");
  EXPECT_EQ(
      probe.request("GET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + idt + "\r\n\r\n").substr(0, 15),
      "RTSP/1.0 200 OK");
  EXPECT_EQ(counters.alive, 1);
  talker.pump();
  EXPECT_FALSE(talker.peerClosed());  // its session keeps the connection
  // Once the talker goes quiet too, the stream goes with it, and then its
  // connection: still answering at first, closed after a silent period.
  ASSERT_TRUE(loop.runUntil([&] { return counters.alive == 0; }, 4000));
  EXPECT_EQ(talker.request("OPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n").substr(0, 15), "RTSP/1.0 200 OK");
  EXPECT_TRUE(talker.waitClosed(5000));
}

TEST_F(RTSPServerTest, ConnectionsAreReclaimedOnceTheirSessionsEndAndKeptWhileTheyLive) {
  start(18567, 1);
  RawClient done(loop, port), keeper(loop, port), asker(loop, port);
  UdpReceiver rtpD, rtpK, rtpA;
  std::string idd = sessionId(setupUDP(done, 1, rtpD.port()));
  std::string idk = sessionId(setupUDP(keeper, 1, rtpK.port()));
  std::string ida = sessionId(setupUDP(asker, 1, rtpA.port()));
  play(keeper, 2, idk);
  play(asker, 2, ida);
  EXPECT_EQ(done.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + idd + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  // 'done' set a session up once and says nothing more: closed. The others
  // keep their sessions alive with OPTIONS or GET_PARAMETER naming them.
  int cseq = 3;
  auto const started = std::chrono::steady_clock::now();
  auto lastKeep = started;
  ASSERT_TRUE(loop.runUntil(
      [&] {
        if (std::chrono::steady_clock::now() - lastKeep > std::chrono::milliseconds(300)) {
          lastKeep = std::chrono::steady_clock::now();
          std::string n = std::to_string(cseq++);
          keeper.sendText("OPTIONS * RTSP/1.0\r\nCSeq: " + n + "\r\nSession: " + idk + "\r\n\r\n");
          asker.sendText("GET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: " + n + "\r\nSession: " + ida + "\r\n\r\n");
        }
        keeper.pump();
        asker.pump();
        done.pump();
        return done.peerClosed() && std::chrono::steady_clock::now() - started > std::chrono::milliseconds(4000);
      },
      6000));
  EXPECT_FALSE(keeper.peerClosed());
  EXPECT_FALSE(asker.peerClosed());
  EXPECT_EQ(counters.alive, 1);
}

TEST_F(RTSPServerTest, SessionsBeyondTheBoundsAreRefusedAndLeaveNothingBehind) {
  start(18568);
  std::vector<std::unique_ptr<RawClient>> conns;
  std::vector<std::pair<RawClient*, std::string>> sessions;
  unsigned short clientPort = 43000;
  auto setup = [&](RawClient& c) {
    std::string r = setupUDP(c, 1, clientPort);
    clientPort = static_cast<unsigned short>(clientPort + 2);
    if (r.rfind("RTSP/1.0 200 OK", 0) == 0) sessions.emplace_back(&c, sessionId(r));
    return r;
  };
  // One connection holds at most 8 sessions; the server at most 64.
  conns.push_back(std::make_unique<RawClient>(loop, port));
  for (unsigned i = 0; i < RTSPServer::kDefaultMaxSessionsPerConnection; ++i) {
    EXPECT_EQ(setup(*conns[0]).substr(0, 15), "RTSP/1.0 200 OK");
  }
  EXPECT_EQ(normalizeDate(setup(*conns[0])), "RTSP/1.0 453 Not Enough Bandwidth\r\nCSeq: 1\r\nDate: <date>\r\n\r\n");
  while (sessions.size() < RTSPServer::kDefaultMaxSessions) {
    if (sessions.size() % RTSPServer::kDefaultMaxSessionsPerConnection == 0) {
      conns.push_back(std::make_unique<RawClient>(loop, port));
    }
    ASSERT_EQ(setup(*conns.back()).substr(0, 15), "RTSP/1.0 200 OK");
  }
  RawClient late(loop, port);
  EXPECT_EQ(setup(late).substr(0, 12), "RTSP/1.0 453");
  // A session ended makes room again.
  RawClient& first = *sessions.front().first;
  EXPECT_EQ(
      first.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + sessions.front().second + "\r\n\r\n")
          .substr(0, 15),
      "RTSP/1.0 200 OK");
  sessions.erase(sessions.begin());
  EXPECT_EQ(setup(late).substr(0, 15), "RTSP/1.0 200 OK");
  // The refused SETUPs left no client on the stream: it ends with the last session.
  for (auto& s : sessions) {
    s.first->request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + s.second + "\r\n\r\n");
  }
  EXPECT_EQ(counters.alive, 0);
}

TEST_F(RTSPServerTest, InterleavedReceiverReportsKeepASessionAliveAndReclamationLeavesTheConnection) {
  start(18566, 1);
  RawClient c(loop, port);
  std::string id = sessionId(c.request(
      "SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=4-5\r\n\r\n"));
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(play(c, 2, id).substr(0, 15), "RTSP/1.0 200 OK");
  std::string rr = std::string("$\x05\x00\x20", 4) + std::string("\x81\xc9\x00\x07", 4) +
                   std::string("\x12\x34\x56\x78", 4) + std::string(24, '\0');
  auto started = std::chrono::steady_clock::now();
  auto lastRR = started;
  ASSERT_TRUE(loop.runUntil(
      [&] {
        c.pump();
        c.takeFrames();
        auto now = std::chrono::steady_clock::now();
        if (now - lastRR > std::chrono::milliseconds(300)) {
          c.sendBytes(rr.data(), rr.size());
          lastRR = now;
        }
        return now - started > std::chrono::milliseconds(2500);
      },
      4000));
  EXPECT_EQ(counters.alive, 1);
  EXPECT_GE(c.frames.size(), 10u);  // about 180 ms of audio per packet
  // Silent from now on: reclaimed, without a word on the connection, which keeps answering.
  ASSERT_TRUE(loop.runUntil(
      [&] {
        c.pump();
        c.takeFrames();
        return counters.alive == 0;
      },
      4000));
  EXPECT_FALSE(c.peerClosed());
  EXPECT_EQ(c.request("GET_PARAMETER " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id + "\r\n\r\n").substr(0, 12),
            "RTSP/1.0 454");
  EXPECT_EQ(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 4\r\n\r\n").substr(0, 15), "RTSP/1.0 200 OK");
}

TEST_F(RTSPServerTest, EndOfSourceSaysByeAndTheNextSetupStartsAfresh) {
  start(18564, 65, 1, 20);  // the source ends after 20 frames (0.4 s)
  RawClient c(loop, port);
  UdpReceiver rtp, rtcp;
  std::string r =
      c.request("SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" +
                std::to_string(rtp.port()) + "-" + std::to_string(rtcp.port()) + "\r\n\r\n");
  std::string id = sessionId(r);
  play(c, 2, id);
  ASSERT_TRUE(loop.runUntil([&] {
    rtcp.pump();
    for (auto const& p : rtcp.packets) {
      if (rtcpHasType(p, 203)) return true;
    }
    return false;
  }));
  ASSERT_TRUE(loop.runUntil([&] { return counters.alive == 0; }));
  EXPECT_EQ(counters.created, 1);
  // The old session is harmless; a new SETUP gets a fresh stream that plays.
  EXPECT_EQ(c.request("PLAY " + url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
  UdpReceiver rtp2;
  RawClient d(loop, port);
  std::string id2 = sessionId(setupUDP(d, 1, rtp2.port()));
  EXPECT_EQ(counters.created, 2);
  play(d, 2, id2);
  EXPECT_TRUE(loop.runUntil([&] {
    rtp2.pump();
    return rtp2.packets.size() >= 3;
  }));
  EXPECT_EQ(c.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
            "RTSP/1.0 200 OK");
}

TEST_F(RTSPServerTest, SessionIdsDoNotPredictOneAnother) {
  // The predictor does find the next output of a Mersenne Twister.
  std::mt19937 twister(20240601u);
  std::vector<uint32_t> outputs;
  for (int i = 0; i < 624; ++i) outputs.push_back(twister());
  ASSERT_EQ(predictNextMT19937(outputs), twister());

  start(18640);
  RawClient c(loop, port);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 625; ++i) {
    std::string id = sessionId(setupUDP(c, 1, 43000));
    ASSERT_EQ(id.size(), 8u) << i;
    ASSERT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    ids.push_back(static_cast<uint32_t>(std::stoul(id, nullptr, 16)));
    ASSERT_EQ(c.request("TEARDOWN " + url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id + "\r\n\r\n").substr(0, 15),
              "RTSP/1.0 200 OK");
  }
  uint32_t last = ids.back();
  ids.pop_back();
  EXPECT_NE(predictNextMT19937(ids), last) << "the 625th session id was predicted from the 624 before it";
}

TEST_F(RTSPServerTest, WithoutRandomBytesNothingIsCreatedOrChallenged) {
  db = std::make_unique<UserAuthenticationDatabase>();
  start(18641);
  RawClient c(loop, port);
  setSystemRandomSourceForTesting(failingRandomSource);
  // No nonce can be drawn: no challenge, and no stale nonce stays valid.
  std::string r = c.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  setSystemRandomSourceForTesting(nullptr);
  EXPECT_EQ(normalizeDate(r), "RTSP/1.0 500 Internal Server Error\r\nCSeq: 1\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(c.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 2\r\n\r\n").substr(0, 12), "RTSP/1.0 401");

  // No session id can be drawn: the SETUP is refused and creates nothing.
  Medium::close(server);
  db.reset();
  start(18642);
  RawClient d(loop, port);
  setSystemRandomSourceForTesting(failingRandomSource);
  r = setupUDP(d, 3, 43010);
  setSystemRandomSourceForTesting(nullptr);
  EXPECT_EQ(normalizeDate(r), "RTSP/1.0 500 Internal Server Error\r\nCSeq: 3\r\nDate: <date>\r\n\r\n");
  EXPECT_EQ(counters.created, 0);
  std::string id = sessionId(setupUDP(d, 4, 43010));
  EXPECT_EQ(id.size(), 8u);
  EXPECT_EQ(counters.alive, 1);
}

TEST_F(RTSPServerTest, DigestAuthentication) {
  db = std::make_unique<UserAuthenticationDatabase>();
  db->addUserRecord("alice", "wrong");
  db->addUserRecord("alice", "secret");
  start(18565);
  RawClient c(loop, port);
  std::string describe = "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 2\r\n";
  std::regex challenge("WWW-Authenticate: Digest realm=\"LIVE555 Streaming Media\", nonce=\"([0-9a-f]{32})\"\r\n");
  auto authorization = [&](std::string const& method, std::string const& uri, std::string const& nonce,
                           std::string const& password) {
    return "Authorization: Digest username=\"alice\", realm=\"LIVE555 Streaming Media\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", response=\"" +
           computeDigestResponse("alice", "LIVE555 Streaming Media", password, False, nonce, method, uri) + "\"\r\n";
  };

  // OPTIONS is never checked.
  EXPECT_EQ(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n").substr(0, 15), "RTSP/1.0 200 OK");
  // The first checked request on a connection fails even with a well-formed header.
  std::string r =
      c.request(describe + authorization("DESCRIBE", url(), "0123456789abcdef0123456789abcdef", "secret") + "\r\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r, m, challenge)) << r;
  std::string nonce1 = m[1];
  EXPECT_EQ(normalizeDate(r),
            "RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\nDate: <date>\r\n"
            "WWW-Authenticate: Digest realm=\"LIVE555 Streaming Media\", nonce=\"" +
                nonce1 + "\"\r\n\r\n");
  // A wrong password: 401 with a fresh nonce.
  r = c.request(describe + authorization("DESCRIBE", url(), nonce1, "wrong") + "\r\n");
  ASSERT_TRUE(std::regex_search(r, m, challenge)) << r;
  std::string nonce2 = m[1];
  EXPECT_NE(nonce1, nonce2);
  // The old nonce is forgotten.
  r = c.request(describe + authorization("DESCRIBE", url(), nonce1, "secret") + "\r\n");
  ASSERT_TRUE(std::regex_search(r, m, challenge)) << r;
  std::string nonce3 = m[1];
  // The right answer, fields in another order and without blanks.
  std::string resp =
      computeDigestResponse("alice", "LIVE555 Streaming Media", "secret", False, nonce3, "DESCRIBE", url());
  r = c.request(describe + "Authorization: Digest response=\"" + resp + "\",uri=\"" + url() + "\",nonce=\"" + nonce3 +
                "\",realm=\"LIVE555 Streaming Media\",username=\"alice\",qop=\"x\"\r\n\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  // The nonce stays valid on the connection.
  r = c.request(describe + authorization("DESCRIBE", url(), nonce3, "secret") + "\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  // The check comes before the stream lookup.
  r = c.request("DESCRIBE rtsp://127.0.0.1:18565/none RTSP/1.0\r\nCSeq: 3\r\n\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401") << r;
  ASSERT_TRUE(std::regex_search(r, m, challenge));
  std::string nonce4 = m[1];
  // SETUP without a session is checked; inside the session requests go by id.
  std::string setup =
      "SETUP " + url("/track1") + " RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP;unicast;client_port=42000-42001\r\n";
  r = c.request(setup + "\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
  ASSERT_TRUE(std::regex_search(r, m, challenge));
  r = c.request(setup + authorization("SETUP", url("/track1"), m[1], "secret") + "\r\n");
  EXPECT_EQ(r.substr(0, 15), "RTSP/1.0 200 OK") << r;
  std::string id = sessionId(r);
  EXPECT_NE(nonce4, "");
  EXPECT_EQ(play(c, 5, id).substr(0, 15), "RTSP/1.0 200 OK");
  // A new connection starts without a nonce.
  RawClient d(loop, port);
  r = d.request(describe + authorization("DESCRIBE", url(), nonce3, "secret") + "\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
  // No user in the database: never accepted.
  ASSERT_TRUE(std::regex_search(r, m, challenge));
  r = d.request(describe +
                std::regex_replace(authorization("DESCRIBE", url(), m[1], "secret"), std::regex("alice"), "mallory") +
                "\r\n");
  EXPECT_EQ(r.substr(0, 12), "RTSP/1.0 401");
}

}  // namespace
