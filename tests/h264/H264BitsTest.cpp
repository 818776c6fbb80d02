// Bit-level H.264 helpers: emulation prevention, Exp-Golomb reading, the
// SPS as far as the VUI timing, first_mb_in_slice.
#include <gtest/gtest.h>

#include <vector>

#include "H264Bits.hh"
#include "H264TestSupport.hh"
#include "H265Bits.hh"

using h264test::Bytes;

TEST(H264Bits, EmulationPreventionBytesAreRemovedAndOnlyThose) {
  Bytes const in{0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00,
                 0x00, 0x03, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03};
  Bytes out(in.size());
  size_t const n = h264::removeEmulationPrevention(in.data(), in.size(), out.data(), out.size());
  out.resize(n);
  // 00 00 [03] 01 | 00 00 [03] 00 03 | 00 00 [03] 03 | 00 03 | 00 00 00 [03]
  Bytes const expected{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(out, expected);

  // In place, and with a short output buffer the full length is still told.
  Bytes inPlace = in;
  EXPECT_EQ(h264::removeEmulationPrevention(inPlace.data(), inPlace.size(), inPlace.data(), inPlace.size()),
            expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), inPlace.begin()));
  uint8_t small[4];
  EXPECT_EQ(h264::removeEmulationPrevention(in.data(), in.size(), small, sizeof small), expected.size());
  EXPECT_EQ(h264::removeEmulationPrevention(nullptr, 0, nullptr, 0), 0u);
}

TEST(H264Bits, BitReaderReadsFixedAndExpGolombCodes) {
  // 1 | 010 | 011 | 00100 | 00101 | 0001000 | 1 ...
  // ue: 0, 1, 2, 3, 4, 7 ; then flag 1
  Bytes const data{0xA6, 0x42, 0x88, 0xC0};
  h264::BitReader br(data.data(), data.size());
  EXPECT_EQ(br.readUE(), 0u);
  EXPECT_EQ(br.readUE(), 1u);
  EXPECT_EQ(br.readUE(), 2u);
  EXPECT_EQ(br.readUE(), 3u);
  EXPECT_EQ(br.readUE(), 4u);
  EXPECT_EQ(br.readUE(), 7u);
  EXPECT_TRUE(br.readFlag());
  EXPECT_FALSE(br.overrun());

  // se(v): codeNum 1 -> 1, 2 -> -1, 3 -> 2, 4 -> -2.
  Bytes const se{0x4C, 0x85, 0x00};  // 010 011 00100 00101 ...
  h264::BitReader sr(se.data(), se.size());
  EXPECT_EQ(sr.readSE(), 1);
  EXPECT_EQ(sr.readSE(), -1);
  EXPECT_EQ(sr.readSE(), 2);
  EXPECT_EQ(sr.readSE(), -2);

  Bytes const word{0x12, 0x34, 0x56, 0x78, 0x9A};
  h264::BitReader wr(word.data(), word.size());
  EXPECT_EQ(wr.readBits(4), 0x1u);
  EXPECT_EQ(wr.readBits(32), 0x23456789u);
  EXPECT_EQ(wr.readBits(0), 0u);
  EXPECT_EQ(wr.readBits(4), 0xAu);
  EXPECT_TRUE(wr.atEnd());
  EXPECT_FALSE(wr.overrun());
  EXPECT_EQ(wr.readBits(3), 0u);
  EXPECT_TRUE(wr.overrun());
}

TEST(H264Bits, BitReaderOverrunsAreFlaggedNotFatal) {
  Bytes const zeros(5, 0x00);  // 40 zero bits: no ue(v) code fits
  h264::BitReader br(zeros.data(), zeros.size());
  EXPECT_EQ(br.readUE(), 0u);
  EXPECT_TRUE(br.overrun());

  Bytes const truncatedCode{0x00, 0x01};  // 15 leading zeros, then the code runs off the end
  h264::BitReader tr(truncatedCode.data(), truncatedCode.size());
  tr.readUE();
  EXPECT_TRUE(tr.overrun());

  h264::BitReader empty(nullptr, 10);
  EXPECT_EQ(empty.readBits(8), 0u);
  EXPECT_TRUE(empty.overrun());

  // Largest code: 31 leading zeros.
  Bytes const big{0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  h264::BitReader bigr(big.data(), big.size());
  EXPECT_EQ(bigr.readUE(), 0xFFFFFFFEu);
  EXPECT_FALSE(bigr.overrun());
}

TEST(H264Bits, BitReaderSkipsEmulationPreventionWhenAsked) {
  Bytes const escaped{0x00, 0x00, 0x03, 0x01, 0xFF};
  h264::BitReader raw(escaped.data(), escaped.size(), false);
  EXPECT_EQ(raw.readBits(32), 0x00000301u);
  h264::BitReader rbsp(escaped.data(), escaped.size(), true);
  EXPECT_EQ(rbsp.readBits(32), 0x000001FFu);
  EXPECT_TRUE(rbsp.atEnd());
}

TEST(H264Bits, RealSpsGiveTheirVuiTiming) {
  struct Case {
    Bytes sps;
    unsigned profile;
    unsigned chroma;
  };
  for (Case const& c : {Case{h264test::spsBaseline30(), 66, 1}, Case{h264test::spsHigh30(), 100, 1},
                        Case{h264test::spsHigh444_30(), 244, 3}}) {
    h264::SpsInfo info;
    ASSERT_TRUE(h264::parseSps(c.sps.data(), c.sps.size(), info)) << "profile " << c.profile;
    EXPECT_EQ(info.profileIdc, c.profile);
    EXPECT_EQ(info.chromaFormatIdc, c.chroma);
    EXPECT_EQ(info.levelIdc, 10u);
    EXPECT_EQ(info.widthInMbs, 4u);        // 64 pixels
    EXPECT_EQ(info.heightInMapUnits, 3u);  // 48 pixels
    EXPECT_TRUE(info.frameMbsOnly);
    EXPECT_TRUE(info.vuiPresent);
    EXPECT_TRUE(info.timingInfoPresent);
    EXPECT_EQ(info.numUnitsInTick, 1u);
    EXPECT_EQ(info.timeScale, 60u);
  }
}

TEST(H264Bits, SpsWithoutTimingOrCutShortYieldsNoTiming) {
  // Baseline SPS without VUI: 66, flags, level 30, id 0, log2_max_frame_num-4 0,
  // poc type 2, refs 1, no gaps, 20x15 MBs, frame_mbs_only, direct8x8, no crop, no VUI.
  // bits: 1 | 1 | 011 | 010 | 0 | 000010101 | 000010000 | 1 | 1 | 0 | 0 | stop bit
  Bytes const noVui{0x67, 0x42, 0x00, 0x1e, 0xDA, 0x05, 0x42, 0x19};
  h264::SpsInfo info;
  ASSERT_TRUE(h264::parseSps(noVui.data(), noVui.size(), info));
  EXPECT_EQ(info.widthInMbs, 21u);
  EXPECT_EQ(info.heightInMapUnits, 16u);
  EXPECT_FALSE(info.vuiPresent);
  EXPECT_EQ(info.numUnitsInTick, 0u);
  EXPECT_EQ(info.timeScale, 0u);

  // Cut short: no timing until the cut keeps the whole timing information
  // (the first 20 bytes of this SPS); never a read past the cut (ASan).
  Bytes sps = h264test::spsHigh30();
  for (size_t len = 0; len <= sps.size(); ++len) {
    Bytes const cutCopy(sps.begin(), sps.begin() + long(len));
    h264::SpsInfo cut;
    h264::parseSps(cutCopy.data(), cutCopy.size(), cut);
    EXPECT_EQ(cut.numUnitsInTick != 0 && cut.timeScale != 0, len >= 20) << len;
  }
  Bytes pps = h264test::ppsBaseline();
  EXPECT_FALSE(h264::parseSps(pps.data(), pps.size(), info));
}

TEST(H264Bits, FirstMbInSliceAndNalHeaderHelpers) {
  uint32_t firstMb = 99;
  for (unsigned mb : {0u, 1u, 10u, 300u, 8159u}) {
    Bytes const nal = h264test::slice(0x41, mb, 4);
    ASSERT_TRUE(h264::parseFirstMbInSlice(nal.data(), nal.size(), firstMb));
    EXPECT_EQ(firstMb, mb);
  }
  Bytes const headerOnly{0x65};
  EXPECT_FALSE(h264::parseFirstMbInSlice(headerOnly.data(), headerOnly.size(), firstMb));
  Bytes const cut{0x65, 0x00};  // the code needs more bytes
  EXPECT_FALSE(h264::parseFirstMbInSlice(cut.data(), cut.size(), firstMb));

  EXPECT_EQ(h264::nalUnitType(0x65), 5u);
  EXPECT_EQ(h264::nalRefIdc(0x65), 3u);
  EXPECT_EQ(h264::nalUnitType(0x09), 9u);
  EXPECT_TRUE(h264::isVcl(1));
  EXPECT_TRUE(h264::isVcl(5));
  EXPECT_FALSE(h264::isVcl(6));
  for (unsigned t : {6u, 7u, 8u, 9u, 14u, 15u, 16u, 17u, 18u}) EXPECT_TRUE(h264::beginsAccessUnit(t)) << t;
  for (unsigned t : {0u, 1u, 2u, 3u, 4u, 5u, 10u, 11u, 12u, 13u, 19u, 20u})
    EXPECT_FALSE(h264::beginsAccessUnit(t)) << t;
}

TEST(H265Bits, RealSpsGiveTheirVuiTiming) {
  struct Case {
    Bytes sps;
    unsigned profile;
    unsigned chroma;
    unsigned subLayers;
  };
  for (Case const& c : {Case{h264test::h265Sps30(), 1, 1, 1}, Case{h264test::h265Sps444_30(), 4, 3, 1},
                        Case{h264test::h265SpsTwoLayers30(), 1, 1, 2}}) {
    h265::SpsInfo info;
    ASSERT_TRUE(h265::parseSps(c.sps.data(), c.sps.size(), info)) << "profile " << c.profile;
    EXPECT_EQ(info.generalProfileIdc, c.profile);
    EXPECT_EQ(info.chromaFormatIdc, c.chroma);
    EXPECT_EQ(info.maxSubLayers, c.subLayers);
    EXPECT_EQ(info.generalLevelIdc, 30u);  // level 1
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 64u);
    EXPECT_TRUE(info.vuiPresent);
    EXPECT_TRUE(info.timingInfoPresent);
    EXPECT_EQ(info.numUnitsInTick, 1u);
    EXPECT_EQ(info.timeScale, 30u);

    // Cut short: the timing is there only once the cut keeps all of it; never
    // a read past the cut (ASan).
    for (size_t len = 0; len < c.sps.size(); ++len) {
      Bytes const cutCopy(c.sps.begin(), c.sps.begin() + long(len));
      h265::SpsInfo cut;
      h265::parseSps(cutCopy.data(), cutCopy.size(), cut);
      EXPECT_TRUE(cut.timeScale == 0 || cut.timeScale == 30u) << len;
    }
    Bytes const cutCopy(c.sps.begin(), c.sps.end() - 6);
    h265::SpsInfo cut;
    EXPECT_FALSE(h265::parseSps(cutCopy.data(), cutCopy.size(), cut) && cut.timeScale != 0);
  }
  Bytes const pps = h264test::h265Pps();
  h265::SpsInfo info;
  EXPECT_FALSE(h265::parseSps(pps.data(), pps.size(), info));
}
