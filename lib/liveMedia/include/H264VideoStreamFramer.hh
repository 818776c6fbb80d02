#ifndef OSTRA_H264_VIDEO_STREAM_FRAMER_HH
#define OSTRA_H264_VIDEO_STREAM_FRAMER_HH

#include <cstdint>

#include "FramedFilter.hh"

// Splits an H.264 Annex B byte stream into NAL units (delivered one per
// request), finds access-unit ends, keeps the latest SPS and PPS, and gives
// every NAL unit a presentation time and a duration. Closing the framer closes
// its input source.
class H264VideoStreamFramer : public FramedFilter {
public:
  // includeStartCodeInOutput: prefix each NAL unit with 00 00 00 01.
  // useWallClockTime: each access unit's presentation time is the wall-clock
  // time at which the previous access unit's end was parsed.
  static H264VideoStreamFramer* createNew(UsageEnvironment& env, FramedSource* inputSource,
                                          Boolean includeStartCodeInOutput = False,
                                          Boolean useWallClockTime = False);

  // The latest parameter sets seen in the stream (null and 0 when none yet).
  void getSPSandPPS(uint8_t const*& sps, unsigned& spsSize, uint8_t const*& pps, unsigned& ppsSize) const;

  // True when the NAL unit delivered last ends an access unit (the RTP sink
  // sets the marker bit on its last packet).
  Boolean pictureEndMarker() const { return fPictureEndMarker; }

  Boolean isH264VideoStreamFramer() const override;

protected:
  H264VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource, Boolean includeStartCodeInOutput,
                        Boolean useWallClockTime);
  ~H264VideoStreamFramer() override;

  Boolean fPictureEndMarker = False;
};

#endif
