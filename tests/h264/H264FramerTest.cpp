// The H.264 framer over the real event loop: NAL units out of any chunking,
// access-unit ends, durations at the fixed 25.1 fps, wall-clock presentation
// times, SPS report lines, parameter-set copies, large I-frames, truncation,
// the parser's limit and the end of the input.
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

struct Expected {
  Bytes stream;
  std::vector<Bytes> nals;
  std::vector<bool> ends;
};

// A stream exercising the end-of-access-unit rules, with 3- and 4-byte start
// codes, trailing zeros, emulation-prevention bytes and leading garbage.
Expected referenceStream() {
  Expected e;
  StreamBuilder b;
  b.raw({0x12, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00});  // junk, including a 3-byte start code
  auto add = [&](Bytes const& nal, bool endsAu, bool threeByte = false, unsigned trailingZeros = 0) {
    if (threeByte) {
      b.nal3(nal);
    } else {
      b.nal4(nal);
    }
    b.raw(Bytes(trailingZeros, 0));
    e.nals.push_back(nal);
    e.ends.push_back(endsAu);
  };
  add(spsBaseline30(), false);
  add(ppsBaseline(), false);
  add({0x06, 0x05, 0x02, 0xAA, 0xBB, 0x80}, false);  // SEI
  add(slice(0x65, 0, 40, 3), false);                 // IDR, first slice
  add(slice(0x65, 10, 30, 4), true, true, 2);        // IDR, second slice; next picture follows
  add(slice(0x41, 0, 50, 5), false);                 // P; filler follows
  add({0x0C, 0xFF, 0xFF, 0xFF, 0x80}, true);         // filler data ends the access unit
  add(spsBaseline30(), false);
  add(ppsBaseline(), false);
  add(slice(0x65, 0, 20, 6), true);                                               // next is an AUD
  add({0x09, 0xF0}, false);                                                       // AUD from the producer
  add({0x41, 0xFF, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x12}, true);  // escaped payload
  add(slice(0x41, 0, 2, 7), false, true);                                         // end of sequence follows
  add({0x0A}, true);                                                              // end of sequence
  add(slice(0x65, 0, 10, 8), true, false, 2);                                     // last unit of the input
  e.stream = b.bytes;
  return e;
}

// The same rules the H.265 way: VPS, SPS, PPS, AUD and prefix SEI after a
// slice segment begin an access unit, first_slice_segment_in_pic_flag begins
// a picture, suffix SEI and filler data belong to the unit before.
Expected referenceStream265() {
  Expected e;
  StreamBuilder b;
  b.raw({0x12, 0x00, 0x00, 0x01, 0x42, 0x00, 0x00});  // junk, including a 3-byte start code
  auto add = [&](Bytes const& nal, bool endsAu, bool threeByte = false, unsigned trailingZeros = 0) {
    if (threeByte) {
      b.nal3(nal);
    } else {
      b.nal4(nal);
    }
    b.raw(Bytes(trailingZeros, 0));
    e.nals.push_back(nal);
    e.ends.push_back(endsAu);
  };
  add(h265Vps(), false);
  add(h265Sps30(), false);
  add(h265Pps(), false);
  add({0x4E, 0x01, 0x05, 0x02, 0xAA, 0xBB, 0x80}, false);  // prefix SEI
  add(h265Slice(19, true, 40, 3), false);                  // IDR_W_RADL, first slice segment
  add(h265Slice(19, false, 30, 4), true, true, 2);         // second segment; next picture follows
  add(h265Slice(1, true, 50, 5), false);                   // TRAIL_R; suffix SEI follows
  add({0x50, 0x01, 0x05, 0x01, 0xCC, 0x80}, true);         // suffix SEI ends the access unit
  add(h265Vps(), false);
  add(h265Sps30(), false);
  add(h265Pps(), false);
  add(h265Slice(21, true, 20, 6), true);                                                 // CRA; next is an AUD
  add({0x46, 0x01, 0x50}, false);                                                        // AUD from the producer
  add({0x02, 0x01, 0xFF, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x12}, false);  // escaped TRAIL_R
  add({0x4C, 0x01, 0xFF, 0xFF, 0x80}, true);                                             // filler data ends it
  add(h265Slice(1, true, 2, 7), false, true);                                            // end of sequence follows
  add({0x48, 0x01}, true);                                                               // end of sequence
  add(h265Slice(20, true, 10, 8), true, false, 2);  // IDR_N_LP, last unit of the input
  e.stream = b.bytes;
  return e;
}

void expectMatches(FramedRun const& run, Expected const& e, bool includeStartCode, std::string const& what) {
  ASSERT_TRUE(run.readerClosed) << what;
  ASSERT_EQ(run.units.size(), e.nals.size()) << what;
  int64_t const base = run.units[0].ptUs;
  int64_t ends = 0;
  for (size_t i = 0; i < e.nals.size(); ++i) {
    NalRecord const& u = run.units[i];
    Bytes expected = e.nals[i];
    if (includeStartCode) expected.insert(expected.begin(), {0, 0, 0, 1});
    ASSERT_EQ(u.bytes, expected) << what << " unit " << i;
    ASSERT_EQ(u.truncated, 0u) << what << " unit " << i;
    ASSERT_EQ(u.pictureEnd, e.ends[i]) << what << " unit " << i;
    ASSERT_EQ(u.durationUs, e.ends[i] ? kAuDuration : 0u) << what << " unit " << i;
    // Without the wall clock, each access unit is 1/25.1 s after the one before.
    ASSERT_EQ(u.ptUs - base, ends * int64_t(kAuDuration)) << what << " unit " << i;
    if (e.ends[i]) ++ends;
  }
}

class H264FramerTest : public H264Test {};

// The rules the H.264 and H.265 framers share, run for each (264, 265).
class FramerRulesTest : public H264Test, public ::testing::WithParamInterface<int> {
protected:
  Expected reference() const { return GetParam() == 265 ? referenceStream265() : referenceStream(); }
  FramedRun run(Bytes const& stream, std::vector<unsigned> const& chunks, bool sc = false, bool wallClock = false) {
    return runFramer(*scheduler, *env, stream, chunks, sc, wallClock, GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Codecs, FramerRulesTest, ::testing::Values(264, 265),
                         [](::testing::TestParamInfo<int> const& info) { return "H" + std::to_string(info.param); });

TEST_P(FramerRulesTest, ReferenceStreamGivesTheExpectedUnitsAccessUnitEndsAndDurations) {
  Expected const e = reference();
  ASSERT_EQ(splitAnnexB(e.stream), e.nals);  // the builder and the plain splitter agree
  for (bool sc : {false, true}) {
    FramedRun const r = run(e.stream, {0}, sc);
    expectMatches(r, e, sc, sc ? "with start codes" : "whole");
    EXPECT_EQ(r.requestedSizes.front(), 1000000u);  // the first refill asks for a whole bank
    EXPECT_EQ(r.sourceClosures, 2u);                // end of input, then the one extra request
  }
}

TEST_P(FramerRulesTest, EveryCutOfTheStreamGivesTheSameResult) {
  Expected const e = reference();
  // Two reads, cut at every position (start codes split every possible way).
  for (size_t cut = 1; cut < e.stream.size(); ++cut) {
    FramedRun const r = run(e.stream, {unsigned(cut), 1000000});
    expectMatches(r, e, false, "cut at " + std::to_string(cut));
    if (HasFatalFailure()) return;
  }
  // One byte per read, and a few odd cycles of sizes.
  std::vector<std::vector<unsigned>> const chunkings{{1}, {2}, {3}, {5, 1, 7}, {4, 4, 1}, {13}};
  for (auto const& chunks : chunkings) {
    for (bool sc : {false, true}) {
      FramedRun const r = run(e.stream, chunks, sc);
      expectMatches(r, e, sc, "chunks of " + std::to_string(chunks[0]));
      if (HasFatalFailure()) return;
    }
  }
}

TEST_P(FramerRulesTest, ThirtyFpsSpsIsReportedButTheRateStays25Point1) {
  StreamBuilder b;
  unsigned const numSps = 3;
  bool const h265 = GetParam() == 265;
  for (unsigned gop = 0; gop < numSps; ++gop) {
    if (h265) {
      b.nal4(h265Vps()).nal4(gop == 1 ? h265SpsTwoLayers30() : h265Sps30()).nal4(h265Pps());
      b.nal4(h265Slice(19, true, 100));
      for (int p = 0; p < 4; ++p) b.nal4(h265Slice(1, true, 60, uint8_t(p)));
      continue;
    }
    b.nal4(gop == 1 ? spsHigh30() : spsBaseline30()).nal4(ppsBaseline()).nal4(slice(0x65, 0, 100));
    for (int p = 0; p < 4; ++p) b.nal4(slice(0x41, 0, 60, uint8_t(p)));
  }
  testing::internal::CaptureStderr();
  FramedRun const r = run(b.bytes, {7});
  std::string const err = testing::internal::GetCapturedStderr();

  // x264 announces fields (time_scale 60 for 30 fps), x265 frames.
  std::string const pair = std::string("sps time_scale = ") + (h265 ? "30" : "60") +
                           ", num_units_in_tick = 1\nSet frame rate to 25.10 fps by SPS\n";
  std::string expected;
  for (unsigned i = 0; i < numSps; ++i) expected += pair;
  EXPECT_EQ(err, expected);

  unsigned pictures = 0;
  for (auto const& u : r.units) {
    if (u.pictureEnd) {
      ++pictures;
      EXPECT_EQ(u.durationUs, kAuDuration);
    } else {
      EXPECT_EQ(u.durationUs, 0u);
    }
  }
  EXPECT_EQ(pictures, numSps * 5);
}

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
