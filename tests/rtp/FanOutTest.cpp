// Fan-out: the same bytes reach every destination whether UDP datagrams go
// one by one or segmented, and over TCP from the track's output store; the
// store keeps answers in their place, moves a reader left behind to a key
// point, and nothing is allocated per packet or per burst, SRTP's protection
// step included (each packet protected once for all its destinations).

#include <atomic>
#include <cstdlib>
#include <new>

#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "InterleavedSocketWriter.hh"
#include "RtpTestSupport.hh"
#include "SRTPFanOut.hh"
#include "SimpleRTPSink.hh"
#include "TrackOutputStore.hh"

// Every heap allocation of this test program, counted. (GCC takes the
// malloc/free pair inside these replacements for a mismatch.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<unsigned long> gAllocations{0};
}
void* operator new(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

using namespace rtptest;

namespace {

struct Packet {
  std::vector<uint8_t> payload;
  bool marker;
};

// The packets RFC 6184 gives for these NAL units as this server sends them:
// one NAL unit per packet up to 1444 bytes, else FU-A fragments that fill
// the packet; the marker on the last packet of each picture (one slice each).
std::vector<Packet> referencePackets(std::vector<std::vector<uint8_t>> const& nals) {
  std::vector<Packet> out;
  for (auto const& nal : nals) {
    unsigned const type = nal[0] & 0x1F;
    bool const endsPicture = type == 1 || type == 5;
    if (nal.size() <= 1444) {
      out.push_back(Packet{nal, endsPicture});
      continue;
    }
    for (size_t pos = 1; pos < nal.size();) {
      size_t const n = std::min<size_t>(1442, nal.size() - pos);
      bool const first = pos == 1, last = pos + n == nal.size();
      std::vector<uint8_t> p = {uint8_t((nal[0] & 0xE0) | 28), uint8_t((first ? 0x80 : 0) | (last ? 0x40 : 0) | type)};
      p.insert(p.end(), nal.begin() + long(pos), nal.begin() + long(pos + n));
      out.push_back(Packet{p, last && endsPicture});
      pos += n;
    }
  }
  return out;
}

class FanOutTest : public LoopTest {
protected:
  void TearDown() override {
    Groupsock::setSegmentationOffloadAllowed(true);
    LoopTest::TearDown();
  }
};

TEST_F(FanOutTest, SameBytesPerDestinationOverUdpWithAndWithoutOffloadAndOverTcp) {
  std::vector<uint8_t> stream = generatedVideo("h264", 2);
  ASSERT_FALSE(stream.empty()) << "ffmpeg could not make the test stream";
  std::vector<Packet> const expected = referencePackets(splitAnnexB(stream));
  std::vector<std::vector<uint8_t>> previousRun;
  enum Mode { Offload, Plain, Refused };
  for (Mode mode : {Offload, Plain, Refused}) {
    SCOPED_TRACE(mode == Offload ? "segmentation offload" : mode == Plain ? "plain datagrams" : "offload refused");
    Groupsock::setSegmentationOffloadAllowed(mode != Plain);
    Groupsock gs(*env, Port(0));
    if (mode == Refused) {
      // Without UDP checksums the kernel refuses segmented sends (EINVAL),
      // as a kernel or a device without the offload would.
      int on = 1;
      ASSERT_EQ(setsockopt(gs.socketNum(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
    }
    UdpReceiver a(*env), b(*env), c(*env, AF_INET6);  // c: an IPv6 client beside them
    gs.addDestination(a.loopback(), Port(a.port()), 1);
    gs.addDestination(b.loopback(), Port(b.port()), 2);
    gs.addDestination(c.address(), Port(c.port()), 3);
    TcpPair tcp;
    InterleavedSocketWriter writer(*env, tcp.server);
    InterleavedReader reader;
    ChunkSource* input = ChunkSource::createNew(*env);
    addInChunks(input, stream, 4096);
    H264VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, input, False, False);
    H264VideoRTPSink* sink = H264VideoRTPSink::createNew(*env, &gs, 96);
    sink->setStreamSocket(&writer, 0);
    bool ended = false;
    ASSERT_TRUE(sink->startPlaying(
        *framer, [](void* cd) { *static_cast<bool*>(cd) = true; }, &ended));
    ASSERT_TRUE(runUntil(
        [&] {
          reader.drain(tcp.client);
          size_t const n = sink->packetCount();
          return ended && a.packets.size() == n && b.packets.size() == n && c.packets.size() == n &&
                 reader.frames.size() == n;
        },
        10000));
    EXPECT_FALSE(reader.torn);

    // Every destination got the very same packets.
    ASSERT_EQ(a.packets.size(), expected.size());
    EXPECT_EQ(a.packets, b.packets);
    EXPECT_EQ(a.packets, c.packets);
    for (size_t i = 0; i < reader.frames.size(); ++i) {
      EXPECT_EQ(reader.frames[i].channel, 0u);
      EXPECT_EQ(reader.frames[i].data, a.packets[i]) << "packet " << i << " over TCP";
    }
    // And they are the packets of the payload format, in order.
    uint32_t unitTimestamp = 0;
    bool newUnit = true;
    for (size_t i = 0; i < a.packets.size(); ++i) {
      RtpHeader h;
      ASSERT_TRUE(parseRtp(a.packets[i], h));
      EXPECT_EQ(h.seq, uint16_t(sink->currentSeqNo() - expected.size() + i)) << i;
      EXPECT_EQ(h.ssrc, sink->SSRC());
      EXPECT_EQ(h.payload, expected[i].payload) << "packet " << i;
      EXPECT_EQ(h.marker, expected[i].marker) << "packet " << i;
      if (!newUnit) {
        EXPECT_EQ(h.timestamp, unitTimestamp) << "one timestamp per access unit";
      }
      unitTimestamp = h.timestamp;
      newUnit = h.marker;
    }
    // Both runs sent the same payloads and markers (the SSRC, the first
    // sequence number and the timestamp base are random per sink).
    std::vector<std::vector<uint8_t>> run;
    for (auto const& p : a.packets) {
      std::vector<uint8_t> v(p.begin() + 12, p.end());
      v.push_back(p[1] & 0x80);
      run.push_back(v);
    }
    if (!previousRun.empty()) {
      EXPECT_EQ(run, previousRun);
    }
    previousRun = run;
    if (mode == Offload) {
      EXPECT_TRUE(gs.usesSegmentationOffload()) << "this kernel has UDP_SEGMENT";
      EXPECT_GT(gs.numSegmentedSends(), 0u) << "the fragments of a key frame went segmented";
    } else {
      EXPECT_FALSE(gs.usesSegmentationOffload());
      EXPECT_EQ(gs.numSegmentedSends(), 0u);
    }
    EXPECT_EQ(gs.numSendFailures(), 0u);
    sink->removeStreamSocket(&writer, 0);
    Medium::close(sink);
    Medium::close(framer);
  }
}

// A standalone store with a reader on a TCP pair whose socket fills quickly.
class StoreTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    int small = 4096;
    setsockopt(tcp.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(tcp.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  // A packet whose first payload byte tells what it is, its bytes 2-3 a number.
  void append(unsigned number, char what, unsigned size, bool startsUnit, bool keyPoint,
              TrackOutputStore::Kind kind = TrackOutputStore::Kind::RTP) {
    std::vector<uint8_t> p(size, uint8_t(number));
    p[0] = 0x80;
    p[2] = uint8_t(number >> 8);
    p[3] = uint8_t(number);
    p[12] = uint8_t(what);
    store->append(kind, p.data(), unsigned(p.size()), startsUnit, keyPoint);
  }
  TcpPair tcp;
  std::unique_ptr<TrackOutputStore> store;
};

TEST_F(StoreTest, AnAnswerKeepsItsPlaceAmongStoredPackets) {
  store = std::make_unique<TrackOutputStore>();
  InterleavedSocketWriter writer(*env, tcp.server);
  writer.attachStore(*store, TrackOutputStore::Kind::RTP, 2);
  writer.attachStore(*store, TrackOutputStore::Kind::RTCP, 3);
  unsigned n = 0;
  while (writer.queuedBytes() == 0 && n < 1000) {  // until the socket is full
    append(n++, 'a', 1000, true, true);
    store->commit();
  }
  ASSERT_GT(writer.queuedBytes(), 0u);
  unsigned const before = n;
  for (int i = 0; i < 20; ++i) append(n++, 'a', 1000, true, true);
  store->commit();
  char const answer[] = "RTSP/1.0 200 OK\r\nCSeq: 7\r\n\r\n";
  ASSERT_TRUE(writer.writeData(reinterpret_cast<uint8_t const*>(answer), sizeof answer - 1));
  append(n++, 'r', 60, false, false, TrackOutputStore::Kind::RTCP);
  for (int i = 0; i < 20; ++i) append(n++, 'b', 1000, true, true);
  store->commit();

  std::vector<uint8_t> all;
  ASSERT_TRUE(runUntil([&] {
    uint8_t buf[65536];
    ssize_t got;
    while ((got = recv(tcp.client, buf, sizeof buf, MSG_DONTWAIT)) > 0) all.insert(all.end(), buf, buf + got);
    return writer.queuedBytes() == 0;
  }));
  // Frames up to the answer, the answer, then frames: none of them torn.
  std::string const text(all.begin(), all.end());
  size_t const at = text.find(answer);
  ASSERT_NE(at, std::string::npos);
  InterleavedReader first, second;
  first.feed(all.data(), at);
  second.feed(all.data() + at + sizeof answer - 1, all.size() - at - (sizeof answer - 1));
  EXPECT_FALSE(first.torn || second.torn);
  EXPECT_TRUE(first.pending.empty());
  ASSERT_EQ(first.frames.size(), before + 20u) << "everything stored before the answer went before it";
  ASSERT_EQ(second.frames.size(), 21u);
  EXPECT_EQ(second.frames[0].channel, 3u) << "RTCP on its own channel, in its place";
  EXPECT_EQ(second.frames[0].data[12], 'r');
  for (size_t i = 0; i < first.frames.size(); ++i) EXPECT_EQ(first.frames[i].channel, 2u);
  for (size_t i = 1; i < second.frames.size(); ++i) EXPECT_EQ(second.frames[i].data[12], 'b');
  EXPECT_EQ(writer.numDroppedFrames(), 0u);
}

TEST_F(StoreTest, AReaderLeftBehindTheWindowResumesAtTheStartOfAKeyUnit) {
  TrackOutputStore::Window window;
  window.bytes = 64 * 1024;
  store = std::make_unique<TrackOutputStore>(window);
  InterleavedSocketWriter writer(*env, tcp.server, 16u << 20);  // only the store's window limits it
  writer.attachStore(*store, TrackOutputStore::Kind::RTP, 0);
  // Units of ten packets: a parameter-set packet opens each, and every fourth
  // unit is found to be a key unit only by its second packet (the IDR).
  unsigned n = 0;
  for (unsigned unit = 0; unit < 40; ++unit) {
    bool const key = unit % 4 == 0;
    append(n++, 'p', 200, true, false);
    append(n++, key ? 'I' : 's', 1400, false, false);
    if (key) store->markOpenUnitKeyPoint();
    for (int i = 0; i < 8; ++i) append(n++, 's', 1400, false, false);
    store->commit();
    EXPECT_LE(store->backlogBytes(store->front()), window.bytes) << "the window holds";
  }
  ASSERT_GE(writer.numSkips(), 1u);
  EXPECT_GT(writer.numDroppedFrames(), 0u);

  InterleavedReader reader;
  ASSERT_TRUE(runUntil([&] {
    reader.drain(tcp.client);
    return writer.queuedBytes() == 0 && reader.frames.size() == writer.numFramesWritten();
  }));
  EXPECT_FALSE(reader.torn);
  // Continuous up to the skip; after it the first packet opens a key unit.
  size_t gapAt = 0;
  for (size_t i = 1; i < reader.frames.size() && gapAt == 0; ++i) {
    unsigned prev = (reader.frames[i - 1].data[2] << 8) | reader.frames[i - 1].data[3];
    unsigned cur = (reader.frames[i].data[2] << 8) | reader.frames[i].data[3];
    ASSERT_GT(cur, prev);
    if (cur != prev + 1) gapAt = i;
  }
  ASSERT_GT(gapAt, 0u) << "the reader skipped";
  EXPECT_EQ(reader.frames[gapAt].data[12], 'p') << "it resumes with the unit's parameter sets";
  ASSERT_GT(reader.frames.size(), gapAt + 1);
  EXPECT_EQ(reader.frames[gapAt + 1].data[12], 'I');
  EXPECT_EQ(writer.numDroppedFrames() + writer.numFramesWritten(), n);
}

TEST_F(FanOutTest, NoHeapAllocationPerPacketOrBurstInSteadyState) {
  Groupsock gs(*env, Port(0));
  UdpReceiver udpA(*env), udpB(*env);
  gs.addDestination(udpA.loopback(), Port(udpA.port()), 1);
  gs.addDestination(udpB.loopback(), Port(udpB.port()), 2);
  // The receivers are drained by hand below: theirs would be the only allocations.
  scheduler->disableBackgroundHandling(udpA.socketNum());
  scheduler->disableBackgroundHandling(udpB.socketNum());
  TcpPair t1, t2;
  InterleavedSocketWriter w1(*env, t1.server), w2(*env, t2.server);
  ChunkSource* source = ChunkSource::createNew(*env, false);
  unsigned const kFrames = 400;
  source->requestedSizes.reserve(kFrames + 8);
  for (unsigned i = 0; i < kFrames; ++i)  // a multi-packet frame every fifth frame
    source->add(std::vector<uint8_t>(i % 5 == 0 ? 9000 : 700, uint8_t(i)), tv(1, int(i) * 2000), 2000);
  SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, &gs, 96, 90000, "video", "X-TEST", 1, False, True);
  sink->setStreamSocket(&w1, 0);
  sink->setStreamSocket(&w2, 2);
  // The SRTP step beside it: two SRTP destinations and an interleaved SRTP reader.
  Groupsock secureGS(*env, Port(0));
  UdpReceiver srtpA(*env), srtpB(*env);
  secureGS.addDestination(srtpA.loopback(), Port(srtpA.port()), 1);
  secureGS.addDestination(srtpB.loopback(), Port(srtpB.port()), 2);
  scheduler->disableBackgroundHandling(srtpA.socketNum());
  scheduler->disableBackgroundHandling(srtpB.socketNum());
  TcpPair t3;
  InterleavedSocketWriter w3(*env, t3.server);
  unsigned char const key[30] = {1, 2, 3};
  SRTPProtector protector;
  bool const srtp = protector.init(key);
  EXPECT_EQ(srtp, bool(OSTRA_SRTP));
  SRTPFanOut fanOut(protector, &secureGS, false);
  if (srtp) {
    fanOut.secure().addStreamSocket(&w3, 0);
    sink->rtpInterface().setTap(&fanOut);
  }
  ASSERT_TRUE(sink->startPlaying(*source, nullptr, nullptr));
  unsigned char lastA[2048], lastB[2048];
  ssize_t sizeA = 0, sizeB = 0;
  auto drain = [&] {
    uint8_t buf[65536];
    for (int fd : {t1.client, t2.client, t3.client, udpA.socketNum(), udpB.socketNum()})
      while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
      }
    for (ssize_t n; (n = recv(srtpA.socketNum(), lastA, sizeof lastA, MSG_DONTWAIT)) > 0;) sizeA = n;
    for (ssize_t n; (n = recv(srtpB.socketNum(), lastB, sizeof lastB, MSG_DONTWAIT)) > 0;) sizeB = n;
  };
  unsigned long atStart = 0;
  while (source->delivered < kFrames - 10) {
    scheduler->SingleStep(1000);
    drain();
    if (source->delivered == 100 && atStart == 0) atStart = gAllocations.load();  // warmed up
  }
  unsigned long const made = gAllocations.load() - atStart;
  EXPECT_EQ(made, 0u) << "allocations while sending " << source->delivered - 100 << " frames";
  EXPECT_GT(sink->packetCount(), 500u);
  EXPECT_EQ(w1.numDroppedFrames() + w2.numDroppedFrames() + w3.numDroppedFrames(), 0u);
  if (srtp) {
    EXPECT_EQ(fanOut.numDropped(), 0u);
    EXPECT_GT(sizeA, 12 + 10);
    EXPECT_TRUE(sizeA == sizeB && std::memcmp(lastA, lastB, size_t(sizeA)) == 0) << "one protection for both";
  }
  sink->rtpInterface().setTap(nullptr);
  Medium::close(sink);
  Medium::close(source);
}

}  // namespace
