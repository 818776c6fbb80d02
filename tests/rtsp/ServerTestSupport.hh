// The fixture of the RTSP server tests: a server on a loopback port with stream
// "ch01" of tone tracks, and the SETUP and PLAY requests most of them send.
#ifndef OSTRA_TESTS_RTSP_SERVER_TEST_SUPPORT_HH
#define OSTRA_TESTS_RTSP_SERVER_TEST_SUPPORT_HH

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DigestAuthentication.hh"
#include "RtspTestSupport.hh"

namespace rtsptest {

std::string const kPublic = "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";

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

}  // namespace rtsptest

#endif
