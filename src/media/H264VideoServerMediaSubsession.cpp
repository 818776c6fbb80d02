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
  return H264VideoStreamFramer::createNew(envir(), videoSourceFor(clientSessionId), False /*includeStartCodeInOutput*/,
                                          True /*useWallClockTime*/);
}

RTPSink* H264VideoServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                          unsigned char rtpPayloadTypeIfDynamic,
                                                          FramedSource* /*inputSource*/) {
  return H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic);
}
