// The RTSP server's description of its stream over real loopback sockets and
// the real event loop: creation and lookups, OPTIONS, DESCRIBE and the SDP.
#include <gtest/gtest.h>

#include <string>

#include "H265VideoRTPSink.hh"
#include "H265VideoStreamFramer.hh"
#include "ServerTestSupport.hh"

using namespace rtsptest;

namespace {

std::string const kIdentity = LIVEMEDIA_LIBRARY_IDENTITY;

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

// A producer that sends 'bytes' once, 'delayUs' after the first read request,
// and nothing more.
class LateBytesSource : public FramedSource {
public:
  LateBytesSource(UsageEnvironment& env, ToneCounters& c, std::string bytes, int64_t delayUs)
      : FramedSource(env), fC(c), fBytes(std::move(bytes)), fDelayUs(delayUs) {
    ++fC.created;
    ++fC.alive;
  }
  ~LateBytesSource() override {
    envir().taskScheduler().unscheduleDelayedTask(fTask);
    --fC.alive;
  }

protected:
  void doGetNextFrame() override {
    if (!fBytes.empty()) fTask = envir().taskScheduler().scheduleDelayedTask(fDelayUs, deliver, this);
  }

private:
  static void deliver(void* clientData) {
    auto* self = static_cast<LateBytesSource*>(clientData);
    self->fTask = nullptr;
    self->fFrameSize = static_cast<unsigned>(std::min<size_t>(self->fBytes.size(), self->fMaxSize));
    std::memcpy(self->fTo, self->fBytes.data(), self->fFrameSize);
    self->fBytes.clear();
    gettimeofday(&self->fPresentationTime, nullptr);
    afterGetting(self);
  }
  ToneCounters& fC;
  std::string fBytes;
  int64_t fDelayUs;
  TaskScheduler::TaskToken fTask = nullptr;
};

// An H.265 track whose description reads its source (parameter sets 300 ms
// late; with 'silent', none ever).
class H265SdpSubsession : public OnDemandServerMediaSubsession {
public:
  H265SdpSubsession(UsageEnvironment& env, ToneCounters& c, bool silent)
      : OnDemandServerMediaSubsession(env, True), fC(c), fSilent(silent) {
    fDescribeFromStream = True;
  }

protected:
  FramedSource* createNewStreamSource(unsigned, unsigned& estBitrate) override {
    estBitrate = 3000;
    return H265VideoStreamFramer::createNew(envir(), new LateBytesSource(envir(), fC, "", 0));
  }
  FramedSource* createDescriptionSource(unsigned& estBitrate) override {
    estBitrate = 3000;
    std::string const sets("\0\0\0\1\x40\x01\x0C\0\0\0\1\x42\x01\x01\0\0\0\1\x44\x01\xC1\0\0\0\1\x26\x01\xAF", 28);
    return H265VideoStreamFramer::createNew(envir(), new LateBytesSource(envir(), fC, fSilent ? "" : sets, 300000));
  }
  RTPSink* createNewRTPSink(Groupsock* gs, unsigned char pt, FramedSource*) override {
    return H265VideoRTPSink::createNew(envir(), gs, pt);
  }
  ToneCounters& fC;
  bool fSilent;
};

// A DESCRIBE waits for the parameter sets (the loop serves others meanwhile),
// requests behind it are answered after it, a connection that closes while it
// waits leaves nothing behind, and without sets the answer comes after 2 s
// without them.
TEST_F(RTSPServerTest, DescriptionsWaitForTheParameterSetsOfTheStream) {
  start(18559);
  ServerMediaSession* silent = ServerMediaSession::createNew(*loop.env, "ch02", nullptr, "x", False, nullptr);
  sms->addSubsession(new H265SdpSubsession(*loop.env, counters, false));
  silent->addSubsession(new H265SdpSubsession(*loop.env, counters, true));
  server->addServerMediaSession(silent);
  {
    RawClient gone(loop, port);
    ASSERT_TRUE(gone.sendText("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
    ASSERT_TRUE(loop.runUntil([&] { return counters.created == 1; }));  // its description is being read
  }                                                                     // closed while its answer waits
  RawClient c(loop, port);
  auto const t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.sendText("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 2\r\n\r\nOPTIONS * RTSP/1.0\r\nCSeq: 3\r\n\r\n"));
  std::string const described = c.response(), options = c.response();
  auto const waited = std::chrono::steady_clock::now() - t0;
  EXPECT_NE(described.find("CSeq: 2\r\n"), std::string::npos) << described;
  EXPECT_NE(described.find("\r\na=rtpmap:97 H265/90000\r\na=fmtp:97 sprop-vps=QAEM;sprop-sps=QgEB;sprop-pps=RAHB\r\n"),
            std::string::npos)
      << described;
  EXPECT_NE(options.find("CSeq: 3\r\n"), std::string::npos) << options;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  // Stored: a later description does not wait.
  EXPECT_NE(c.request("DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 4\r\n\r\n").find("sprop-vps=QAEM"), std::string::npos);

  auto const t1 = std::chrono::steady_clock::now();
  std::string const none = c.request("DESCRIBE rtsp://127.0.0.1:18559/ch02 RTSP/1.0\r\nCSeq: 5\r\n\r\n", 5000);
  EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(1900));
  EXPECT_NE(none.find("a=rtpmap:96 H265/90000\r\na=control:track1"), std::string::npos) << none;
  EXPECT_EQ(counters.alive, 0) << "every source read for a description is closed";
}

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
  // A track whose source cannot be had is refused for this client alone: no session is given out.
  EXPECT_EQ(normalizeDate(c.request("SETUP rtsp://127.0.0.1:18556/broken/track1 RTSP/1.0\r\nCSeq: 4\r\n"
                                    "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n")),
            "RTSP/1.0 503 Service Unavailable\r\nCSeq: 4\r\nDate: <date>\r\n\r\n");
}

}  // namespace
