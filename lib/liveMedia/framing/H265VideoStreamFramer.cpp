#include "H265VideoStreamFramer.hh"

H265VideoStreamFramer* H265VideoStreamFramer::createNew(UsageEnvironment& env, FramedSource* inputSource,
                                                        Boolean includeStartCodeInOutput, Boolean useWallClockTime) {
  return new H265VideoStreamFramer(env, inputSource, includeStartCodeInOutput, useWallClockTime);
}

H265VideoStreamFramer::H265VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource,
                                             Boolean includeStartCodeInOutput, Boolean useWallClockTime)
    : H264or5VideoStreamFramer(265, env, inputSource, includeStartCodeInOutput, useWallClockTime) {}

H265VideoStreamFramer::~H265VideoStreamFramer() = default;

Boolean H265VideoStreamFramer::isH265VideoStreamFramer() const { return True; }

void H265VideoStreamFramer::getVPSandSPSandPPS(uint8_t const*& vps, unsigned& vpsSize, uint8_t const*& sps,
                                               unsigned& spsSize, uint8_t const*& pps, unsigned& ppsSize) const {
  vps = fLastVPS.empty() ? nullptr : fLastVPS.data();
  vpsSize = unsigned(fLastVPS.size());
  sps = fLastSPS.empty() ? nullptr : fLastSPS.data();
  spsSize = unsigned(fLastSPS.size());
  pps = fLastPPS.empty() ? nullptr : fLastPPS.data();
  ppsSize = unsigned(fLastPPS.size());
}
