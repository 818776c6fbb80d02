#ifndef OSTRA_H264_VIDEO_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_H264_VIDEO_SERVER_MEDIA_SUBSESSION_HH

#include "RealMediaSubsession.hh"

// The H.264 video track: NAL units framed from the producer's Annex B byte
// stream, time-stamped from the wall clock, sent as RFC 6184 packets.
class H264VideoServerMediaSubsession : public RealMediaSubsession {
public:
  // 'bitrate' in bits per second.
  static H264VideoServerMediaSubsession* createNew(UsageEnvironment& env, MediaInput* input, unsigned bitrate);

protected:
  H264VideoServerMediaSubsession(UsageEnvironment& env, MediaInput* input, unsigned bitrate);
  ~H264VideoServerMediaSubsession() override;

  FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
  RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource* inputSource) override;
};

#endif
