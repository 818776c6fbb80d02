#ifndef OSTRA_H264_VIDEO_STREAM_FRAMER_HH
#define OSTRA_H264_VIDEO_STREAM_FRAMER_HH

#include "H264or5VideoStreamFramer.hh"

// The H.264 framer (H264or5VideoStreamFramer.hh): access units end by the
// H.264 rules (first_mb_in_slice, SEI/SPS/PPS/AUD after a slice).
class H264VideoStreamFramer : public H264or5VideoStreamFramer {
public:
  static H264VideoStreamFramer* createNew(UsageEnvironment& env, FramedSource* inputSource,
                                          Boolean includeStartCodeInOutput = False, Boolean useWallClockTime = False);

  // The latest parameter sets seen in the stream (null and 0 when none yet).
  void getSPSandPPS(uint8_t const*& sps, unsigned& spsSize, uint8_t const*& pps, unsigned& ppsSize) const;

  Boolean isH264VideoStreamFramer() const override;

protected:
  H264VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource, Boolean includeStartCodeInOutput,
                        Boolean useWallClockTime);
  ~H264VideoStreamFramer() override;
};

#endif
