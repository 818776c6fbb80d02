// The MPEG-4 discrete framer and sink (RFC 6416), and the u-law filter.

#include <cmath>
#include <memory>

#include "MPEG4ESVideoRTPSink.hh"
#include "MPEG4VideoStreamDiscreteFramer.hh"
#include "RtpTestSupport.hh"
#include "SimpleRTPSink.hh"
#include "uLawAudioFilter.hh"

using namespace rtptest;

namespace {

// Frames of an MPEG-4 elementary stream: everything up to and including the
// first VOP is frame 0; each later VOP start code begins a frame.
std::vector<std::vector<uint8_t>> splitM4v(std::vector<uint8_t> const& d, std::vector<uint8_t>& config) {
  std::vector<size_t> vops;
  for (size_t i = 0; i + 3 < d.size(); ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0xB6) vops.push_back(i);
  }
  std::vector<std::vector<uint8_t>> frames;
  if (vops.empty()) return frames;
  config.assign(d.begin(), d.begin() + vops[0]);
  for (size_t k = 0; k < vops.size(); ++k) {
    size_t begin = k == 0 ? 0 : vops[k];
    size_t end = k + 1 < vops.size() ? vops[k + 1] : d.size();
    frames.emplace_back(d.begin() + begin, d.begin() + end);
  }
  return frames;
}

class Mpeg4Test : public SinkTest<MPEG4ESVideoRTPSink, MPEG4VideoStreamDiscreteFramer> {
protected:
  void stream(bool leaveTimes, std::vector<std::vector<uint8_t>> const& frames) {
    ChunkSource* input = ChunkSource::createNew(*env);
    // Every chunk carries the same time: only the framer's VOP timing can tell them apart.
    for (auto const& f : frames) input->add(f, tv(100, 0), 0);
    source = MPEG4VideoStreamDiscreteFramer::createNew(*env, input, leaveTimes);
    sink = MPEG4ESVideoRTPSink::createNew(*env, gs.get(), 96, 90000);
    EXPECT_EQ(sink->auxSDPLine(), nullptr) << "no configuration seen yet";
    ASSERT_TRUE(sink->startPlaying(*source, afterPlaying, &ended));
    ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == sink->packetCount(); }, 10000));
  }
};

TEST_F(Mpeg4Test, FramesConfigAndVopTiming) {
  std::vector<uint8_t> config;
  auto frames = splitM4v(generatedVideo("m4v", 1), config);
  ASSERT_EQ(frames.size(), 25u);
  stream(false, frames);

  // Reassemble frames: the marker ends each one.
  std::vector<std::vector<uint8_t>> got(1);
  std::vector<uint32_t> frameTs;
  uint32_t ts = 0;
  bool first = true;
  for (auto const& p : receiver->packets) {
    RtpHeader h;
    ASSERT_TRUE(parseRtp(p, h));
    EXPECT_LE(p.size(), 1456u);
    if (first) ts = h.timestamp;
    EXPECT_EQ(h.timestamp, ts) << "one timestamp per frame";
    first = false;
    got.back().insert(got.back().end(), h.payload.begin(), h.payload.end());
    if (h.marker) {
      frameTs.push_back(h.timestamp);
      got.emplace_back();
      first = true;
    }
  }
  got.pop_back();
  ASSERT_EQ(got.size(), frames.size());
  EXPECT_EQ(got, frames);
  // 25 frames per second from the VOP time increments: 3600 ticks apart.
  for (size_t i = 1; i < frameTs.size(); ++i) EXPECT_EQ(uint32_t(frameTs[i] - frameTs[i - 1]), 3600u) << i;
  EXPECT_EQ(source->vopTimeIncrementResolution(), 25u);

  char hexConfig[1024] = "";
  for (size_t i = 0; i < config.size(); ++i) std::snprintf(hexConfig + 2 * i, 3, "%02X", config[i]);
  std::string expected = "a=fmtp:96 profile-level-id=" + std::to_string(config[4]) + ";config=" + hexConfig + "\r\n";
  ASSERT_NE(sink->auxSDPLine(), nullptr);
  EXPECT_EQ(std::string(sink->auxSDPLine()), expected);
  char* rtpmap = sink->rtpmapLine();
  EXPECT_STREQ(rtpmap, "a=rtpmap:96 MP4V-ES/90000\r\n");
  delete[] rtpmap;
}

TEST_F(Mpeg4Test, PresentationTimesLeftAloneWhenAsked) {
  std::vector<uint8_t> config;
  auto frames = splitM4v(generatedVideo("m4v", 1), config);
  frames.resize(5);
  stream(true, frames);
  RtpHeader a, b;
  parseRtp(receiver->packets.front(), a);
  parseRtp(receiver->packets.back(), b);
  EXPECT_EQ(a.timestamp, b.timestamp);
}

TEST_F(Mpeg4Test, GarbageDoesNotUpsetTheFramer) {
  std::vector<std::vector<uint8_t>> frames;
  uint32_t x = 12345;
  for (int k = 0; k < 40; ++k) {
    std::vector<uint8_t> f(1 + (x % 3000));
    for (auto& b : f) {
      x = x * 1103515245 + 12345;
      b = uint8_t(x >> 16);
    }
    // Sprinkle start codes (VOS, VOL, VOP) into the noise.
    if (f.size() > 12) {
      uint8_t codes[] = {0xB0, 0x20, 0xB6};
      f[0] = 0, f[1] = 0, f[2] = 1, f[3] = codes[k % 3];
      f[8] = 0, f[9] = 0, f[10] = 1, f[11] = 0xB6;
    }
    frames.push_back(f);
  }
  frames.push_back({0, 0, 1});
  frames.push_back({0});
  stream(false, frames);
  unsigned payload = 0;
  for (auto const& f : frames) payload += unsigned(f.size());
  EXPECT_EQ(sink->octetCount(), payload);
}

// ---------------------------------------------------------------- u-law

int ulawToLinear(uint8_t u) {
  u = uint8_t(~u);
  int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
  return (u & 0x80) ? (0x84 - t) : (t - 0x84);
}

TEST(ULawTest, EncodesG711) {
  EXPECT_EQ(uLawFromPCMAudioSource::linearToULaw(0), 0xFF);
  EXPECT_EQ(uLawFromPCMAudioSource::linearToULaw(-1), 0x7F);
  EXPECT_EQ(uLawFromPCMAudioSource::linearToULaw(32767), 0x80);
  EXPECT_EQ(uLawFromPCMAudioSource::linearToULaw(-32768), 0x00);
  EXPECT_EQ(uLawFromPCMAudioSource::linearToULaw(1000), 0xCE);
  EXPECT_EQ(uLawFromPCMAudioSource::linearToULaw(-1000), 0x4E);
  // Every sample decodes back to within half a step of its segment, and the
  // code is monotonic in the input.
  int prevDecoded = -40000;
  for (int x = -32635; x <= 32635; ++x) {
    uint8_t u = uLawFromPCMAudioSource::linearToULaw(int16_t(x));
    int y = ulawToLinear(u);
    int segment = ((uint8_t(~u)) >> 4) & 7;
    EXPECT_LE(std::abs(y - x), (1 << (segment + 3)) / 2 + 1) << x;
    EXPECT_GE(y, prevDecoded) << x;
    prevDecoded = y;
    if (std::abs(y - x) > (1 << (segment + 3))) break;  // keep the log short on failure
  }
}

class ULawFilterTest : public LoopTest {
protected:
  static void afterGetting(void* cd, unsigned size, unsigned, timeval pt, unsigned duration) {
    auto* self = static_cast<ULawFilterTest*>(cd);
    self->out.insert(self->out.end(), self->buf, self->buf + size);
    self->sizes.push_back(size);
    self->lastPt = pt;
    self->lastDuration = duration;
    self->pending = false;
  }
  static void onClose(void* cd) { static_cast<ULawFilterTest*>(cd)->closed = true; }
  void readAll(uLawFromPCMAudioSource* filter, unsigned maxSize) {
    while (!closed) {
      pending = true;
      filter->getNextFrame(buf, maxSize, afterGetting, this, onClose, this);
      ASSERT_TRUE(runUntil([&] { return !pending || closed; }));
    }
  }
  uint8_t buf[4096];
  std::vector<uint8_t> out;
  std::vector<unsigned> sizes;
  timeval lastPt{};
  unsigned lastDuration = 0;
  bool pending = false, closed = false;
};

TEST_F(ULawFilterTest, OddDeliveriesKeepSamplesAligned) {
  std::vector<int16_t> samples;
  for (int i = 0; i < 50; ++i) samples.push_back(int16_t(i * 1311 - 30000));
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());  // host order
  ChunkSource* pcm = ChunkSource::createNew(*env);
  // 5 + 7 + 1 + 1 + 3 + rest: odd pieces, one delivery with half a sample only.
  size_t cuts[] = {5, 7, 1, 1, 3};
  size_t pos = 0;
  for (size_t c : cuts) {
    pcm->add(std::vector<uint8_t>(bytes.begin() + pos, bytes.begin() + pos + c), tv(7, 0), 1000);
    pos += c;
  }
  pcm->add(std::vector<uint8_t>(bytes.begin() + pos, bytes.end()), tv(7, 0), 1000);
  uLawFromPCMAudioSource* filter = uLawFromPCMAudioSource::createNew(*env, pcm, 0);
  readAll(filter, 1000);
  ASSERT_EQ(out.size(), samples.size()) << "one byte per 16-bit sample";
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(out[i], uLawFromPCMAudioSource::linearToULaw(samples[i])) << i;
  for (unsigned r : pcm->requestedSizes) EXPECT_LE(r, 2000u);
  EXPECT_EQ(pcm->requestedSizes.front(), 2000u) << "asks for twice its output room";
  EXPECT_EQ(lastDuration, 1000u);
  Medium::close(filter);  // closes the PCM source too
}

TEST_F(ULawFilterTest, BigEndianInputAndSmallRequests) {
  std::vector<uint8_t> bytes;
  std::vector<int16_t> samples;
  for (int i = 0; i < 30; ++i) {
    int16_t s = int16_t(i * 2000 - 29000);
    samples.push_back(s);
    bytes.push_back(uint8_t(uint16_t(s) >> 8));
    bytes.push_back(uint8_t(s));
  }
  ChunkSource* pcm = ChunkSource::createNew(*env);
  pcm->partialDelivery = true;
  pcm->add(bytes, tv(1, 0));
  uLawFromPCMAudioSource* filter = uLawFromPCMAudioSource::createNew(*env, pcm, 2);
  readAll(filter, 4);  // 4 samples per request: the input is asked for 8 bytes
  ASSERT_EQ(out.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(out[i], uLawFromPCMAudioSource::linearToULaw(samples[i]));
  for (unsigned s : sizes) EXPECT_LE(s, 4u);
  EXPECT_EQ(uLawFromPCMAudioSource::createNew(*env, nullptr, 3), nullptr);
  Medium::close(filter);
}

TEST_F(ULawFilterTest, PcmuPacketsCarryOneBytePerSample) {
  UdpReceiver receiver(*env);
  Groupsock gs(*env, Port(0));
  gs.addDestination(receiver.loopback(), Port(receiver.port()), 1);
  ChunkSource* pcm = ChunkSource::createNew(*env);
  pcm->partialDelivery = true;
  std::vector<uint8_t> bytes(16000 * 2 + 1);  // 2 s of samples and a stray byte
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 31);
  pcm->add(bytes, tv(3, 0));
  uLawFromPCMAudioSource* filter = uLawFromPCMAudioSource::createNew(*env, pcm, 0);
  SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, &gs, 0, 8000, "audio", "PCMU", 1, True, True);
  ASSERT_TRUE(sink->startPlaying(
      *filter, [](void* cd) { *static_cast<bool*>(cd) = true; }, &closed));
  ASSERT_TRUE(runUntil([&] { return closed && receiver.packets.size() == sink->packetCount(); }));
  unsigned total = 0;
  for (auto const& p : receiver.packets) {
    RtpHeader h;
    parseRtp(p, h);
    EXPECT_EQ(h.payloadType, 0u);
    EXPECT_FALSE(h.marker);
    EXPECT_LE(p.size(), 1456u);
    total += unsigned(h.payload.size());
  }
  EXPECT_EQ(total, 16000u);
  EXPECT_EQ(sink->octetCount(), 16000u);
  Medium::close(sink);
  Medium::close(filter);
}

}  // namespace
