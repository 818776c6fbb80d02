// H.264 over RTP (RFC 6184) and H.265 over RTP (RFC 7798): single NAL unit
// packets, FU-A and H.265 fragmentation units, marker bits and the format
// line, with the real framer on a stream made by ffmpeg.

#include <memory>

#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "H265VideoRTPSink.hh"
#include "H265VideoStreamFramer.hh"
#include "RtpTestSupport.hh"

using namespace rtptest;

namespace {

class H264SinkTest : public SinkTest<H264VideoRTPSink, H264VideoStreamFramer> {};

// What the H.264 and H.265 sinks share, run for each (264, 265).
class VideoSinkTest : public SinkTest<MultiFramedRTPSink, H264or5VideoStreamFramer>,
                      public ::testing::WithParamInterface<int> {
protected:
  bool h265() const { return GetParam() == 265; }
  void make(ChunkSource* input) {
    if (h265()) {
      source = H265VideoStreamFramer::createNew(*env, input, False, False);
      sink = H265VideoRTPSink::createNew(*env, gs.get(), 96);
    } else {
      source = H264VideoStreamFramer::createNew(*env, input, False, False);
      sink = H264VideoRTPSink::createNew(*env, gs.get(), 96);
    }
  }
  unsigned nalType(uint8_t header) const { return h265() ? (header >> 1) & 0x3F : header & 0x1F; }
};

INSTANTIATE_TEST_SUITE_P(Codecs, VideoSinkTest, ::testing::Values(264, 265),
                         [](::testing::TestParamInfo<int> const& info) { return "H" + std::to_string(info.param); });

TEST_P(VideoSinkTest, NalUnitsSurviveThePacketizationAndMarkersEndAccessUnits) {
  std::vector<uint8_t> stream = generatedVideo(h265() ? "h265" : "h264", 1);
  ASSERT_FALSE(stream.empty()) << "ffmpeg could not make the test stream";
  auto nals = splitAnnexB(stream);
  ASSERT_GT(nals.size(), 25u);

  ChunkSource* input = ChunkSource::createNew(*env);
  addInChunks(input, stream, 4096);
  make(input);
  EXPECT_EQ(sink->auxSDPLine(), nullptr) << "no parameter sets seen yet";
  char* rtpmap = sink->rtpmapLine();
  EXPECT_STREQ(rtpmap, h265() ? "a=rtpmap:96 H265/90000\r\n" : "a=rtpmap:96 H264/90000\r\n");
  delete[] rtpmap;
  EXPECT_STREQ(sink->sdpMediaType(), "video");

  ASSERT_TRUE(sink->startPlaying(*source, afterPlaying, &ended));
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == sink->packetCount(); }, 10000));

  // Reassemble NAL units from single NAL unit packets and FU-A fragments.
  std::vector<std::vector<uint8_t>> got;
  std::vector<uint8_t> fu;
  bool inFU = false;
  unsigned markers = 0, fuaPackets = 0, accessUnits = 0;
  uint16_t expectSeq = 0;
  uint32_t auTimestamp = 0;
  bool newAU = true;
  for (size_t i = 0; i < receiver->packets.size(); ++i) {
    RtpHeader h;
    ASSERT_TRUE(parseRtp(receiver->packets[i], h));
    EXPECT_EQ(h.version, 2u);
    EXPECT_EQ(h.payloadType, 96u);
    EXPECT_LE(receiver->packets[i].size(), 1456u);
    if (i > 0) {
      EXPECT_EQ(h.seq, expectSeq) << "sequence continuity";
    }
    expectSeq = uint16_t(h.seq + 1);
    if (newAU) {
      auTimestamp = h.timestamp;
      newAU = false;
    } else {
      EXPECT_EQ(h.timestamp, auTimestamp) << "every packet of an access unit has its timestamp";
    }
    unsigned const type = nalType(h.payload[0]);
    ASSERT_NE(type, h265() ? 48u : 24u) << "no aggregation packets";
    ASSERT_FALSE(h265() && type == 50u) << "no PACI";
    bool endsNal = true;
    if (type == (h265() ? 49u : 28u)) {
      ++fuaPackets;
      unsigned const fuHeaderAt = h265() ? 2 : 1;
      uint8_t ind = h.payload[0], hdr = h.payload[fuHeaderAt];
      bool s = hdr & 0x80, e = hdr & 0x40;
      EXPECT_FALSE(s && e);
      if (s) {
        EXPECT_FALSE(inFU);
        inFU = true;
        if (h265()) {
          fu.assign({uint8_t((ind & 0x81) | ((hdr & 0x3F) << 1)), h.payload[1]});
        } else {
          fu.assign(1, uint8_t((ind & 0xE0) | (hdr & 0x1F)));
        }
      } else {
        EXPECT_TRUE(inFU);
      }
      fu.insert(fu.end(), h.payload.begin() + fuHeaderAt + 1, h.payload.end());
      if (!e) {
        EXPECT_EQ(receiver->packets[i].size(), 1456u) << "fragments before the last fill the packet";
        EXPECT_FALSE(h.marker);
        endsNal = false;
      } else {
        got.push_back(fu);
        inFU = false;
      }
    } else {
      EXPECT_FALSE(inFU);
      got.push_back(h.payload);
    }
    if (h.marker) {
      EXPECT_TRUE(endsNal);
      ++markers;
      ++accessUnits;
      newAU = true;
    }
  }
  EXPECT_GT(fuaPackets, 0u) << "the key frame is larger than one packet";
  if (h265()) {
    EXPECT_EQ(nalType(nals[0][0]), 32u) << "the stream starts with its VPS";
  }
  ASSERT_EQ(got.size(), nals.size());
  for (size_t i = 0; i < nals.size(); ++i) EXPECT_EQ(got[i], nals[i]) << "NAL unit " << i;
  EXPECT_EQ(markers, 25u) << "one marker per picture";

  // Pictures are 1 / 25.1 s apart on the 90 kHz clock.
  std::vector<uint32_t> auTs;
  for (auto const& p : receiver->packets) {
    RtpHeader h;
    parseRtp(p, h);
    if (h.marker) auTs.push_back(h.timestamp);
  }
  for (size_t i = 1; i < auTs.size(); ++i) {
    uint32_t d = auTs[i] - auTs[i - 1];
    EXPECT_GE(d, 3585u);
    EXPECT_LE(d, 3586u);
  }

  // The format line, now that the framer has the parameter sets.
  char const* fmtp = sink->auxSDPLine();
  ASSERT_NE(fmtp, nullptr);
  std::vector<uint8_t> vps, sps, pps;
  if (h265()) {
    for (auto const& n : nals) {
      unsigned const t = nalType(n[0]);
      if (t == 32 && vps.empty()) vps = n;
      if (t == 33 && sps.empty()) sps = n;
      if (t == 34 && pps.empty()) pps = n;
    }
    EXPECT_EQ(std::string(fmtp), "a=fmtp:96 sprop-vps=" + base64Encode(vps.data(), unsigned(vps.size())) +
                                     ";sprop-sps=" + base64Encode(sps.data(), unsigned(sps.size())) +
                                     ";sprop-pps=" + base64Encode(pps.data(), unsigned(pps.size())) + "\r\n");
    return;
  }
  for (auto const& n : nals) {
    if ((n[0] & 0x1F) == 7 && sps.empty()) sps = n;
    if ((n[0] & 0x1F) == 8 && pps.empty()) pps = n;
  }
  char plid[8];
  std::snprintf(plid, sizeof plid, "%02X%02X%02X", sps[1], sps[2], sps[3]);
  std::string expected = std::string("a=fmtp:96 packetization-mode=1;profile-level-id=") + plid +
                         ";sprop-parameter-sets=" + base64Encode(sps.data(), unsigned(sps.size())) + "," +
                         base64Encode(pps.data(), unsigned(pps.size())) + "\r\n";
  EXPECT_EQ(std::string(fmtp), expected);
  EXPECT_EQ(sink->octetCount(), [&] {
    unsigned total = 0;
    for (auto const& p : receiver->packets) total += unsigned(p.size() - 12);
    return total;
  }());
}

TEST_F(H264SinkTest, FormatLineAndFragmentsFromHandMadeUnits) {
  // Emulation prevention in the SPS is removed before profile-level-id is read.
  uint8_t sps[] = {0x67, 0x00, 0x00, 0x03, 0x01, 0xAC, 0xD9};
  uint8_t pps[] = {0x68, 0xEB, 0xE3, 0xCB};
  std::string line = h264FmtpLine(97, sps, sizeof sps, pps, sizeof pps);
  EXPECT_EQ(line,
            "a=fmtp:97 packetization-mode=1;profile-level-id=000001;sprop-parameter-sets=ZwAAAwGs2Q==,aOvjyw==\r\n");
  EXPECT_EQ(h264FmtpLine(96, sps, sizeof sps, nullptr, 0), "");
  EXPECT_EQ(base64Encode(reinterpret_cast<uint8_t const*>("foobar"), 6), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(reinterpret_cast<uint8_t const*>("fooba"), 5), "Zm9vYmE=");
  EXPECT_EQ(base64Encode(reinterpret_cast<uint8_t const*>("f"), 1), "Zg==");
}

TEST_F(H264SinkTest, RefusesASourceThatIsNotTheFramer) {
  ChunkSource* plain = ChunkSource::createNew(*env);
  sink = H264VideoRTPSink::createNew(*env, gs.get(), 96);
  EXPECT_FALSE(sink->startPlaying(*plain, afterPlaying, &ended));
  Medium::close(plain);
}

TEST_P(VideoSinkTest, SizesAroundTheSinglePacketLimit) {
  // NAL units of 1444 bytes go whole; 1445 bytes need two fragments.
  std::vector<uint8_t> stream;
  auto addNal = [&](size_t size) {
    static uint8_t const sc[] = {0, 0, 0, 1};
    stream.insert(stream.end(), sc, sc + 4);
    // SEI (H.265: prefix SEI): no slice, so no access-unit logic is involved.
    if (h265()) {
      stream.insert(stream.end(), {0x4E, 0x01});
    } else {
      stream.push_back(0x06);
    }
    for (size_t i = h265() ? 2 : 1; i < size; ++i) stream.push_back(uint8_t(0x40 + i % 50));
  };
  addNal(1444);
  addNal(1445);
  addNal(3000);
  ChunkSource* input = ChunkSource::createNew(*env);
  addInChunks(input, stream, 100000);
  make(input);
  ASSERT_TRUE(sink->startPlaying(*source, afterPlaying, &ended));
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == sink->packetCount(); }));
  std::vector<size_t> sizes;
  for (auto const& p : receiver->packets) sizes.push_back(p.size());
  ASSERT_EQ(sizes.size(), 1u + 2u + 3u);
  EXPECT_EQ(sizes[0], 1456u);  // single NAL unit packet
  EXPECT_EQ(sizes[1], 1456u);  // a full fragment
  auto const& p = receiver->packets;
  if (h265()) {
    // Payload header (type 49, layer 0, TID 1), FU header, then 1441 NAL
    // bytes after the two-byte NAL header: 1445 - 2 - 1441 = 2 remain.
    EXPECT_EQ(sizes[2], 12u + 3 + 2);
    EXPECT_EQ(p[1][12], 0x62);
    EXPECT_EQ(p[1][13], 0x01);
    EXPECT_EQ(p[1][14], 0xA7);  // S, type 39
    EXPECT_EQ(p[2][14], 0x67);  // E, type 39
    EXPECT_EQ(p[4][14], 0x27);  // middle fragment: neither
    EXPECT_EQ(sizes[5], 12u + 3 + (3000 - 2 - 2 * 1441));
    return;
  }
  EXPECT_EQ(sizes[2], 12u + 2 + (1444 - 1442));  // FU-A: 2 + 1442 NAL bytes, then the remaining 2
  EXPECT_EQ(p[1][12], 0x1C);                     // indicator: NRI 0, type 28
  EXPECT_EQ(p[1][13], 0x86);                     // S, type 6
  EXPECT_EQ(p[2][13], 0x46);                     // E, type 6
  EXPECT_EQ(p[4][13], 0x06);                     // middle fragment: neither
}

}  // namespace
