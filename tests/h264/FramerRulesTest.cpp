// The framing rules the H.264 and H.265 framers share, over the real event
// loop, for each codec: NAL units out of any chunking, access-unit ends,
// durations at the fixed 25.1 fps and the SPS report lines.
#include <gtest/gtest.h>

#include <string>

#include "H264TestSupport.hh"

using namespace h264test;

namespace {

constexpr unsigned kAuDuration = 39840;  // 1000000 / 25.1, truncated

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

}  // namespace
