// The H.264 format line follows parameter sets that change mid-stream (it is
// rebuilt only when they change), on a stream made by ffmpeg.

#include <memory>

#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "RtpTestSupport.hh"

using namespace rtptest;

namespace {

class H264FormatLineTest : public SinkTest<H264VideoRTPSink, H264VideoStreamFramer> {};

// Expected line for the parameter sets.
std::string fmtpFor(std::vector<uint8_t> const& sps, std::vector<uint8_t> const& pps) {
  return h264FmtpLine(96, sps.data(), unsigned(sps.size()), pps.data(), unsigned(pps.size()));
}

TEST_F(H264FormatLineTest, LineFollowsParameterSetsThatChangeMidStream) {
  std::vector<uint8_t> stream = generatedVideo("h264", 1);
  ASSERT_FALSE(stream.empty()) << "ffmpeg could not make the test stream";
  auto nals = splitAnnexB(stream);
  std::vector<uint8_t> sps, pps;
  for (auto const& n : nals) {
    if ((n[0] & 0x1F) == 7 && sps.empty()) sps = n;
    if ((n[0] & 0x1F) == 8 && pps.empty()) pps = n;
  }
  ASSERT_GE(sps.size(), 4u);
  ASSERT_FALSE(pps.empty());
  // The same pictures again with another level_idc in the SPS (it changes
  // profile-level-id and the base64 of the SPS, not the decoding), then the
  // original SPS once more.
  std::vector<uint8_t> sps2 = sps;
  sps2[3] = sps[3] == 0x33 ? 0x32 : 0x33;
  auto withSps = [&](std::vector<uint8_t> const& use) {
    std::vector<uint8_t> out;
    for (auto const& n : nals) {
      static uint8_t const sc[] = {0, 0, 0, 1};
      out.insert(out.end(), sc, sc + 4);
      if ((n[0] & 0x1F) == 7) {
        out.insert(out.end(), use.begin(), use.end());
      } else {
        out.insert(out.end(), n.begin(), n.end());
      }
    }
    return out;
  };
  std::vector<uint8_t> all = withSps(sps);
  std::vector<uint8_t> part2 = withSps(sps2);
  all.insert(all.end(), part2.begin(), part2.end());
  std::vector<uint8_t> part3 = withSps(sps);
  all.insert(all.end(), part3.begin(), part3.end());

  ChunkSource* input = ChunkSource::createNew(*env);
  addInChunks(input, all, 4096);
  source = H264VideoStreamFramer::createNew(*env, input, False, False);
  sink = H264VideoRTPSink::createNew(*env, gs.get(), 96);
  ASSERT_TRUE(sink->startPlaying(*source, afterPlaying, &ended));

  // Whenever an SPS packet arrives, the line must already describe it (the
  // sink refreshes the line as the SPS goes out; the next SPS is a second of
  // pictures later).
  std::vector<std::string> linesAtSps;
  std::vector<uint8_t> spsLevels;
  size_t seen = 0;
  ASSERT_TRUE(runUntil(
      [&] {
        for (; seen < receiver->packets.size(); ++seen) {
          auto const& p = receiver->packets[seen];
          if (p.size() > 12 + 3 && (p[12] & 0x1F) == 7) {
            spsLevels.push_back(p[12 + 3]);
            char const* line = sink->auxSDPLine();
            linesAtSps.push_back(line != nullptr ? line : "");
          }
        }
        return ended && receiver->packets.size() == sink->packetCount();
      },
      20000));
  ASSERT_EQ(linesAtSps.size(), 3u);
  EXPECT_EQ(spsLevels[0], sps[3]);
  EXPECT_EQ(spsLevels[1], sps2[3]);
  EXPECT_EQ(spsLevels[2], sps[3]);
  EXPECT_EQ(linesAtSps[0], fmtpFor(sps, pps));
  EXPECT_EQ(linesAtSps[1], fmtpFor(sps2, pps));
  EXPECT_NE(linesAtSps[1], linesAtSps[0]);
  EXPECT_EQ(linesAtSps[2], fmtpFor(sps, pps)) << "back to the first SPS";
  ASSERT_NE(sink->auxSDPLine(), nullptr);
  EXPECT_EQ(std::string(sink->auxSDPLine()), fmtpFor(sps, pps)) << "the line outlives the stream";
}

}  // namespace
