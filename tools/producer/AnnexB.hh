// Splitting of elementary video streams into the units the producer writes: H.264 Annex B byte streams into
// access units, MPEG-4 part 2 visual streams into frames (one VOP with the headers that precede it).
// Pure functions over a byte range, shared by ostra-producer and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostra_producer {

// One unit of a stream: the bytes [offset, offset + size) of the input.
struct StreamUnit {
  size_t offset = 0;
  size_t size = 0;
  bool key = false;  // H.264: holds an IDR slice; MPEG-4: its VOP is intra coded
};

// One start-code-delimited element of a stream.
struct StreamElement {
  size_t offset = 0;         // first byte of its start code (the extra zero of a four-byte code included)
  size_t payloadOffset = 0;  // first byte after the start code (the NAL header byte, the MPEG-4 code value)
  size_t end = 0;            // one past its last byte: the next element's offset, or the end of the input
};

// Every element of a stream introduced by 00 00 01 (or 00 00 00 01). Bytes before the first start code are
// not part of any element.
inline std::vector<StreamElement> findElements(uint8_t const* data, size_t size) {
  std::vector<StreamElement> out;
  size_t i = 0;
  while (i + 3 <= size) {
    if (data[i + 2] > 1) {
      i += 3;
      continue;
    }
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      StreamElement e;
      e.offset = (i > 0 && data[i - 1] == 0) ? i - 1 : i;
      if (!out.empty() && e.offset < out.back().payloadOffset) e.offset = i;  // never reach into a start code
      e.payloadOffset = i + 3;
      if (!out.empty()) out.back().end = e.offset;
      out.push_back(e);
      i += 3;
      continue;
    }
    ++i;
  }
  if (!out.empty()) out.back().end = size;
  return out;
}

inline int nalType(uint8_t const* data, StreamElement const& e) {
  return e.payloadOffset < e.end ? (data[e.payloadOffset] & 0x1F) : -1;
}

// Splits an Annex B byte stream into access units. A new access unit begins, once the current one holds a slice
// of a primary picture (NAL types 1 and 5), at an access unit delimiter (9), a sequence or picture parameter set
// (7, 8), SEI (6), NAL types 14 to 18, or at a slice whose first_mb_in_slice is 0 (the ue(v) code of 0 is a single
// 1 bit: the top bit of the first byte after the NAL header). Bytes before the first start code go with the first
// access unit.
inline std::vector<StreamUnit> splitH264AccessUnits(uint8_t const* data, size_t size) {
  std::vector<StreamUnit> units;
  const std::vector<StreamElement> nals = findElements(data, size);
  if (nals.empty()) {
    if (size > 0) units.push_back(StreamUnit{0, size, false});
    return units;
  }
  StreamUnit cur{0, 0, false};
  bool haveSlice = false;
  for (StreamElement const& e : nals) {
    int const type = nalType(data, e);
    bool const isSlice = type == 1 || type == 5;
    bool startsUnit = false;
    if (haveSlice) {
      if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) startsUnit = true;
      if (isSlice && e.payloadOffset + 1 < e.end && (data[e.payloadOffset + 1] & 0x80) != 0) startsUnit = true;
    }
    if (startsUnit) {
      cur.size = e.offset - cur.offset;
      units.push_back(cur);
      cur = StreamUnit{e.offset, 0, false};
      haveSlice = false;
    }
    if (isSlice) haveSlice = true;
    if (type == 5) cur.key = true;
  }
  cur.size = size - cur.offset;
  units.push_back(cur);
  return units;
}

inline int h265NalType(uint8_t const* data, StreamElement const& e) {
  return e.payloadOffset < e.end ? ((data[e.payloadOffset] >> 1) & 0x3F) : -1;
}

// Splits an H.265 Annex B byte stream into access units. A new access unit begins, once the current one holds a
// slice segment (NAL types 0 to 31), at a VPS, SPS, PPS, access unit delimiter (32 to 35), prefix SEI (39), NAL
// types 41 to 44 and 48 to 55, or at a slice segment whose first_slice_segment_in_pic_flag is set (the top bit of
// the first byte after the two-byte NAL header). Suffix SEI stays with the unit before. A unit is key when it holds
// an IRAP picture (types 16 to 23). Bytes before the first start code go with the first access unit.
inline std::vector<StreamUnit> splitH265AccessUnits(uint8_t const* data, size_t size) {
  std::vector<StreamUnit> units;
  StreamUnit cur{0, 0, false};
  bool haveSlice = false;
  for (StreamElement const& e : findElements(data, size)) {
    int const type = h265NalType(data, e);
    bool const isSlice = type >= 0 && type < 32;
    bool startsUnit = false;
    if (haveSlice) {
      if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55))
        startsUnit = true;
      if (isSlice && e.payloadOffset + 2 < e.end && (data[e.payloadOffset + 2] & 0x80) != 0) startsUnit = true;
    }
    if (startsUnit) {
      cur.size = e.offset - cur.offset;
      units.push_back(cur);
      cur = StreamUnit{e.offset, 0, false};
      haveSlice = false;
    }
    if (isSlice) haveSlice = true;
    if (type >= 16 && type <= 23) cur.key = true;
  }
  cur.size = size - cur.offset;
  if (cur.size > 0) units.push_back(cur);
  return units;
}

// MPEG-4 part 2 start code values.
constexpr uint8_t kVopStartCode = 0xB6;
constexpr uint8_t kVisualObjectSequenceStartCode = 0xB0;
inline bool isVolStartCode(uint8_t code) { return code >= 0x20 && code <= 0x2F; }

// Splits an MPEG-4 part 2 visual stream into frames, one per VOP (start code 00 00 01 B6). Headers (visual object
// sequence, visual object, video object layer, group of VOPs, user data) belong to the VOP that follows them. A
// frame is key when vop_coding_type (the top two bits after the start code) is 0, intra. Bytes before the first
// start code go with the first frame.
inline std::vector<StreamUnit> splitMpeg4Frames(uint8_t const* data, size_t size) {
  std::vector<StreamUnit> units;
  const std::vector<StreamElement> elements = findElements(data, size);
  StreamUnit cur{0, 0, false};
  bool haveVop = false;
  for (StreamElement const& e : elements) {
    if (e.payloadOffset >= e.end) continue;
    const uint8_t code = data[e.payloadOffset];
    if (haveVop) {  // a VOP closes the current frame: whatever comes next starts the following one
      cur.size = e.offset - cur.offset;
      units.push_back(cur);
      cur = StreamUnit{e.offset, 0, false};
      haveVop = false;
    }
    if (code == kVopStartCode) {
      haveVop = true;
      cur.key = e.payloadOffset + 1 < e.end && (data[e.payloadOffset + 1] >> 6) == 0;
    }
  }
  cur.size = size - cur.offset;
  if (cur.size > 0) units.push_back(cur);
  return units;
}

// True when the bytes hold an element whose first payload byte satisfies the predicate.
template <typename Pred>
inline bool containsElement(uint8_t const* data, size_t size, Pred pred) {
  for (StreamElement const& e : findElements(data, size))
    if (e.payloadOffset < e.end && pred(data[e.payloadOffset])) return true;
  return false;
}

// An H.264 filler data NAL unit (type 12) of exactly `nalSize` bytes (header byte, 0xFF payload, 0x80 trailing
// bits; at least 2), preceded by a four-byte start code. Decoders skip it.
inline std::string makeFillerNal(size_t nalSize) {
  if (nalSize < 2) nalSize = 2;
  std::string s;
  s.reserve(nalSize + 4);
  s.append("\x00\x00\x00\x01", 4);
  s.push_back('\x0C');
  s.append(nalSize - 2, '\xFF');
  s.push_back('\x80');
  return s;
}

}  // namespace ostra_producer
