#ifndef OSTRA_H265_VIDEO_STREAM_FRAMER_HH
#define OSTRA_H265_VIDEO_STREAM_FRAMER_HH

#include "H264or5VideoStreamFramer.hh"

// The H.265 framer (H264or5VideoStreamFramer.hh): access units end by the
// H.265 rules (first_slice_segment_in_pic_flag; VPS, SPS, PPS, AUD or prefix
// SEI after a slice segment begin a new one; suffix SEI belongs to the one
// before).
class H265VideoStreamFramer : public H264or5VideoStreamFramer {
public:
  static H265VideoStreamFramer* createNew(UsageEnvironment& env, FramedSource* inputSource,
                                          Boolean includeStartCodeInOutput = False, Boolean useWallClockTime = False);

  // The latest parameter sets seen in the stream (null and 0 when none yet).
  void getVPSandSPSandPPS(uint8_t const*& vps, unsigned& vpsSize, uint8_t const*& sps, unsigned& spsSize,
                          uint8_t const*& pps, unsigned& ppsSize) const;

  Boolean isH265VideoStreamFramer() const override;

protected:
  H265VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource, Boolean includeStartCodeInOutput,
                        Boolean useWallClockTime);
  ~H265VideoStreamFramer() override;
};

#endif
