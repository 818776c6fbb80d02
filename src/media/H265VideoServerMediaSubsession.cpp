#include "H265VideoServerMediaSubsession.hh"

#include "H265VideoRTPSink.hh"
#include "H265VideoStreamFramer.hh"
#include "MediaInput.hh"
#include "RealVideoSource.hh"

H265VideoServerMediaSubsession* H265VideoServerMediaSubsession::createNew(UsageEnvironment& env, MediaInput* input,
                                                                          unsigned bitrate) {
  return new H265VideoServerMediaSubsession(env, input, bitrate);
}

H265VideoServerMediaSubsession::H265VideoServerMediaSubsession(UsageEnvironment& env, MediaInput* input,
                                                               unsigned bitrate)
    : RealMediaSubsession(env, input, bitrate) {
  fDescribeFromStream = True;
}

H265VideoServerMediaSubsession::~H265VideoServerMediaSubsession() = default;

FramedSource* H265VideoServerMediaSubsession::createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) {
  estBitrate = fEstBitrate;
  return H265VideoStreamFramer::createNew(envir(), videoSourceFor(clientSessionId), False /*includeStartCodeInOutput*/,
                                          True /*useWallClockTime*/);
}

RTPSink* H265VideoServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                          unsigned char rtpPayloadTypeIfDynamic,
                                                          FramedSource* /*inputSource*/) {
  return H265VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic);
}

FramedSource* H265VideoServerMediaSubsession::createDescriptionSource(unsigned& estBitrate) {
  // Never the hub's slot: a client's SETUP meanwhile gets a source of its own.
  RealVideoSource* source = fMediaInput->privateVideoSource();
  if (source->fileNo() < 0) {
    Medium::close(source);
    return nullptr;
  }
  estBitrate = fEstBitrate;
  return H265VideoStreamFramer::createNew(envir(), source, False /*includeStartCodeInOutput*/,
                                          True /*useWallClockTime*/);
}
