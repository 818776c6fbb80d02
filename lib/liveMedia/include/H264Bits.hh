#ifndef OSTRA_H264_BITS_HH
#define OSTRA_H264_BITS_HH

// Bit-level helpers for H.264 (ITU-T H.264) NAL units: NAL header fields,
// emulation-prevention removal, an Exp-Golomb bit reader, and the parts of the
// sequence parameter set and slice header that the framer needs. Plain
// functions over byte ranges: no I/O, no allocation.

#include <cstddef>
#include <cstdint>

namespace h264 {

// NAL unit types used by the framer (Table 7-1).
enum NalUnitType : unsigned {
  kNalSlice = 1,  // coded slice of a non-IDR picture
  kNalSliceDataPartitionA = 2,
  kNalSliceDataPartitionB = 3,
  kNalSliceDataPartitionC = 4,
  kNalSliceIdr = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalAud = 9,
  kNalEndOfSequence = 10,
  kNalEndOfStream = 11,
  kNalFiller = 12,
  kNalSpsExtension = 13,
  kNalPrefix = 14,
  kNalSubsetSps = 15,
  kNalDepthParameterSet = 16,  // 16..18: reserved in older editions
  kNalReserved17 = 17,
  kNalReserved18 = 18,
  kNalAuxiliarySlice = 19,
  kNalSliceExtension = 20,
};

inline unsigned nalUnitType(uint8_t header) { return header & 0x1Fu; }
inline unsigned nalRefIdc(uint8_t header) { return (header >> 5) & 0x3u; }
inline bool forbiddenZeroBit(uint8_t header) { return (header & 0x80u) != 0; }

// VCL NAL units of the primary coded picture (types 1 to 5).
inline bool isVcl(unsigned type) { return type >= 1 && type <= 5; }

// A NAL unit of this type, when it follows a VCL NAL unit, is the first of a
// new access unit (7.4.1.2.3): SEI, SPS, PPS, access unit delimiter, prefix
// NAL unit, subset SPS and types 16 to 18.
inline bool beginsAccessUnit(unsigned type) {
  return type == kNalSei || type == kNalSps || type == kNalPps || type == kNalAud ||
         (type >= kNalPrefix && type <= kNalReserved18);
}

// Slices whose header starts with first_mb_in_slice (types 1, 2 and 5).
inline bool carriesSliceHeader(unsigned type) {
  return type == kNalSlice || type == kNalSliceDataPartitionA || type == kNalSliceIdr;
}

// Copies 'in' to 'out' without the emulation-prevention bytes (every 0x03
// that follows two zero bytes). Writes at most 'outCapacity' bytes; returns
// the number of RBSP bytes (which may exceed 'outCapacity' if 'out' was too
// small: the caller then sees that the copy is partial). 'out' may equal 'in'.
size_t removeEmulationPrevention(uint8_t const* in, size_t inSize, uint8_t* out, size_t outCapacity);

// Reads bits MSB first. With 'skipEmulationPrevention' the reader works on
// the escaped NAL unit payload and drops emulation-prevention bytes as it
// goes. Reads past the end yield zero bits and set overrun().
class BitReader {
public:
  BitReader(uint8_t const* data, size_t size, bool skipEmulationPrevention = false);

  uint32_t readBits(unsigned numBits);  // 0..32 bits
  bool readFlag() { return readBits(1) != 0; }
  void skipBits(unsigned numBits);
  // ue(v); codes longer than 32 bits set overrun() and yield 0.
  uint32_t readUE();
  // se(v)
  int32_t readSE();

  bool overrun() const { return fOverrun; }
  // True when every bit of the input has been consumed.
  bool atEnd() const { return fBitsInCache == 0 && fPos >= fSize; }

private:
  bool loadByte();

  uint8_t const* fData;
  size_t fSize;
  size_t fPos = 0;
  bool fSkipEmulationPrevention;
  unsigned fZeroRun = 0;  // zero bytes seen just before fPos
  uint8_t fCache = 0;     // current byte, consumed from its top bit down
  unsigned fBitsInCache = 0;
  bool fOverrun = false;
};

// What the framer takes from a sequence parameter set.
struct SpsInfo {
  unsigned profileIdc = 0;
  unsigned constraintFlags = 0;
  unsigned levelIdc = 0;
  unsigned spsId = 0;
  unsigned chromaFormatIdc = 1;
  unsigned log2MaxFrameNum = 0;
  unsigned picOrderCntType = 0;
  bool frameMbsOnly = true;
  unsigned widthInMbs = 0;
  unsigned heightInMapUnits = 0;
  bool vuiPresent = false;
  bool timingInfoPresent = false;
  uint32_t numUnitsInTick = 0;
  uint32_t timeScale = 0;
  bool fixedFrameRate = false;
};

// Parses a whole SPS NAL unit (header byte included, emulation prevention
// still in place) as far as the VUI timing information. Returns false when
// the unit is not an SPS or is too short or malformed before that point; the
// fields read so far are left in 'info'.
bool parseSps(uint8_t const* nal, size_t size, SpsInfo& info);

// first_mb_in_slice of a slice NAL unit (header byte included). Returns false
// when the bytes given do not hold the whole code.
bool parseFirstMbInSlice(uint8_t const* nal, size_t size, uint32_t& firstMb);

}  // namespace h264

#endif
