#include "H264VideoServerMediaSubsession.hh"

#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "RealVideoSource.hh"

H264VideoServerMediaSubsession* H264VideoServerMediaSubsession::createNew(UsageEnvironment& env, MediaInput* input,
                                                                          unsigned bitrate) {
  return new H264VideoServerMediaSubsession(env, input, bitrate);
}

H264VideoServerMediaSubsession::H264VideoServerMediaSubsession(UsageEnvironment& env, MediaInput* input,
                                                               unsigned bitrate)
    : RealMediaSubsession(env, input, bitrate) {}

H264VideoServerMediaSubsession::~H264VideoServerMediaSubsession() = default;

FramedSource* H264VideoServerMediaSubsession::createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) {
  estBitrate = fEstBitrate;
  RealVideoSource* source = videoSourceFor(clientSessionId);
  if (source == nullptr) return nullptr;  // refused: no stream without the producer's link
  return H264VideoStreamFramer::createNew(envir(), source, False /*includeStartCodeInOutput*/,
                                          True /*useWallClockTime*/);
}

RTPSink* H264VideoServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                          unsigned char rtpPayloadTypeIfDynamic,
                                                          FramedSource* /*inputSource*/) {
  return H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic);
}
