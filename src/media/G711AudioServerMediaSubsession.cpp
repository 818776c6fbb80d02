#include "G711AudioServerMediaSubsession.hh"

#include "RealAudioSource.hh"
#include "SimpleRTPSink.hh"
#include "uLawAudioFilter.hh"

namespace {
constexpr unsigned kG711Bitrate = 64000;  // bits per second
}

G711AudioServerMediaSubsession* G711AudioServerMediaSubsession::createNew(UsageEnvironment& env, MediaInput* input) {
  return new G711AudioServerMediaSubsession(env, input);
}

G711AudioServerMediaSubsession::G711AudioServerMediaSubsession(UsageEnvironment& env, MediaInput* input)
    : RealMediaSubsession(env, input, kG711Bitrate) {}

G711AudioServerMediaSubsession::~G711AudioServerMediaSubsession() = default;

FramedSource* G711AudioServerMediaSubsession::createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) {
  estBitrate = fEstBitrate;
  RealAudioSource* source = audioSourceFor(clientSessionId);
  if (source == nullptr) return nullptr;  // refused: no stream without the producer's link
  return uLawFromPCMAudioSource::createNew(envir(), source, 0 /*host byte order*/);
}

RTPSink* G711AudioServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                          unsigned char /*rtpPayloadTypeIfDynamic*/,
                                                          FramedSource* /*inputSource*/) {
  fSamplingFrequency = 8000;
  fNumChannels = 1;
  return SimpleRTPSink::createNew(envir(), rtpGroupsock, 0, fSamplingFrequency, "audio", "PCMU", fNumChannels,
                                  True /*allowMultipleFramesPerPacket*/, True /*doNormalMBitRule*/);
}
