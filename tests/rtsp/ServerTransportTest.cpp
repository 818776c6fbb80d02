// The transports the RTSP server sets up: variants of SETUP, interleaved
// channels on one connection, an interleaved client that stops reading, and
// transports it cannot serve.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerTestSupport.hh"

using namespace rtsptest;

namespace {

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

}  // namespace
