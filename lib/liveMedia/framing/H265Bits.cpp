#include "H265Bits.hh"

#include "H264Bits.hh"

namespace h265 {

namespace {

using h264::BitReader;

constexpr unsigned kMaxShortTermRefPicSets = 64;
constexpr unsigned kMaxDeltaPocs = 32;  // 16 negative and 16 positive pictures

// profile_tier_level(1, maxSubLayersMinus1) (7.3.3).
void readProfileTierLevel(BitReader& br, unsigned maxSubLayersMinus1, SpsInfo& info) {
  info.generalProfileSpace = br.readBits(2);
  info.generalTierFlag = br.readFlag();
  info.generalProfileIdc = br.readBits(5);
  br.skipBits(32);  // general_profile_compatibility_flag[32]
  br.skipBits(48);  // source flags (4), constraint flags (43), general_inbld_flag
  info.generalLevelIdc = br.readBits(8);
  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = br.readFlag();
    levelPresent[i] = br.readFlag();
  }
  if (maxSubLayersMinus1 > 0) br.skipBits(2 * (8 - maxSubLayersMinus1));  // reserved_zero_2bits
  for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) br.skipBits(88);
    if (levelPresent[i]) br.skipBits(8);
  }
}

// scaling_list_data() (7.3.4).
void skipScalingListData(BitReader& br) {
  for (unsigned sizeId = 0; sizeId < 4 && !br.overrun(); ++sizeId) {
    for (unsigned matrixId = 0; matrixId < 6; matrixId += (sizeId == 3) ? 3 : 1) {
      if (!br.readFlag()) {  // scaling_list_pred_mode_flag
        br.readUE();         // scaling_list_pred_matrix_id_delta
        continue;
      }
      unsigned const coefNum = sizeId == 0 ? 16 : 64;
      if (sizeId > 1) br.readSE();  // scaling_list_dc_coef_minus8
      for (unsigned i = 0; i < coefNum && !br.overrun(); ++i) br.readSE();
    }
  }
}

// st_ref_pic_set(idx) (7.3.7) in an SPS; 'numDeltaPocs' holds the counts of
// the sets before it. Returns false on values out of range.
bool skipShortTermRefPicSet(BitReader& br, unsigned idx, unsigned const* numDeltaPocs, unsigned& count) {
  if (idx != 0 && br.readFlag()) {  // inter_ref_pic_set_prediction_flag
    br.readFlag();                  // delta_rps_sign
    br.readUE();                    // abs_delta_rps_minus1
    unsigned const ref = idx - 1;   // delta_idx_minus1 is 0 in an SPS
    count = 0;
    for (unsigned j = 0; j <= numDeltaPocs[ref]; ++j) {
      bool const used = br.readFlag();
      bool const useDelta = used || br.readFlag();
      if (useDelta) ++count;
    }
    return count <= kMaxDeltaPocs;
  }
  uint32_t const negative = br.readUE();
  uint32_t const positive = br.readUE();
  if (negative > 16 || positive > 16) return false;
  for (uint32_t i = 0; i < negative + positive && !br.overrun(); ++i) {
    br.readUE();    // delta_poc_sN_minus1
    br.readFlag();  // used_by_curr_pic_sN_flag
  }
  count = negative + positive;
  return true;
}

// The SPS fields between the coding block sizes and the VUI flag.
bool skipCodingTools(BitReader& br, unsigned log2MaxPocLsb) {
  for (int i = 0; i < 6; ++i) br.readUE();  // block sizes and transform hierarchy depths
  if (br.readFlag() && br.readFlag()) skipScalingListData(br);
  br.skipBits(2);       // amp_enabled_flag, sample_adaptive_offset_enabled_flag
  if (br.readFlag()) {  // pcm_enabled_flag
    br.skipBits(8);     // PCM sample bit depths
    br.readUE();
    br.readUE();
    br.readFlag();  // pcm_loop_filter_disabled_flag
  }
  uint32_t const numSets = br.readUE();
  if (numSets > kMaxShortTermRefPicSets) return false;
  unsigned numDeltaPocs[kMaxShortTermRefPicSets] = {};
  for (unsigned i = 0; i < numSets && !br.overrun(); ++i) {
    if (!skipShortTermRefPicSet(br, i, numDeltaPocs, numDeltaPocs[i])) return false;
  }
  if (br.readFlag()) {  // long_term_ref_pics_present_flag
    uint32_t const numLongTerm = br.readUE();
    if (numLongTerm > 32) return false;
    for (uint32_t i = 0; i < numLongTerm && !br.overrun(); ++i) br.skipBits(log2MaxPocLsb + 1);
  }
  br.skipBits(2);  // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
  return !br.overrun();
}

// vui_parameters() (E.2.1) as far as the timing information.
void readVuiTiming(BitReader& br, SpsInfo& info) {
  if (br.readFlag()) {                           // aspect_ratio_info_present_flag
    if (br.readBits(8) == 255) br.skipBits(32);  // Extended_SAR
  }
  if (br.readFlag()) br.readFlag();      // overscan_info_present_flag, overscan_appropriate_flag
  if (br.readFlag()) {                   // video_signal_type_present_flag
    br.skipBits(4);                      // video_format, video_full_range_flag
    if (br.readFlag()) br.skipBits(24);  // colour description
  }
  if (br.readFlag()) {  // chroma_loc_info_present_flag
    br.readUE();
    br.readUE();
  }
  br.skipBits(3);       // neutral_chroma_indication_flag, field_seq_flag, frame_field_info_present_flag
  if (br.readFlag()) {  // default_display_window_flag
    for (int i = 0; i < 4; ++i) br.readUE();
  }
  bool const timing = br.readFlag();
  uint32_t const numUnitsInTick = timing ? br.readBits(32) : 0;
  uint32_t const timeScale = timing ? br.readBits(32) : 0;
  if (br.overrun()) return;
  info.timingInfoPresent = timing;
  info.numUnitsInTick = numUnitsInTick;
  info.timeScale = timeScale;
}

}  // namespace

bool parseFirstSliceSegmentInPic(uint8_t const* nal, size_t size, bool& firstSliceSegment) {
  firstSliceSegment = false;
  if (nal == nullptr || size < 3) return false;
  firstSliceSegment = (nal[2] & 0x80) != 0;  // no emulation prevention can come before this bit
  return true;
}

bool parseSps(uint8_t const* nal, size_t size, SpsInfo& info) {
  info = SpsInfo{};
  if (nal == nullptr || size < 3 || nalUnitType(nal[0]) != kNalSps) return false;
  BitReader br(nal + 2, size - 2, true);

  br.skipBits(4);  // sps_video_parameter_set_id
  unsigned const maxSubLayersMinus1 = br.readBits(3);
  if (maxSubLayersMinus1 > 6) return false;
  info.maxSubLayers = maxSubLayersMinus1 + 1;
  br.readFlag();  // sps_temporal_id_nesting_flag
  readProfileTierLevel(br, maxSubLayersMinus1, info);
  info.spsId = br.readUE();
  info.chromaFormatIdc = br.readUE();
  if (info.spsId > 15 || info.chromaFormatIdc > 3) return false;
  if (info.chromaFormatIdc == 3) br.readFlag();  // separate_colour_plane_flag
  info.width = br.readUE();
  info.height = br.readUE();
  if (br.readFlag()) {  // conformance_window_flag
    for (int i = 0; i < 4; ++i) br.readUE();
  }
  br.readUE();  // bit_depth_luma_minus8
  br.readUE();  // bit_depth_chroma_minus8
  uint32_t const log2MaxPocLsbMinus4 = br.readUE();
  if (log2MaxPocLsbMinus4 > 12) return false;
  bool const orderingForAll = br.readFlag();  // sps_sub_layer_ordering_info_present_flag
  for (unsigned i = orderingForAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
    for (int k = 0; k < 3; ++k) br.readUE();  // max_dec_pic_buffering, num_reorder_pics, max_latency_increase
  }
  if (br.overrun() || !skipCodingTools(br, log2MaxPocLsbMinus4 + 4)) return false;

  info.vuiPresent = br.readFlag();
  if (info.vuiPresent) readVuiTiming(br, info);
  return !br.overrun();
}

}  // namespace h265
