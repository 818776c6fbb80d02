// Packetization by the RTP sinks, decoded from real packets on loopback UDP.

#include <memory>
#include <numeric>

#include "OutPacketBuffer.hh"
#include "RtpTestSupport.hh"
#include "SimpleRTPSink.hh"

using namespace rtptest;

namespace {

class RtpSinkTest : public SinkTest<SimpleRTPSink, ChunkSource> {
protected:
  void play() { ASSERT_TRUE(sink->startPlaying(*source, afterPlaying, &ended)); }

  std::vector<RtpHeader> decodeAll() {
    std::vector<RtpHeader> out;
    for (auto const& p : receiver->packets) {
      RtpHeader h;
      EXPECT_TRUE(parseRtp(p, h));
      out.push_back(h);
    }
    return out;
  }
};

std::vector<uint8_t> pattern(unsigned size, unsigned seed) {
  std::vector<uint8_t> v(size);
  for (unsigned i = 0; i < size; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed * 13) & 0xFF);
  return v;
}

TEST_F(RtpSinkTest, HeadersSequenceAndTimestampsOfWholeFrames) {
  source = ChunkSource::createNew(*env);
  for (unsigned i = 0; i < 5; ++i) source->add(pattern(200, i), tv(1000 + i / 10, (i % 10) * 100000), 0);
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  uint16_t firstSeq = sink->currentSeqNo();
  play();
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == 5; }));
  auto pkts = decodeAll();
  ASSERT_EQ(pkts.size(), 5u);
  for (unsigned i = 0; i < pkts.size(); ++i) {
    EXPECT_EQ(pkts[i].version, 2u);
    EXPECT_FALSE(pkts[i].padding);
    EXPECT_FALSE(pkts[i].extension);
    EXPECT_EQ(pkts[i].csrcCount, 0u);
    EXPECT_EQ(pkts[i].payloadType, 96u);
    EXPECT_TRUE(pkts[i].marker) << "a video frame's last packet carries the marker";
    EXPECT_EQ(pkts[i].ssrc, sink->SSRC());
    EXPECT_EQ(pkts[i].seq, uint16_t(firstSeq + i));
    EXPECT_EQ(pkts[i].payload, pattern(200, i));
    if (i > 0) {
      EXPECT_EQ(uint32_t(pkts[i].timestamp - pkts[i - 1].timestamp), 9000u) << "100 ms at 90 kHz";
    }
  }
  EXPECT_EQ(pkts[0].timestamp, sink->convertToRTPTimestamp(tv(1000, 0)));
  EXPECT_EQ(sink->packetCount(), 5u);
  EXPECT_EQ(sink->octetCount(), 1000u);
  EXPECT_EQ(sink->currentSeqNo(), uint16_t(firstSeq + 5));
  EXPECT_EQ(sink->lastPresentationTime().tv_usec, 400000);
}

TEST_F(RtpSinkTest, LargeFrameIsSplitIntoFullPacketsWithOneTimestamp) {
  source = ChunkSource::createNew(*env);
  std::vector<uint8_t> big = pattern(4000, 3);
  source->add(big, tv(5, 0));
  source->add(pattern(10, 4), tv(5, 40000));
  sink = SimpleRTPSink::createNew(*env, gs.get(), 97, 90000, "video", "X-TEST", 1, False, True);
  play();
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == 4; }));
  auto pkts = decodeAll();
  ASSERT_EQ(pkts.size(), 4u);
  EXPECT_EQ(receiver->packets[0].size(), 1456u);
  EXPECT_EQ(receiver->packets[1].size(), 1456u);
  EXPECT_EQ(receiver->packets[2].size(), 12u + 4000 - 2 * 1444);
  std::vector<uint8_t> joined;
  for (int i = 0; i < 3; ++i) {
    joined.insert(joined.end(), pkts[i].payload.begin(), pkts[i].payload.end());
    EXPECT_EQ(pkts[i].timestamp, pkts[0].timestamp);
    EXPECT_EQ(pkts[i].marker, i == 2);
  }
  EXPECT_EQ(joined, big);
  EXPECT_EQ(uint32_t(pkts[3].timestamp - pkts[0].timestamp), 3600u);
  EXPECT_EQ(sink->octetCount(), 4010u);
}

TEST_F(RtpSinkTest, AudioFramesShareAPacketAndMarkerStaysClear) {
  source = ChunkSource::createNew(*env);
  for (unsigned i = 0; i < 20; ++i) source->add(pattern(160, i), tv(50, i * 20000), 20000);
  sink = SimpleRTPSink::createNew(*env, gs.get(), 0, 8000, "audio", "PCMU", 1, True, True);
  char* rtpmap = sink->rtpmapLine();
  EXPECT_STREQ(rtpmap, "") << "static payload type: no rtpmap";
  delete[] rtpmap;
  EXPECT_STREQ(sink->sdpMediaType(), "audio");
  EXPECT_EQ(sink->auxSDPLine(), nullptr);
  play();
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == 3; }));
  auto pkts = decodeAll();
  ASSERT_EQ(pkts.size(), 3u);  // 7 + 7 frames reach 1000 bytes; the last 6 go out at the end
  unsigned total = 0;
  std::vector<uint8_t> joined, expected;
  for (unsigned i = 0; i < 20; ++i) {
    auto p = pattern(160, i);
    expected.insert(expected.end(), p.begin(), p.end());
  }
  for (auto const& p : pkts) {
    EXPECT_EQ(p.payloadType, 0u);
    EXPECT_FALSE(p.marker);
    EXPECT_LE(p.payload.size() + 12, 1456u);
    total += static_cast<unsigned>(p.payload.size());
    joined.insert(joined.end(), p.payload.begin(), p.payload.end());
  }
  EXPECT_EQ(total, 3200u);
  EXPECT_EQ(joined, expected);
  EXPECT_EQ(pkts[0].payload.size(), 1120u);
  // Each packet is stamped with its first frame: 7 frames of 20 ms = 1120 ticks.
  EXPECT_EQ(uint32_t(pkts[1].timestamp - pkts[0].timestamp), 1120u);
  // The source was never asked for more than the room left in the packet.
  for (unsigned r : source->requestedSizes) EXPECT_LE(r, 1444u);
}

TEST_F(RtpSinkTest, PacketsArePacedByFrameDurations) {
  source = ChunkSource::createNew(*env);
  for (unsigned i = 0; i < 6; ++i) source->add(pattern(100, i), tv(9, i * 50000), 50000);
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  int64_t start = monoMicros();
  play();
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == 6; }));
  auto const& t = receiver->arrivals;
  ASSERT_EQ(t.size(), 6u);
  // Packet k goes out no earlier than start + k * 50 ms.
  for (unsigned k = 1; k < 6; ++k) EXPECT_GE(t[k] - start, int64_t(k) * 50000) << "packet " << k;
}

TEST_F(RtpSinkTest, BehindScheduleSendsAtOnce) {
  // A source that delivers late (the frames say 1 ms each, they come every
  // 30 ms): nothing is added on top of the source's own pace.
  source = ChunkSource::createNew(*env, false);
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  play();
  int64_t start = monoMicros();
  for (unsigned i = 0; i < 4; ++i) {
    // Let the sink wait for data, then hand it a frame.
    runUntil([&] { return monoMicros() - start >= int64_t(i + 1) * 30000; }, 1000);
    source->add(pattern(50, i), tv(1, i * 1000), 1000);
    int64_t added = monoMicros();
    ASSERT_TRUE(runUntil([&] { return receiver->packets.size() == i + 1; }));
    EXPECT_LT(receiver->arrivals[i] - added, 25000) << "a sink behind its schedule does not wait";
  }
}

TEST_F(RtpSinkTest, TimestampArithmeticAndRandomStart) {
  sink = SimpleRTPSink::createNew(*env, gs.get(), 0, 8000, "audio", "PCMU", 1, True, True);
  SimpleRTPSink* video = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST");
  // Late in the 32-bit range of seconds * 90000: 64-bit arithmetic keeps the steps exact.
  for (long sec : {0L, 47721L, 1800000000L, 2100000000L}) {
    EXPECT_EQ(uint32_t(video->convertToRTPTimestamp(tv(sec, 100000)) - video->convertToRTPTimestamp(tv(sec, 0))),
              9000u);
    EXPECT_EQ(uint32_t(video->convertToRTPTimestamp(tv(sec + 1, 0)) - video->convertToRTPTimestamp(tv(sec, 0))),
              90000u);
    EXPECT_EQ(uint32_t(sink->convertToRTPTimestamp(tv(sec, 20000)) - sink->convertToRTPTimestamp(tv(sec, 0))), 160u);
  }
  // Rounding to the nearest tick: 5.5 us is half a tick at 90 kHz.
  EXPECT_EQ(uint32_t(video->convertToRTPTimestamp(tv(0, 6)) - video->convertToRTPTimestamp(tv(0, 0))), 1u);
  EXPECT_EQ(uint32_t(video->convertToRTPTimestamp(tv(0, 5)) - video->convertToRTPTimestamp(tv(0, 0))), 0u);
  // Random per sink (a collision of all three has odds of 2^-80).
  EXPECT_FALSE(sink->SSRC() == video->SSRC() && sink->currentSeqNo() == video->currentSeqNo() &&
               sink->convertToRTPTimestamp(tv(0, 0)) == video->convertToRTPTimestamp(tv(0, 0)));
  // "now" on the RTP clock.
  timeval now;
  gettimeofday(&now, nullptr);
  uint32_t preset = video->presetNextTimestamp();
  EXPECT_LT(uint32_t(preset - video->convertToRTPTimestamp(now)), 9000u);
  char* rtpmap = video->rtpmapLine();
  EXPECT_STREQ(rtpmap, "a=rtpmap:96 X-TEST/90000\r\n");
  delete[] rtpmap;
  EXPECT_STREQ(video->sdpMediaType(), "video");
  Medium::close(video);
}

TEST_F(RtpSinkTest, FrameBufferFollowsOutPacketBufferMaxSize) {
  EXPECT_EQ(OutPacketBuffer::maxSize, 60000u);
  unsigned saved = OutPacketBuffer::maxSize;
  OutPacketBuffer::maxSize = 5000;
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  OutPacketBuffer::maxSize = saved;
  EXPECT_EQ(sink->frameBufferSize(), 5000u);
  source = ChunkSource::createNew(*env);
  source->add(pattern(6000, 1), tv(1, 0));
  play();
  ASSERT_TRUE(runUntil([&] { return ended; }));
  EXPECT_EQ(sink->numTruncatedFrames(), 1u);
  EXPECT_EQ(sink->octetCount(), 5000u);
  EXPECT_EQ(source->requestedSizes.at(0), 5000u);
}

TEST_F(RtpSinkTest, StopPlayingStopsPacketsAndAllowsRestart) {
  source = ChunkSource::createNew(*env, false);
  for (unsigned i = 0; i < 50; ++i) source->add(pattern(100, i), tv(1, i * 10000), 100000);
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  play();
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() >= 1; }));
  sink->stopPlaying();
  EXPECT_EQ(sink->source(), nullptr);
  size_t count = receiver->packets.size();
  runFor(150);
  EXPECT_EQ(receiver->packets.size(), count) << "nothing after stopPlaying";
  EXPECT_FALSE(source->isCurrentlyAwaitingData());
  play();
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() > count; }));
  RtpHeader a, b;
  parseRtp(receiver->packets[count - 1], a);
  parseRtp(receiver->packets[count], b);
  EXPECT_EQ(uint16_t(a.seq + 1), b.seq) << "sequence numbers continue across a restart";
}

TEST_F(RtpSinkTest, GroupsockSendsToEveryDestinationOnce) {
  UdpReceiver second(*env);
  gs->addDestination(second.loopback(), Port(second.port()), 2);
  gs->addDestination(receiver->loopback(), Port(receiver->port()), 3);  // same address and port: sent to once
  EXPECT_EQ(gs->numDestinations(), 2u);
  source = ChunkSource::createNew(*env);
  source->add(pattern(100, 1), tv(1, 0));
  source->add(pattern(100, 2), tv(1, 0));
  sink = SimpleRTPSink::createNew(*env, gs.get(), 96, 90000, "video", "X-TEST", 1, False, True);
  play();
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == 2 && second.packets.size() == 2; }));
  EXPECT_EQ(receiver->packets, second.packets);
  EXPECT_EQ(ntohs(receiver->senders[0].sin_port), gs->port().hostOrder());
  gs->removeDestination(2);
  EXPECT_EQ(gs->numDestinations(), 1u);
  EXPECT_EQ(gs->destinations()[0].sessionId, 1u);
  // Session 3 keeps the address and port that session 1 named first.
  gs->removeDestination(1);
  EXPECT_EQ(gs->numDestinations(), 1u);
  size_t before = receiver->packets.size();
  unsigned char datagram[20] = {0x80};
  EXPECT_TRUE(gs->output(*env, datagram, sizeof datagram));
  ASSERT_TRUE(runUntil([&] { return receiver->packets.size() == before + 1; }));
  gs->removeDestination(3);
  EXPECT_EQ(gs->numDestinations(), 0u);
  gs->addDestination(second.loopback(), Port(second.port()), 4);
  gs->removeAllDestinations();
  EXPECT_EQ(gs->numDestinations(), 0u);
}

}  // namespace
