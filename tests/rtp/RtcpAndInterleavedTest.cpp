// RTCP reports, receiver-report dispatch and BYE; RTP/RTCP interleaved on TCP.

#include <netinet/tcp.h>
#include <sys/time.h>

#include <memory>

#include "InterleavedSocketWriter.hh"
#include "RTCP.hh"
#include "RtpTestSupport.hh"
#include "SimpleRTPSink.hh"

using namespace rtptest;

namespace {

std::vector<uint8_t> packetOf(unsigned seq, unsigned size) {
  std::vector<uint8_t> p(size);
  p[0] = 0x80;
  p[2] = uint8_t(seq >> 8);
  p[3] = uint8_t(seq);
  for (unsigned i = 12; i < size; ++i) p[i] = uint8_t(seq + i);
  return p;
}

class RtcpTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    receiver = std::make_unique<UdpReceiver>(*env);
    rtpGs = std::make_unique<Groupsock>(*env, Port(0));
    rtcpGs = std::make_unique<Groupsock>(*env, Port(0));
    rtcpGs->addDestination(receiver->loopback(), Port(receiver->port()), 1);
    sink = SimpleRTPSink::createNew(*env, rtpGs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  }
  void TearDown() override {
    Medium::close(rtcp);
    Medium::close(sink);
    Medium::close(source);
    rtcpGs.reset();
    rtpGs.reset();
    receiver.reset();
    LoopTest::TearDown();
  }
  void sendSomeRtp(unsigned frames) {
    UdpReceiver sinkHole(*env);
    rtpGs->addDestination(sinkHole.loopback(), Port(sinkHole.port()), 9);
    source = ChunkSource::createNew(*env);
    for (unsigned i = 0; i < frames; ++i) source->add(std::vector<uint8_t>(100 + i, 0xAB), tv(1, 0));
    bool done = false;
    ASSERT_TRUE(sink->startPlaying(
        *source, [](void* cd) { *static_cast<bool*>(cd) = true; }, &done));
    ASSERT_TRUE(runUntil([&] { return done; }));
    rtpGs->removeDestination(9);
  }
  // Checks an SR at 'p' and returns its size.
  void checkSR(std::vector<uint8_t> const& p, timeval const& before, timeval const& after) {
    ASSERT_GE(p.size(), 28u);
    EXPECT_EQ(p[0], 0x80);
    EXPECT_EQ(p[1], 200);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[3], 6);
    EXPECT_EQ(get32(&p[4]), sink->SSRC());
    uint32_t ntpSec = get32(&p[8]);
    EXPECT_GE(ntpSec, uint32_t(before.tv_sec) + 2208988800u);
    EXPECT_LE(ntpSec, uint32_t(after.tv_sec) + 2208988800u);
    uint32_t rtpTs = get32(&p[16]);
    EXPECT_LE(uint32_t(rtpTs - sink->convertToRTPTimestamp(before)),
              uint32_t(sink->convertToRTPTimestamp(after) - sink->convertToRTPTimestamp(before)));
    EXPECT_EQ(get32(&p[20]), sink->packetCount());
    EXPECT_EQ(get32(&p[24]), sink->octetCount());
  }

  std::unique_ptr<UdpReceiver> receiver;
  std::unique_ptr<Groupsock> rtpGs, rtcpGs;
  SimpleRTPSink* sink = nullptr;
  ChunkSource* source = nullptr;
  RTCPInstance* rtcp = nullptr;
};

TEST_F(RtcpTest, SenderReportWithCnameLayout) {
  sendSomeRtp(3);
  rtcp = RTCPInstance::createNew(*env, rtcpGs.get(), 3000, reinterpret_cast<unsigned char const*>("camera-1"), sink);
  EXPECT_TRUE(rtcp->isRTCPInstance());
  timeval before, after;
  gettimeofday(&before, nullptr);
  rtcp->sendReport();
  gettimeofday(&after, nullptr);
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() == 1; }));
  auto const& p = receiver->packets[0];
  EXPECT_EQ(ntohs(receiver->senders[0].sin_port), rtcpGs->port().hostOrder());
  checkSR(p, before, after);
  EXPECT_EQ(get32(&p[20]), 3u);
  EXPECT_EQ(get32(&p[24]), 100u + 101 + 102);
  // SDES: 81 ca 00 LL SSRC 01 len "camera-1" 00.. padded to 32 bits.
  ASSERT_EQ(p.size(), 28u + 4 + 4 + 2 + 8 + 2);
  uint8_t const* s = &p[28];
  EXPECT_EQ(s[0], 0x81);
  EXPECT_EQ(s[1], 202);
  EXPECT_EQ((s[2] << 8) | s[3], int((p.size() - 28) / 4 - 1));
  EXPECT_EQ(get32(s + 4), sink->SSRC());
  EXPECT_EQ(s[8], 1);
  EXPECT_EQ(s[9], 8);
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(s + 10), 8), "camera-1");
  EXPECT_EQ(s[18], 0);
  EXPECT_EQ(s[19], 0);
}

TEST_F(RtcpTest, ScheduledReportsFollowTheRandomisedInterval) {
  rtcp = RTCPInstance::createNew(*env, rtcpGs.get(), 64, reinterpret_cast<unsigned char const*>("h"), sink);
  // First interval: half the 5 s minimum, times [0.5, 1.5] / (e - 1.5).
  int64_t first = rtcp->lastScheduledInterval();
  EXPECT_GE(first, int64_t(2.5e6 * 0.5 / 1.21828) - 1);
  EXPECT_LE(first, int64_t(2.5e6 * 1.5 / 1.21828) + 1);
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() == 1; }, 4000));
  EXPECT_EQ(receiver->packets[0][1], 200);
  int64_t second = rtcp->lastScheduledInterval();
  EXPECT_GE(second, int64_t(5e6 * 0.5 / 1.21828) - 1);
  EXPECT_LE(second, int64_t(5e6 * 1.5 / 1.21828) + 1);
}

TEST_F(RtcpTest, ByeOnCloseToDestinationsStillAttached) {
  rtcp = RTCPInstance::createNew(*env, rtcpGs.get(), 3000, reinterpret_cast<unsigned char const*>("h"), sink);
  TcpPair tcp;
  InterleavedSocketWriter writer(*env, tcp.server);
  rtcp->addStreamSocket(&writer, 1);
  uint32_t ssrc = sink->SSRC();
  Medium::close(rtcp);
  rtcp = nullptr;
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() == 1; }));
  auto const& p = receiver->packets[0];
  ASSERT_EQ(p.size(), 28u + 8);
  EXPECT_EQ(p[1], 200);
  uint8_t const bye[] = {0x81, 0xcb, 0x00, 0x01};
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 28, p.begin() + 32), std::vector<uint8_t>(bye, bye + 4));
  EXPECT_EQ(get32(&p[32]), ssrc);
  InterleavedReader r;
  ASSERT_TRUE(runUntil([&] {
    r.drain(tcp.client);
    return r.frames.size() == 1;
  }));
  EXPECT_EQ(r.frames[0].channel, 1u);
  EXPECT_EQ(r.frames[0].data, p) << "the same compound packet on the interleaved channel";

  // Nobody attached: no BYE.
  rtcpGs->removeAllDestinations();
  rtcp = RTCPInstance::createNew(*env, rtcpGs.get(), 3000, reinterpret_cast<unsigned char const*>("h"), sink);
  unsigned sent = rtcp->numReportsSent();
  Medium::close(rtcp);
  rtcp = nullptr;
  EXPECT_EQ(sent, 0u);
}

struct RRCounter {
  int count = 0;
  static void onRR(void* cd) { ++static_cast<RRCounter*>(cd)->count; }
};

TEST_F(RtcpTest, ReceiverReportsReachTheirHandler) {
  rtcp = RTCPInstance::createNew(*env, rtcpGs.get(), 3000, reinterpret_cast<unsigned char const*>("h"), sink);
  UdpReceiver client(*env), stranger(*env);
  RRCounter fromClient, fromStranger;
  rtcp->setSpecificRRHandler(client.loopback(), Port(client.port()), RRCounter::onRR, &fromClient);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = rtcpGs->port().num();
  auto sendFrom = [&](UdpReceiver& from, std::vector<uint8_t> const& pkt) {
    sendto(from.socketNum(), pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  std::vector<uint8_t> rr = {0x80, 201, 0, 1, 1, 2, 3, 4};
  std::vector<uint8_t> rrSdes = {0x80, 201, 0, 1, 1, 2, 3, 4, 0x81, 202, 0, 2, 1, 2, 3, 4, 1, 1, 'x', 0};
  std::vector<uint8_t> srOnly = {0x80, 200, 0, 6, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0,
                                 0,    0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> broken = {0x80, 201, 0, 9, 1, 2, 3, 4};
  sendFrom(client, rr);
  ASSERT_TRUE(runUntil([&] { return fromClient.count == 1; }));
  sendFrom(client, rrSdes);
  ASSERT_TRUE(runUntil([&] { return fromClient.count == 2; }));
  sendFrom(stranger, rr);  // no handler for this port
  sendFrom(client, srOnly);
  sendFrom(client, broken);
  ASSERT_TRUE(runUntil([&] { return rtcp->numPacketsReceived() == 5; }));
  EXPECT_EQ(fromClient.count, 2);
  EXPECT_EQ(fromStranger.count, 0);
  rtcp->unsetSpecificRRHandler(client.loopback(), Port(client.port()), &fromClient);
  sendFrom(client, rr);
  ASSERT_TRUE(runUntil([&] { return rtcp->numPacketsReceived() == 6; }));
  EXPECT_EQ(fromClient.count, 2);

  // Two sessions naming one address and port: the newer hears the reports;
  // the end of either leaves the other's handler in place.
  RRCounter older, newer;
  rtcp->setSpecificRRHandler(client.loopback(), Port(client.port()), RRCounter::onRR, &older);
  rtcp->setSpecificRRHandler(client.loopback(), Port(client.port()), RRCounter::onRR, &newer);
  sendFrom(client, rr);
  ASSERT_TRUE(runUntil([&] { return newer.count == 1; }));
  rtcp->unsetSpecificRRHandler(client.loopback(), Port(client.port()), &older);
  sendFrom(client, rr);
  ASSERT_TRUE(runUntil([&] { return newer.count == 2; }));
  rtcp->setSpecificRRHandler(client.loopback(), Port(client.port()), RRCounter::onRR, &older);
  rtcp->unsetSpecificRRHandler(client.loopback(), Port(client.port()), &newer);
  sendFrom(client, rr);
  ASSERT_TRUE(runUntil([&] { return older.count == 1; }));
  EXPECT_EQ(newer.count, 2);
  rtcp->unsetSpecificRRHandler(client.loopback(), Port(client.port()), &older);

  // Interleaved: by connection and channel.
  TcpPair a, b;
  InterleavedSocketWriter wa(*env, a.server), wb(*env, b.server);
  RRCounter onA;
  rtcp->setStreamRRHandler(&wa, 1, RRCounter::onRR, &onA);
  rtcp->injectReport(rr.data(), unsigned(rr.size()), &wa, 1);
  rtcp->injectReport(rrSdes.data(), unsigned(rrSdes.size()), &wa, 1);
  rtcp->injectReport(rr.data(), unsigned(rr.size()), &wa, 3);
  rtcp->injectReport(rr.data(), unsigned(rr.size()), &wb, 1);
  rtcp->injectReport(srOnly.data(), unsigned(srOnly.size()), &wa, 1);
  EXPECT_EQ(onA.count, 2);
  rtcp->unsetStreamRRHandler(&wa, 1);
  rtcp->injectReport(rr.data(), unsigned(rr.size()), &wa, 1);
  EXPECT_EQ(onA.count, 2);
}

// ------------------------------------------------------------ interleaving

class InterleavedTest : public LoopTest {};

TEST_F(InterleavedTest, FramesSplitAcrossReadsAreReassembled) {
  TcpPair tcp;
  InterleavedSocketWriter writer(*env, tcp.server);
  Groupsock gs(*env, Port(0));
  ChunkSource* source = ChunkSource::createNew(*env);
  std::vector<std::vector<uint8_t>> frames;
  for (unsigned i = 0; i < 10; ++i) {
    frames.push_back(std::vector<uint8_t>(300 + 500 * i, uint8_t(i)));
    source->add(frames.back(), tv(1, int(i) * 1000));
  }
  SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, &gs, 96, 90000, "video", "X-TEST", 1, False, True);
  sink->setStreamSocket(&writer, 4);
  bool done = false;
  ASSERT_TRUE(sink->startPlaying(
      *source, [](void* cd) { *static_cast<bool*>(cd) = true; }, &done));
  InterleavedReader reader;
  ASSERT_TRUE(runUntil([&] {
    reader.drain(tcp.client, 7);  // 7 bytes per read: every header and packet is cut
    return done && reader.frames.size() == sink->packetCount();
  }));
  EXPECT_FALSE(reader.torn);
  std::vector<uint8_t> joined, expected;
  for (auto const& f : frames) expected.insert(expected.end(), f.begin(), f.end());
  uint16_t seq = 0;
  for (size_t i = 0; i < reader.frames.size(); ++i) {
    auto const& f = reader.frames[i];
    EXPECT_EQ(f.channel, 4u);
    EXPECT_LE(f.data.size(), 1456u) << "the packet size limit holds over TCP too";
    RtpHeader h;
    ASSERT_TRUE(parseRtp(f.data, h));
    if (i > 0) {
      EXPECT_EQ(h.seq, uint16_t(seq + 1));
    }
    seq = h.seq;
    joined.insert(joined.end(), h.payload.begin(), h.payload.end());
  }
  EXPECT_EQ(joined, expected);
  sink->removeStreamSocket(&writer, 4);
  EXPECT_EQ(sink->rtpInterface().numStreamSockets(), 0u);
  Medium::close(sink);
  Medium::close(source);
}

TEST_F(InterleavedTest, ASlowClientLosesWholeFramesAndDelaysNoOne) {
  TcpPair fast, slow;
  int small = 16384;
  setsockopt(slow.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(slow.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  InterleavedSocketWriter fastWriter(*env, fast.server);
  InterleavedSocketWriter slowWriter(*env, slow.server, 0 /* the smallest queue: one largest frame */);
  Groupsock gs(*env, Port(0));
  UdpReceiver udp(*env);
  gs.addDestination(udp.loopback(), Port(udp.port()), 1);
  RTPInterface out(&gs);
  out.addStreamSocket(&slowWriter, 0);
  out.addStreamSocket(&fastWriter, 2);

  InterleavedReader fastReader;
  unsigned const kPackets = 2000;
  int64_t longestSend = 0;
  for (unsigned i = 0; i < kPackets; ++i) {
    auto p = packetOf(i, 1456);
    int64_t t0 = monoMicros();
    out.sendPacket(p.data(), unsigned(p.size()));
    longestSend = std::max(longestSend, monoMicros() - t0);
    if (i % 16 == 15) {
      ASSERT_TRUE(runUntil([&] {
        fastReader.drain(fast.client);
        return fastReader.frames.size() == i + 1 && udp.packets.size() == i + 1;
      })) << "packet "
          << i;
    }
  }
  EXPECT_EQ(fastReader.frames.size(), kPackets) << "the fast client got everything";
  EXPECT_FALSE(fastReader.torn);
  EXPECT_EQ(fastWriter.numDroppedFrames(), 0u);
  EXPECT_GT(slowWriter.numDroppedFrames(), 0u) << "the slow client lost packets";
  EXPECT_LT(longestSend, 100000) << "sending never waits for a client";

  // What the slow client finally reads is a run of whole frames.
  InterleavedReader slowReader;
  ASSERT_TRUE(runUntil([&] {
    slowReader.drain(slow.client);
    return slowWriter.queuedBytes() == 0 && slowReader.frames.size() == slowWriter.numFramesWritten();
  }));
  EXPECT_FALSE(slowReader.torn);
  EXPECT_TRUE(slowReader.pending.empty());
  unsigned prev = 0;
  for (size_t i = 0; i < slowReader.frames.size(); ++i) {
    auto const& f = slowReader.frames[i];
    ASSERT_EQ(f.data.size(), 1456u);
    unsigned seq = (f.data[2] << 8) | f.data[3];
    EXPECT_EQ(f.data, packetOf(seq, 1456));
    if (i > 0) {
      EXPECT_GT(seq, prev);
    }
    prev = seq;
  }
  std::printf("[ measured ] slow client: %u of %u frames written, %u dropped; longest sendPacket %lld us\n",
              slowWriter.numFramesWritten(), kPackets, slowWriter.numDroppedFrames(),
              static_cast<long long>(longestSend));
}

TEST_F(InterleavedTest, OtherBytesNeverCutIntoAFrameAndAGonePeerFails) {
  TcpPair tcp;
  int small = 4096;
  setsockopt(tcp.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(tcp.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  InterleavedSocketWriter writer(*env, tcp.server, 300000);
  unsigned i = 0;
  while (writer.queuedBytes() == 0 && i < 1000) {
    auto p = packetOf(i++, 1456);
    ASSERT_TRUE(writer.writeInterleavedFrame(0, p.data(), unsigned(p.size())));
  }
  ASSERT_GT(writer.queuedBytes(), 0u) << "the socket is full and a frame is half written";
  char const reply[] = "RTSP/1.0 200 OK\r\nCSeq: 9\r\n\r\n";
  ASSERT_TRUE(writer.writeData(reinterpret_cast<uint8_t const*>(reply), sizeof reply - 1));
  // Read everything: frames, then the reply right after a frame boundary.
  std::vector<uint8_t> all;
  ASSERT_TRUE(runUntil([&] {
    uint8_t buf[65536];
    ssize_t n;
    while ((n = recv(tcp.client, buf, sizeof buf, MSG_DONTWAIT)) > 0) all.insert(all.end(), buf, buf + n);
    return writer.queuedBytes() == 0 && all.size() == size_t(i) * 1460 + sizeof reply - 1;
  }));
  InterleavedReader r;
  r.feed(all.data(), size_t(i) * 1460);
  EXPECT_FALSE(r.torn);
  EXPECT_EQ(r.frames.size(), i);
  EXPECT_EQ(std::string(all.end() - (sizeof reply - 1), all.end()), reply);

  // The peer goes away: writes fail (no SIGPIPE), nothing blocks.
  close(tcp.client);
  tcp.client = -1;
  auto p = packetOf(0, 200);
  bool failed = false;
  for (int k = 0; k < 100 && !failed; ++k) {
    failed = !writer.writeInterleavedFrame(0, p.data(), unsigned(p.size()));
    scheduler->SingleStep(1000);
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(writer.failed());
}

}  // namespace
