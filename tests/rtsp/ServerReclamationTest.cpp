// Reclamation by the RTSP server: silent sessions and connections end,
// receiver reports and keep-alive requests keep them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ServerTestSupport.hh"

using namespace rtsptest;

namespace {

// The clients' address of the server ("::1": over IPv6).
class ReclamationByFamily : public RTSPServerTest, public ::testing::WithParamInterface<char const*> {};

TEST_P(ReclamationByFamily, SilentClientIsReclaimedAndReceiverReportsKeepOneAlive) {
  char const* const host = GetParam();
  start(18563, 1);
  RawClient quiet(loop, port, nullptr, host), talker(loop, port, nullptr, host);
  UdpReceiver rtpQ(host), rtpT(host), rtcpT(host);
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
  RawClient probe(loop, port, nullptr, host);
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

INSTANTIATE_TEST_SUITE_P(Families, ReclamationByFamily, ::testing::Values("127.0.0.1", "::1"),
                         [](::testing::TestParamInfo<char const*> const& info) {
                           return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

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

}  // namespace
