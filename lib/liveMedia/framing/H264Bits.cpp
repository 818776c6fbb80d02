#include "H264Bits.hh"

namespace h264 {

size_t removeEmulationPrevention(uint8_t const* in, size_t inSize, uint8_t* out, size_t outCapacity) {
  size_t outSize = 0;
  unsigned zeroRun = 0;
  for (size_t i = 0; i < inSize; ++i) {
    uint8_t const b = in[i];
    if (zeroRun >= 2 && b == 0x03) {
      zeroRun = 0;  // an emulation-prevention byte: dropped, and it breaks the zero run
      continue;
    }
    zeroRun = (b == 0) ? zeroRun + 1 : 0;
    if (outSize < outCapacity) out[outSize] = b;
    ++outSize;
  }
  return outSize;
}

BitReader::BitReader(uint8_t const* data, size_t size, bool skipEmulationPrevention)
    : fData(data), fSize(data != nullptr ? size : 0), fSkipEmulationPrevention(skipEmulationPrevention) {}

bool BitReader::loadByte() {
  if (fSkipEmulationPrevention && fZeroRun >= 2 && fPos < fSize && fData[fPos] == 0x03) {
    ++fPos;
    fZeroRun = 0;
  }
  if (fPos >= fSize) {
    fOverrun = true;
    return false;
  }
  fCache = fData[fPos++];
  fZeroRun = (fCache == 0) ? fZeroRun + 1 : 0;
  fBitsInCache = 8;
  return true;
}

uint32_t BitReader::readBits(unsigned numBits) {
  if (numBits > 32) {
    fOverrun = true;
    return 0;
  }
  uint32_t value = 0;
  while (numBits > 0) {
    if (fBitsInCache == 0 && !loadByte()) {
      // Past the end: the remaining bits read as zeros.
      return numBits >= 32 ? 0 : value << numBits;
    }
    unsigned const take = numBits < fBitsInCache ? numBits : fBitsInCache;
    unsigned const shift = fBitsInCache - take;
    uint32_t const bits = (static_cast<uint32_t>(fCache) >> shift) & ((1u << take) - 1u);
    value = (take >= 32 ? 0 : (value << take)) | bits;
    fBitsInCache -= take;
    numBits -= take;
  }
  return value;
}

void BitReader::skipBits(unsigned numBits) {
  while (numBits > 0 && !fOverrun) {
    unsigned const n = numBits > 32 ? 32 : numBits;
    readBits(n);
    numBits -= n;
  }
}

uint32_t BitReader::readUE() {
  unsigned leadingZeros = 0;
  while (!readFlag()) {
    if (fOverrun) return 0;
    if (++leadingZeros > 31) {
      fOverrun = true;
      return 0;
    }
  }
  if (leadingZeros == 0) return 0;
  uint32_t const suffix = readBits(leadingZeros);
  return ((1u << leadingZeros) - 1u) + suffix;
}

int32_t BitReader::readSE() {
  uint32_t const k = readUE();
  int64_t const v = (k & 1u) ? (static_cast<int64_t>(k) + 1) / 2 : -static_cast<int64_t>(k / 2);
  return static_cast<int32_t>(v);
}

namespace {

void skipScalingList(BitReader& br, unsigned sizeOfList) {
  int lastScale = 8;
  int nextScale = 8;
  for (unsigned j = 0; j < sizeOfList && !br.overrun(); ++j) {
    if (nextScale != 0) {
      int32_t const delta = br.readSE();
      nextScale = static_cast<int>((lastScale + static_cast<int64_t>(delta) + 256) % 256);
      if (nextScale < 0) nextScale += 256;
    }
    lastScale = (nextScale == 0) ? lastScale : nextScale;
  }
}

bool hasChromaInfo(unsigned profileIdc) {
  switch (profileIdc) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool parseSps(uint8_t const* nal, size_t size, SpsInfo& info) {
  info = SpsInfo{};
  if (nal == nullptr || size < 2 || nalUnitType(nal[0]) != kNalSps) return false;
  BitReader br(nal + 1, size - 1, true);

  info.profileIdc = br.readBits(8);
  info.constraintFlags = br.readBits(8);
  info.levelIdc = br.readBits(8);
  info.spsId = br.readUE();
  if (hasChromaInfo(info.profileIdc)) {
    info.chromaFormatIdc = br.readUE();
    if (info.chromaFormatIdc == 3) br.readFlag();  // separate_colour_plane_flag
    br.readUE();                                   // bit_depth_luma_minus8
    br.readUE();                                   // bit_depth_chroma_minus8
    br.readFlag();                                 // qpprime_y_zero_transform_bypass_flag
    if (br.readFlag()) {                           // seq_scaling_matrix_present_flag
      unsigned const numLists = (info.chromaFormatIdc != 3) ? 8 : 12;
      for (unsigned i = 0; i < numLists && !br.overrun(); ++i) {
        if (br.readFlag()) skipScalingList(br, i < 6 ? 16 : 64);
      }
    }
  }
  info.log2MaxFrameNum = br.readUE() + 4;
  info.picOrderCntType = br.readUE();
  if (info.picOrderCntType == 0) {
    br.readUE();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (info.picOrderCntType == 1) {
    br.readFlag();  // delta_pic_order_always_zero_flag
    br.readSE();    // offset_for_non_ref_pic
    br.readSE();    // offset_for_top_to_bottom_field
    uint32_t const cycle = br.readUE();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && !br.overrun(); ++i) br.readSE();
  }
  br.readUE();    // max_num_ref_frames
  br.readFlag();  // gaps_in_frame_num_value_allowed_flag
  info.widthInMbs = br.readUE() + 1;
  info.heightInMapUnits = br.readUE() + 1;
  info.frameMbsOnly = br.readFlag();
  if (!info.frameMbsOnly) br.readFlag();  // mb_adaptive_frame_field_flag
  br.readFlag();                          // direct_8x8_inference_flag
  if (br.readFlag()) {                    // frame_cropping_flag
    for (int i = 0; i < 4; ++i) br.readUE();
  }
  if (br.overrun()) return false;

  info.vuiPresent = br.readFlag();
  if (!info.vuiPresent) return !br.overrun();

  if (br.readFlag()) {                           // aspect_ratio_info_present_flag
    if (br.readBits(8) == 255) br.skipBits(32);  // Extended_SAR: sar_width, sar_height
  }
  if (br.readFlag()) br.readFlag();      // overscan_info_present_flag -> overscan_appropriate_flag
  if (br.readFlag()) {                   // video_signal_type_present_flag
    br.skipBits(4);                      // video_format, video_full_range_flag
    if (br.readFlag()) br.skipBits(24);  // colour description
  }
  if (br.readFlag()) {  // chroma_loc_info_present_flag
    br.readUE();
    br.readUE();
  }
  info.timingInfoPresent = br.readFlag();
  if (info.timingInfoPresent) {
    info.numUnitsInTick = br.readBits(32);
    info.timeScale = br.readBits(32);
    info.fixedFrameRate = br.readFlag();
  }
  if (br.overrun()) {
    info.timingInfoPresent = false;
    info.numUnitsInTick = 0;
    info.timeScale = 0;
    return false;
  }
  return true;
}

bool parseFirstMbInSlice(uint8_t const* nal, size_t size, uint32_t& firstMb) {
  firstMb = 0;
  if (nal == nullptr || size < 2) return false;
  BitReader br(nal + 1, size - 1, true);
  uint32_t const v = br.readUE();
  if (br.overrun()) return false;
  firstMb = v;
  return true;
}

}  // namespace h264
