// The H.264 framer over the real event loop: wall-clock presentation times,
// parameter-set copies, large I-frames, truncation, the parser's limit and the
// end of the input; real x264 and x265 streams. The rules H.264 and H.265
// share are in FramerRulesTest.cpp.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "H264Bits.hh"
#include "H264TestSupport.hh"
#include "H265Bits.hh"
#include "StreamParser.hh"

using namespace h264test;

namespace {

constexpr unsigned kAuDuration = 39840;  // 1000000 / 25.1, truncated
class H264FramerTest : public H264Test {};

TEST_F(H264FramerTest, SpsAndPpsCopiesAreKeptForTheSink) {
  auto* source = new ChunkSource(*env,
                                 StreamBuilder()
                                     .nal4(spsBaseline30())
                                     .nal4(ppsBaseline())
                                     .nal4(slice(0x65, 0, 10))
                                     .nal4(spsHigh30())
                                     .nal4({0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0})
                                     .nal4(slice(0x65, 0, 10))
                                     .bytes,
                                 {0});
  H264VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, source, False, True);
  EXPECT_TRUE(framer->isH264VideoStreamFramer());
  EXPECT_EQ(framer->frameRate(), 25.1);
  uint8_t const *sps = nullptr, *pps = nullptr;
  unsigned spsSize = 1, ppsSize = 1;
  framer->getSPSandPPS(sps, spsSize, pps, ppsSize);
  EXPECT_EQ(sps, nullptr);
  EXPECT_EQ(spsSize, 0u);
  EXPECT_EQ(pps, nullptr);
  EXPECT_EQ(ppsSize, 0u);

  Collector reader;
  reader.source = framer;
  reader.framer = framer;
  std::vector<Bytes> spsSeen, ppsSeen;
  reader.check = [&](NalRecord const& u, uint8_t const*) {
    uint8_t const *s, *p;
    unsigned ss, ps;
    framer->getSPSandPPS(s, ss, p, ps);
    if (h264::nalUnitType(u.bytes[0]) == 7) spsSeen.emplace_back(s, s + ss);
    if (h264::nalUnitType(u.bytes[0]) == 8) ppsSeen.emplace_back(p, p + ps);
  };
  testing::internal::CaptureStderr();
  reader.start();
  ASSERT_TRUE(runUntil([&] { return reader.closed; }));
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(spsSeen.size(), 2u);
  EXPECT_EQ(spsSeen[0], spsBaseline30());
  EXPECT_EQ(spsSeen[1], spsHigh30());
  ASSERT_EQ(ppsSeen.size(), 2u);
  EXPECT_EQ(ppsSeen[0], ppsBaseline());
  EXPECT_EQ(ppsSeen[1], (Bytes{0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0}));
  EXPECT_EQ(framer->parsedFrameRate(), 0.0);
  EXPECT_EQ(framer->frameRate(), 25.1);
  Medium::close(framer);
}

TEST_F(H264FramerTest, WallClockTimesFollowTheParsingOfAccessUnitEnds) {
  // Picture i reaches the framer at i * 100 ms; its arrival ends picture i-1,
  // so picture i is stamped with that moment (and picture 0 with the time the
  // framer was created).
  std::vector<unsigned> chunkSizes;
  StreamBuilder b;
  b.nal4(spsBaseline30()).nal4(ppsBaseline()).nal4(slice(0x65, 0, 500));
  chunkSizes.push_back(unsigned(b.bytes.size()));
  unsigned const numPictures = 6;
  for (unsigned i = 1; i < numPictures; ++i) {
    size_t const before = b.bytes.size();
    b.nal4(slice(0x41, 0, 200, uint8_t(i)));
    chunkSizes.push_back(unsigned(b.bytes.size() - before));
  }
  std::vector<int64_t> offsets;
  for (unsigned i = 0; i < numPictures; ++i) offsets.push_back(int64_t(i) * 100000);

  struct timeval created;
  gettimeofday(&created, nullptr);
  auto* source = new ChunkSource(*env, b.bytes, chunkSizes);
  source->setSchedule(offsets);
  H264VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, source, False, True);
  struct timeval framerMade;
  gettimeofday(&framerMade, nullptr);
  Collector reader;
  reader.source = framer;
  reader.framer = framer;
  testing::internal::CaptureStderr();
  reader.start();
  ASSERT_TRUE(runUntil([&] { return reader.closed; }));
  testing::internal::GetCapturedStderr();

  // Presentation time of each picture (all its NAL units share it).
  std::vector<int64_t> pictureTimes;
  std::vector<int64_t> current;
  for (auto const& u : reader.units) {
    current.push_back(u.ptUs);
    if (u.pictureEnd) {
      for (int64_t t : current) EXPECT_EQ(t, current.front());
      pictureTimes.push_back(current.front());
      current.clear();
    }
  }
  ASSERT_EQ(pictureTimes.size(), numPictures);
  ASSERT_EQ(source->deliveryTimes.size(), numPictures);
  // The first picture is stamped when the framer is made.
  EXPECT_GE(pictureTimes[0], toMicros(created));
  EXPECT_LE(pictureTimes[0], toMicros(framerMade));
  for (unsigned i = 1; i < numPictures; ++i) {
    // Stamped when the chunk that ends the previous picture was parsed.
    EXPECT_LT(std::llabs(pictureTimes[i] - source->deliveryTimes[i]), 2000) << i;
    if (i >= 2) {
      // 90 kHz RTP ticks between pictures follow the parse times, not any
      // frame rate: 100 ms apart gives 9000 ticks (within the jitter of this
      // loaded machine's deliveries, measured by the source).
      int64_t const ticks = (pictureTimes[i] - pictureTimes[i - 1]) * 90000 / 1000000;
      int64_t const parsedApartUs = source->deliveryTimes[i] - source->deliveryTimes[i - 1];
      EXPECT_NEAR(double(ticks), double(parsedApartUs) * 0.09, 360.0) << "picture " << i;
      if (std::llabs(parsedApartUs - 100000) < 5000) {
        EXPECT_NEAR(double(ticks), 9000.0, 900.0) << "picture " << i;
      }
    }
  }
  EXPECT_EQ(reader.units.back().durationUs, kAuDuration);
  Medium::close(framer);
}

TEST_F(H264FramerTest, NoAccessUnitDelimiterIsAdded) {
  StreamBuilder b;
  b.nal4(spsBaseline30()).nal4(ppsBaseline());
  for (int i = 0; i < 20; ++i) b.nal4(slice(i % 10 == 0 ? 0x65 : 0x41, 0, 40, uint8_t(i)));
  testing::internal::CaptureStderr();
  FramedRun const r = runFramer(*scheduler, *env, b.bytes, {0});
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(r.units.size(), 22u);
  for (auto const& u : r.units) EXPECT_NE(h264::nalUnitType(u.bytes[0]), 9u);
  EXPECT_EQ(std::vector<Bytes>(), [&] {
    std::vector<Bytes> diff;
    auto const in = splitAnnexB(b.bytes);
    for (size_t i = 0; i < in.size(); ++i)
      if (in[i] != r.units[i].bytes) diff.push_back(in[i]);
    return diff;
  }());
}

TEST_F(H264FramerTest, LargeIFramesPassWholeWithoutReachingTheLimit) {
  // 50 single-NAL I-frames of 800,000 bytes each, read as a fast producer
  // would fill the socket (as much as asked) and in uneven chunks.
  constexpr size_t kNalSize = 800000;
  constexpr unsigned kFrames = 50;
  auto byteAt = [](size_t frame, size_t i) { return uint8_t((i * 7 + frame * 13) % 251 + 1); };
  for (auto const& chunks : std::vector<std::vector<unsigned>>{{0}, {65536, 131072, 300001}}) {
    size_t produced = 0;
    size_t const total = kFrames * (4 + kNalSize);
    auto producer = [&](uint8_t* to, size_t max) -> size_t {
      size_t n = std::min(max, total - produced);
      for (size_t k = 0; k < n; ++k, ++produced) {
        size_t const frame = produced / (4 + kNalSize);
        size_t const off = produced % (4 + kNalSize);
        uint8_t v;
        if (off < 3)
          v = 0;
        else if (off == 3)
          v = 1;
        else if (off == 4)
          v = 0x65;
        else if (off == 5)
          v = 0xFF;  // first_mb_in_slice 0
        else
          v = byteAt(frame, off - 4);
        to[k] = v;
      }
      return n;
    };
    auto* source = new ChunkSource(*env, producer, chunks);
    H264VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, source, False, True);
    Collector reader;  // 1,000,000-byte buffer, as the daemon's RTP sink
    reader.source = framer;
    reader.framer = framer;
    reader.keepBytes = false;
    size_t bad = 0;
    reader.check = [&](NalRecord const& u, uint8_t const* data) {
      size_t const frame = reader.units.size();
      bool ok = u.size == kNalSize && u.truncated == 0 && data[0] == 0x65 && data[1] == 0xFF && u.pictureEnd &&
                u.durationUs == kAuDuration;
      for (size_t i = 2; ok && i < kNalSize; ++i) ok = data[i] == byteAt(frame, i);
      if (!ok) ++bad;
    };
    testing::internal::CaptureStderr();
    reader.start();
    bool const ended = runUntil([&] { return reader.closed; }, 60000);
    std::string const err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(reader.units.size(), kFrames);
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(err, "");
    EXPECT_GT(framer->parser()->numBankSwitches(), 0u);
    EXPECT_FALSE(framer->parser()->limitReached());
    EXPECT_EQ(source->closures, 2u);
    Medium::close(framer);
  }
}

TEST_F(H264FramerTest, ANalUnitLargerThanTheReadersBufferIsCutWithAWarning) {
  StreamBuilder b;
  b.nal4(slice(0x65, 0, 1200000 - 2)).nal4(slice(0x41, 0, 1000)).nal4(slice(0x41, 0, 20));
  auto* source = new ChunkSource(*env, b.bytes, {0});
  H264VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, source, False, True);
  Collector reader(1000000);
  reader.source = framer;
  reader.framer = framer;
  testing::internal::CaptureStderr();
  reader.start();
  ASSERT_TRUE(runUntil([&] { return reader.closed; }));
  std::string const err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(reader.units.size(), 3u);
  EXPECT_EQ(reader.units[0].size, 1000000u);
  EXPECT_EQ(reader.units[0].truncated, 200000u);
  EXPECT_TRUE(reader.units[0].pictureEnd);
  EXPECT_EQ(reader.units[0].bytes, Bytes(b.bytes.begin() + 4, b.bytes.begin() + 4 + 1000000));
  EXPECT_EQ(reader.units[1].size, 1002u);
  EXPECT_EQ(reader.units[1].truncated, 0u);
  EXPECT_NE(err.find("200000 bytes dropped"), std::string::npos) << err;
  EXPECT_EQ(err.find("StreamParser"), std::string::npos) << err;
  Medium::close(framer);

  // A tiny buffer: every unit is cut, the counts still add up.
  auto* source2 = new ChunkSource(*env, referenceStream().stream, {3});
  framer = H264VideoStreamFramer::createNew(*env, source2, True, False);
  Collector small(3);
  small.source = framer;
  small.framer = framer;
  testing::internal::CaptureStderr();
  small.start();
  ASSERT_TRUE(runUntil([&] { return small.closed; }));
  testing::internal::GetCapturedStderr();
  Expected const e = referenceStream();
  ASSERT_EQ(small.units.size(), e.nals.size());
  for (size_t i = 0; i < e.nals.size(); ++i) {
    EXPECT_EQ(small.units[i].size, 3u);
    EXPECT_EQ(small.units[i].size + small.units[i].truncated, e.nals[i].size() + 4) << i;
    EXPECT_EQ(small.units[i].pictureEnd, e.ends[i]) << i;
  }
  Medium::close(framer);
}

TEST_F(H264FramerTest, ParserLimitEndsTheStreamAsAClosure) {
  // A source announcing frames larger than a bank: no room can be kept, so the
  // very first refill reaches the limit. Nothing is read and the reader is
  // told the stream has ended.
  auto* source = new ChunkSource(*env, referenceStream().stream, {0}, 1000001);
  H264VideoStreamFramer* framer = H264VideoStreamFramer::createNew(*env, source, False, True);
  Collector reader;
  reader.source = framer;
  testing::internal::CaptureStderr();
  reader.start();
  ASSERT_TRUE(runUntil([&] { return reader.closed; }));
  for (int i = 0; i < 3; ++i) scheduler->SingleStep(1000);
  std::string const err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "StreamParser internal error (0 + 1000001 > 1000000)\n");
  EXPECT_TRUE(source->requestedSizes.empty());
  EXPECT_TRUE(reader.units.empty());
  EXPECT_EQ(reader.closures, 1u);
  EXPECT_TRUE(framer->parser()->limitReached());
  Medium::close(framer);
}

TEST_F(H264FramerTest, EndOfInputDeliversTheLastUnitAndAsksTheSourceOnceMore) {
  // Empty input, junk only, and a stream whose last unit has no start code after it.
  for (Bytes const& stream : {Bytes{}, Bytes{1, 2, 3, 0, 0, 1, 5}, StreamBuilder().nal4({0x09, 0xF0}).bytes}) {
    FramedRun const r = runFramer(*scheduler, *env, stream, {2});
    EXPECT_TRUE(r.readerClosed);
    EXPECT_EQ(r.sourceClosures, 2u);
    EXPECT_EQ(r.units.size(), stream.size() == 6 ? 1u : 0u);
  }
}

TEST_F(H264FramerTest, ManySmallUnitsInOneReadDoNotDeepenTheStack) {
  // 150,000 two-byte units in a few reads, each asked for from inside the
  // previous delivery.
  StreamBuilder b;
  for (int i = 0; i < 150000; ++i) b.nal3({0x0C, 0x80});
  FramedRun const r = runFramer(*scheduler, *env, StreamBuilder().nal4({0x0C, 0x80}).raw(b.bytes).bytes, {0});
  EXPECT_EQ(r.units.size(), 150001u);
  EXPECT_TRUE(r.readerClosed);
}

// Real x264 and x265 streams (four slices per picture, with and without
// AUDs), made with ffmpeg at test time.
TEST_F(H264FramerTest, RealEncoderStreamGivesOneAccessUnitEndPerPicture) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg not installed";
  char dir[] = "/tmp/ostra-h264-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  struct Variant {
    char const* name;
    char const* extra;
    int h = 264;
  };
  for (Variant const& v : {Variant{"slices", ""}, Variant{"aud", "-bsf:v h264_metadata=aud=insert"},
                           Variant{"x265", "", 265}, Variant{"x265-aud", "-bsf:v hevc_metadata=aud=insert", 265}}) {
    bool const h265 = v.h == 265;
    std::string const path = std::string(dir) + "/" + v.name + ".es";
    std::string const encoder = h265 ? "-c:v libx265 -preset veryfast -x265-params log-level=error:slices=4:keyint=10 "
                                     : "-c:v libx264 -preset veryfast -x264-params slices=4:keyint=10 ";
    std::string const cmd =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 "
        "-pix_fmt yuv420p " +
        encoder + std::string(v.extra) + (h265 ? " -f hevc " : " -f h264 ") + path;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(path, std::ios::binary);
    Bytes const stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    ASSERT_GT(stream.size(), 1000u);
    std::vector<Bytes> const nals = splitAnnexB(stream);

    for (auto const& chunks : std::vector<std::vector<unsigned>>{{0}, {1}, {1400, 3, 65536}}) {
      testing::internal::CaptureStderr();
      FramedRun const r = runFramer(*scheduler, *env, stream, chunks, false, true, v.h);
      std::string const err = testing::internal::GetCapturedStderr();
      ASSERT_EQ(r.units.size(), nals.size()) << v.name;
      unsigned pictures = 0, slices = 0, auds = 0;
      for (size_t i = 0; i < nals.size(); ++i) {
        ASSERT_EQ(r.units[i].bytes, nals[i]) << v.name << " unit " << i;
        unsigned const type = h265 ? h265::nalUnitType(nals[i][0]) : h264::nalUnitType(nals[i][0]);
        bool const vcl = h265 ? h265::isVcl(type) : h264::isVcl(type);
        if (vcl) ++slices;
        if (type == (h265 ? 35u : 9u)) ++auds;
        // x265 ends each picture with its slices or a suffix SEI (the picture hash is off by default).
        if (r.units[i].pictureEnd) {
          ++pictures;
          EXPECT_TRUE(vcl || (h265 && type == h265::kNalSuffixSei)) << i;
        }
      }
      EXPECT_EQ(pictures, 30u) << v.name;
      EXPECT_EQ(slices, 120u) << v.name;
      EXPECT_EQ(auds, std::string(v.extra).empty() ? 0u : 30u) << v.name;
      // Two report lines for every SPS (x264 announces 30 fps).
      size_t numSps = 0;
      for (auto const& n : nals) numSps += (h265 ? h265::nalUnitType(n[0]) == 33 : h264::nalUnitType(n[0]) == 7);
      EXPECT_GE(numSps, 1u);
      size_t reports = 0;
      for (size_t pos = 0; (pos = err.find("Set frame rate to 25.10 fps by SPS\n", pos)) != std::string::npos; ++pos)
        ++reports;
      EXPECT_EQ(reports, numSps) << err;
    }
  }
  rmdir(dir);
}

}  // namespace
