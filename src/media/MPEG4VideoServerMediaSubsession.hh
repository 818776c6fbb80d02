#ifndef OSTRA_MPEG4_VIDEO_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_MPEG4_VIDEO_SERVER_MEDIA_SUBSESSION_HH

#include "RealMediaSubsession.hh"

// The MPEG-4 part 2 video track: every producer chunk is one frame, sent as
// MP4V-ES packets.
class MPEG4VideoServerMediaSubsession : public RealMediaSubsession {
public:
  // 'bitrate' in bits per second.
  static MPEG4VideoServerMediaSubsession* createNew(UsageEnvironment& env, MediaInput* input, unsigned bitrate);

protected:
  MPEG4VideoServerMediaSubsession(UsageEnvironment& env, MediaInput* input, unsigned bitrate);
  ~MPEG4VideoServerMediaSubsession() override;

  FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
  RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource* inputSource) override;
};

#endif
