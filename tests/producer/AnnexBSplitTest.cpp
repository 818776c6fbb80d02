// The stream splitters of ostra-producer (AnnexB.hh) on crafted byte streams: H.264 access units, filler NAL
// units and MPEG-4 frames.

#include "../../tools/producer/AnnexB.hh"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using namespace ostra_producer;
using Bytes = std::vector<uint8_t>;

void append(Bytes& b, std::initializer_list<int> v) {
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
}

TEST(AnnexBSplit, H264AccessUnitBoundaries) {
  Bytes s;
  append(s, {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1E});  // SPS
  append(s, {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80});  // PPS
  append(s, {0x00, 0x00, 0x01, 0x06, 0x05, 0x01, 0x80});        // SEI
  append(s, {0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00});        // IDR slice, first_mb_in_slice 0
  append(s, {0x00, 0x00, 0x01, 0x65, 0x20, 0x11});              // IDR slice, first_mb_in_slice != 0: same AU
  append(s, {0x00, 0x00, 0x01, 0x0C, 0xFF, 0xFF, 0x80});        // filler: same AU
  const size_t au2 = s.size();
  append(s, {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x02});        // P slice, first_mb 0: new AU
  append(s, {0x00, 0x00, 0x01, 0x41, 0x40, 0x02, 0x00, 0x00});  // second slice (trailing zeros stay with it)
  const size_t au3 = s.size();
  append(s, {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});  // AUD starts the next AU
  append(s, {0x00, 0x00, 0x01, 0x41, 0x9A, 0x04});  // its slice, first_mb 0, but the AU already began at the AUD
  const size_t au4 = s.size();
  append(s, {0x00, 0x00, 0x01, 0x41, 0xE0, 0x05});  // slice with first_mb 0 and no delimiter

  const std::vector<StreamUnit> u = splitH264AccessUnits(s.data(), s.size());
  ASSERT_EQ(u.size(), 4u);
  EXPECT_EQ(u[0].offset, 0u);
  EXPECT_EQ(u[0].size, au2);
  EXPECT_TRUE(u[0].key);
  EXPECT_EQ(u[1].offset, au2);
  EXPECT_EQ(u[1].size, au3 - au2);
  EXPECT_FALSE(u[1].key);
  EXPECT_EQ(u[2].offset, au3);
  EXPECT_EQ(u[2].size, au4 - au3);
  EXPECT_EQ(u[3].offset, au4);
  EXPECT_EQ(u[3].offset + u[3].size, s.size());
  // A four-byte start code belongs entirely to the unit it opens.
  EXPECT_EQ(s[u[1].offset + 3], 0x01);
  EXPECT_EQ(s[u[1].offset + 4], 0x41);
}

TEST(AnnexBSplit, H264EdgeCases) {
  EXPECT_TRUE(splitH264AccessUnits(nullptr, 0).empty());

  // No start code at all: one unit with everything, not key.
  Bytes junk = {1, 2, 3, 4, 5};
  auto u = splitH264AccessUnits(junk.data(), junk.size());
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].size, junk.size());
  EXPECT_FALSE(u[0].key);

  // Leading bytes go with the first unit; parameter sets after a slice open a new (key) unit.
  Bytes s = {0xAA, 0xBB};
  append(s, {0x00, 0x00, 0x01, 0x41, 0x9A});
  const size_t second = s.size();
  append(s, {0x00, 0x00, 0x00, 0x01, 0x67, 0x42});
  append(s, {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE});
  append(s, {0x00, 0x00, 0x00, 0x01, 0x65, 0x88});
  u = splitH264AccessUnits(s.data(), s.size());
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[0].offset, 0u);
  EXPECT_EQ(u[0].size, second);
  EXPECT_FALSE(u[0].key);
  EXPECT_EQ(u[1].offset, second);
  EXPECT_TRUE(u[1].key);

  // Start code split at the very end, and a stream that ends inside a start code.
  Bytes t;
  append(t, {0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00});
  u = splitH264AccessUnits(t.data(), t.size());
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].size, t.size());

  // Elements: a four-byte code takes its leading zero, the payload starts after 00 00 01.
  Bytes e;
  append(e, {0x00, 0x00, 0x00, 0x01, 0x67, 0x00, 0x00, 0x01, 0x68});
  auto el = findElements(e.data(), e.size());
  ASSERT_EQ(el.size(), 2u);
  EXPECT_EQ(el[0].offset, 0u);
  EXPECT_EQ(el[0].payloadOffset, 4u);
  EXPECT_EQ(el[0].end, 5u);
  EXPECT_EQ(el[1].offset, 5u);
  EXPECT_EQ(el[1].payloadOffset, 8u);
  EXPECT_EQ(nalType(e.data(), el[1]), 8);
}

TEST(AnnexBSplit, FillerNal) {
  const std::string f = makeFillerNal(1000);
  ASSERT_EQ(f.size(), 1004u);
  EXPECT_EQ(f.compare(0, 4, std::string("\x00\x00\x00\x01", 4)), 0);
  EXPECT_EQ(static_cast<uint8_t>(f[4]) & 0x1F, 12);
  EXPECT_EQ(static_cast<uint8_t>(f.back()), 0x80);
  auto const el = findElements(reinterpret_cast<uint8_t const*>(f.data()), f.size());
  ASSERT_EQ(el.size(), 1u);  // no start code emulated inside
  EXPECT_EQ(el[0].end - el[0].payloadOffset, 1000u);
}

TEST(AnnexBSplit, Mpeg4Frames) {
  Bytes s;
  append(s, {0x00, 0x00, 0x01, 0xB0, 0x01});              // visual object sequence
  append(s, {0x00, 0x00, 0x01, 0xB5, 0x89});              // visual object
  append(s, {0x00, 0x00, 0x01, 0x00});                    // video object
  append(s, {0x00, 0x00, 0x01, 0x20, 0x00, 0xC4});        // video object layer
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x10, 0x60, 0x8D});  // I-VOP
  const size_t f2 = s.size();
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x50, 0x11});  // P-VOP
  const size_t f3 = s.size();
  append(s, {0x00, 0x00, 0x01, 0xB3, 0x00, 0x10});  // group of VOPs header: belongs to the next VOP
  append(s, {0x00, 0x00, 0x01, 0xB2, 0x4C, 0x61});  // user data
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x00, 0x22});  // I-VOP
  const size_t f4 = s.size();
  append(s, {0x00, 0x00, 0x01, 0xB6, 0x90, 0x33});  // B-VOP (coding type 2)

  const std::vector<StreamUnit> u = splitMpeg4Frames(s.data(), s.size());
  ASSERT_EQ(u.size(), 4u);
  EXPECT_EQ(u[0].offset, 0u);
  EXPECT_EQ(u[0].size, f2);
  EXPECT_TRUE(u[0].key);
  EXPECT_EQ(u[1].offset, f2);
  EXPECT_EQ(u[1].size, f3 - f2);
  EXPECT_FALSE(u[1].key);
  EXPECT_EQ(u[2].offset, f3);
  EXPECT_EQ(u[2].size, f4 - f3);
  EXPECT_TRUE(u[2].key);
  EXPECT_EQ(u[3].offset, f4);
  EXPECT_EQ(u[3].size, s.size() - f4);
  EXPECT_FALSE(u[3].key);
  EXPECT_TRUE(containsElement(s.data(), u[0].size, isVolStartCode));
  EXPECT_FALSE(containsElement(s.data() + u[2].offset, u[2].size, isVolStartCode));

  // Headers alone (no VOP yet) make one unit.
  Bytes h;
  append(h, {0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0x20, 0x00});
  auto const hu = splitMpeg4Frames(h.data(), h.size());
  ASSERT_EQ(hu.size(), 1u);
  EXPECT_EQ(hu[0].size, h.size());
  EXPECT_FALSE(hu[0].key);
}

}  // namespace
