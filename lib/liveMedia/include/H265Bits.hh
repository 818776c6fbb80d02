#ifndef OSTRA_H265_BITS_HH
#define OSTRA_H265_BITS_HH

// Bit-level helpers for H.265 (ITU-T H.265) NAL units: the two-byte NAL
// header, the unit types that decide access-unit boundaries and key
// pictures, first_slice_segment_in_pic_flag, and the sequence parameter set
// as far as its VUI timing. Plain functions over byte ranges on top of the
// H.264 bit reader (the Exp-Golomb codes and emulation prevention are the
// same): no I/O, no allocation.

#include <cstddef>
#include <cstdint>

namespace h265 {

// NAL unit types used here (Table 7-1).
enum NalUnitType : unsigned {
  kNalBlaWLp = 16,
  kNalBlaWRadl = 17,
  kNalBlaNLp = 18,
  kNalIdrWRadl = 19,
  kNalIdrNLp = 20,
  kNalCraNut = 21,
  kNalVps = 32,
  kNalSps = 33,
  kNalPps = 34,
  kNalAud = 35,
  kNalEndOfSequence = 36,
  kNalEndOfBitstream = 37,
  kNalFiller = 38,
  kNalPrefixSei = 39,
  kNalSuffixSei = 40,
};

inline unsigned nalUnitType(uint8_t header0) { return (header0 >> 1) & 0x3Fu; }

// Coded slice segments (types 0 to 31, reserved ones included).
inline bool isVcl(unsigned type) { return type < 32; }

// Intra random access point pictures: BLA, IDR and CRA (16 to 23, with the
// two reserved IRAP types).
inline bool isIrap(unsigned type) { return type >= kNalBlaWLp && type <= 23; }

// A NAL unit of this type, when it follows a VCL NAL unit, is the first of a
// new access unit (7.4.2.4.4): VPS, SPS, PPS, access unit delimiter, prefix
// SEI and types 41 to 44 and 48 to 55. Suffix SEI, end of sequence and
// filler data belong to the access unit before them.
inline bool beginsAccessUnit(unsigned type) {
  return (type >= kNalVps && type <= kNalAud) || type == kNalPrefixSei || (type >= 41 && type <= 44) ||
         (type >= 48 && type <= 55);
}

// first_slice_segment_in_pic_flag of a slice segment NAL unit (header
// included): the first bit after the two-byte header. Returns false when
// fewer than three bytes are given.
bool parseFirstSliceSegmentInPic(uint8_t const* nal, size_t size, bool& firstSliceSegment);

// What is taken from a sequence parameter set.
struct SpsInfo {
  unsigned maxSubLayers = 1;  // sps_max_sub_layers_minus1 + 1
  unsigned generalProfileSpace = 0;
  bool generalTierFlag = false;
  unsigned generalProfileIdc = 0;
  unsigned generalLevelIdc = 0;
  unsigned spsId = 0;
  unsigned chromaFormatIdc = 1;
  uint32_t width = 0;  // pic_width_in_luma_samples
  uint32_t height = 0;
  bool vuiPresent = false;
  bool timingInfoPresent = false;
  uint32_t numUnitsInTick = 0;
  uint32_t timeScale = 0;
};

// Parses a whole SPS NAL unit (two-byte header included, emulation
// prevention still in place) as far as the VUI timing information. Returns
// false when the unit is not an SPS, or is too short or malformed before that
// point; the fields read so far are left in 'info' (the timing only when it
// was read whole).
bool parseSps(uint8_t const* nal, size_t size, SpsInfo& info);

}  // namespace h265

#endif
