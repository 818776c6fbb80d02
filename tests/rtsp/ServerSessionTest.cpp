// RTSP sessions over UDP through the real server: SETUP, PLAY, PAUSE, the
// parameters and TEARDOWN, streams shared by several sessions, the bounds on
// sessions, and a stream that ends.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ServerTestSupport.hh"

using namespace rtsptest;

namespace {

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

}  // namespace
