// H.264 over RTP (RFC 6184): single NAL unit packets, FU-A, marker bits and
// the format line, with the real framer on a stream made by ffmpeg.

#include <memory>

#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "RtpTestSupport.hh"

using namespace rtptest;

namespace {

class H264SinkTest : public SinkTest<H264VideoRTPSink, H264VideoStreamFramer> {};

TEST_F(H264SinkTest, NalUnitsSurviveThePacketizationAndMarkersEndAccessUnits) {
  std::vector<uint8_t> stream = generatedVideo("h264", 1);
  ASSERT_FALSE(stream.empty()) << "ffmpeg could not make the test stream";
  auto nals = splitAnnexB(stream);
  ASSERT_GT(nals.size(), 25u);

  ChunkSource* input = ChunkSource::createNew(*env);
  addInChunks(input, stream, 4096);
  source = H264VideoStreamFramer::createNew(*env, input, False, False);
  sink = H264VideoRTPSink::createNew(*env, gs.get(), 96);
  EXPECT_EQ(sink->auxSDPLine(), nullptr) << "no parameter sets seen yet";
  char* rtpmap = sink->rtpmapLine();
  EXPECT_STREQ(rtpmap, "a=rtpmap:96 H264/90000\r\n");
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
    uint8_t type = h.payload[0] & 0x1F;
    ASSERT_NE(type, 24u) << "no STAP-A";
    bool endsNal = true;
    if (type == 28) {
      ++fuaPackets;
      uint8_t ind = h.payload[0], hdr = h.payload[1];
      bool s = hdr & 0x80, e = hdr & 0x40;
      EXPECT_FALSE(s && e);
      if (s) {
        EXPECT_FALSE(inFU);
        inFU = true;
        fu.assign(1, uint8_t((ind & 0xE0) | (hdr & 0x1F)));
      } else {
        EXPECT_TRUE(inFU);
      }
      fu.insert(fu.end(), h.payload.begin() + 2, h.payload.end());
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

  // The format line, now that the framer has both parameter sets.
  char const* fmtp = sink->auxSDPLine();
  ASSERT_NE(fmtp, nullptr);
  std::vector<uint8_t> sps, pps;
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

TEST_F(H264SinkTest, SizesAroundTheSinglePacketLimit) {
  // NAL units of 1444 bytes go whole; 1445 bytes need two FU-A fragments.
  std::vector<uint8_t> stream;
  auto addNal = [&](uint8_t header, size_t size) {
    static uint8_t const sc[] = {0, 0, 0, 1};
    stream.insert(stream.end(), sc, sc + 4);
    stream.push_back(header);
    for (size_t i = 1; i < size; ++i) stream.push_back(uint8_t(0x40 + i % 50));
  };
  addNal(0x06, 1444);  // SEI: no slice, so no access-unit logic is involved
  addNal(0x06, 1445);
  addNal(0x06, 3000);
  ChunkSource* input = ChunkSource::createNew(*env);
  addInChunks(input, stream, 100000);
  source = H264VideoStreamFramer::createNew(*env, input, False, False);
  sink = H264VideoRTPSink::createNew(*env, gs.get(), 96);
  ASSERT_TRUE(sink->startPlaying(*source, afterPlaying, &ended));
  ASSERT_TRUE(runUntil([&] { return ended && receiver->packets.size() == sink->packetCount(); }));
  std::vector<size_t> sizes;
  for (auto const& p : receiver->packets) sizes.push_back(p.size());
  ASSERT_EQ(sizes.size(), 1u + 2u + 3u);
  EXPECT_EQ(sizes[0], 1456u);                    // single NAL unit packet
  EXPECT_EQ(sizes[1], 1456u);                    // FU-A: 2 + 1442 NAL bytes
  EXPECT_EQ(sizes[2], 12u + 2 + (1444 - 1442));  // the remaining 2 bytes
  EXPECT_EQ(receiver->packets[1][12], 0x1C);     // indicator: NRI 0, type 28
  EXPECT_EQ(receiver->packets[1][13], 0x86);     // S, type 6
  EXPECT_EQ(receiver->packets[2][13], 0x46);     // E, type 6
  EXPECT_EQ(receiver->packets[4][13], 0x06);     // middle fragment: neither
}

}  // namespace
