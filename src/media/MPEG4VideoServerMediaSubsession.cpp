#include "MPEG4VideoServerMediaSubsession.hh"

#include "MPEG4ESVideoRTPSink.hh"
#include "MPEG4VideoStreamDiscreteFramer.hh"
#include "RealVideoSource.hh"

MPEG4VideoServerMediaSubsession* MPEG4VideoServerMediaSubsession::createNew(UsageEnvironment& env, MediaInput* input,
                                                                            unsigned bitrate) {
  return new MPEG4VideoServerMediaSubsession(env, input, bitrate);
}

MPEG4VideoServerMediaSubsession::MPEG4VideoServerMediaSubsession(UsageEnvironment& env, MediaInput* input,
                                                                 unsigned bitrate)
    : RealMediaSubsession(env, input, bitrate) {}

MPEG4VideoServerMediaSubsession::~MPEG4VideoServerMediaSubsession() = default;

FramedSource* MPEG4VideoServerMediaSubsession::createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) {
  estBitrate = fEstBitrate;
  RealVideoSource* source = videoSourceFor(clientSessionId);
  if (source == nullptr) return nullptr;  // refused: no stream without the producer's link
  return MPEG4VideoStreamDiscreteFramer::createNew(envir(), source, False /*leavePresentationTimesUnmodified*/);
}

RTPSink* MPEG4VideoServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                           unsigned char rtpPayloadTypeIfDynamic,
                                                           FramedSource* /*inputSource*/) {
  return MPEG4ESVideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, 90000);
}
