#include "RealMediaSubsession.hh"

#include "MediaInput.hh"

RealMediaSubsession::RealMediaSubsession(UsageEnvironment& env, MediaInput* input, unsigned bitrate)
    : OnDemandServerMediaSubsession(env, True /*reuseFirstSource*/, 6970 /*initialPortNum*/,
                                    False /*multiplexRTCPWithRTP*/),
      fMediaInput(input),
      fEstBitrate((bitrate + 500) / 1000) {}

RealMediaSubsession::~RealMediaSubsession() = default;

RealVideoSource* RealMediaSubsession::videoSourceFor(unsigned clientSessionId) {
  if (clientSessionId == 0 && fMediaInput->hasVideoSource()) return fMediaInput->privateVideoSource();
  return fMediaInput->videoSource();
}

RealAudioSource* RealMediaSubsession::audioSourceFor(unsigned clientSessionId) {
  if (clientSessionId == 0 && fMediaInput->hasAudioSource()) return fMediaInput->privateAudioSource();
  return fMediaInput->audioSource();
}
