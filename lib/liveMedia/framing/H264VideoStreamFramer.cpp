#include "H264VideoStreamFramer.hh"

H264VideoStreamFramer* H264VideoStreamFramer::createNew(UsageEnvironment& env, FramedSource* inputSource,
                                                        Boolean includeStartCodeInOutput, Boolean useWallClockTime) {
  return new H264VideoStreamFramer(env, inputSource, includeStartCodeInOutput, useWallClockTime);
}

H264VideoStreamFramer::H264VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource,
                                             Boolean includeStartCodeInOutput, Boolean useWallClockTime)
    : H264or5VideoStreamFramer(264, env, inputSource, includeStartCodeInOutput, useWallClockTime) {}

H264VideoStreamFramer::~H264VideoStreamFramer() = default;

Boolean H264VideoStreamFramer::isH264VideoStreamFramer() const { return True; }

void H264VideoStreamFramer::getSPSandPPS(uint8_t const*& sps, unsigned& spsSize, uint8_t const*& pps,
                                         unsigned& ppsSize) const {
  sps = fLastSPS.empty() ? nullptr : fLastSPS.data();
  spsSize = unsigned(fLastSPS.size());
  pps = fLastPPS.empty() ? nullptr : fLastPPS.data();
  ppsSize = unsigned(fLastPPS.size());
}
