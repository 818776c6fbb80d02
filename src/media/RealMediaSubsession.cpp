#include "RealMediaSubsession.hh"

#include "MediaInput.hh"
#include "RealAudioSource.hh"
#include "RealVideoSource.hh"

RealMediaSubsession::RealMediaSubsession(UsageEnvironment& env, MediaInput* input, unsigned bitrate)
    : OnDemandServerMediaSubsession(env, True /*reuseFirstSource*/, 6970 /*initialPortNum*/,
                                    False /*multiplexRTCPWithRTP*/),
      fMediaInput(input),
      fEstBitrate((bitrate + 500) / 1000) {}

RealMediaSubsession::~RealMediaSubsession() = default;

bool RealMediaSubsession::refusesDeadSource(RealMediaSource* source, unsigned clientSessionId) const {
  if (clientSessionId == 0 || source->fileNo() >= 0 || fMediaInput->channel() == 0) return false;
  Medium::close(source);  // its destructor empties the slot: the next SETUP connects afresh
  return true;
}

RealVideoSource* RealMediaSubsession::videoSourceFor(unsigned clientSessionId) {
  if (clientSessionId == 0 && fMediaInput->hasVideoSource()) return fMediaInput->privateVideoSource();
  RealVideoSource* source = fMediaInput->videoSource();
  return refusesDeadSource(source, clientSessionId) ? nullptr : source;
}

RealAudioSource* RealMediaSubsession::audioSourceFor(unsigned clientSessionId) {
  if (clientSessionId == 0 && fMediaInput->hasAudioSource()) return fMediaInput->privateAudioSource();
  RealAudioSource* source = fMediaInput->audioSource();
  return refusesDeadSource(source, clientSessionId) ? nullptr : source;
}
