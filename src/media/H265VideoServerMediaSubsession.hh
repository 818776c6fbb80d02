#ifndef OSTRA_H265_VIDEO_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_H265_VIDEO_SERVER_MEDIA_SUBSESSION_HH

#include "RealMediaSubsession.hh"

// The H.265 video track: NAL units framed from the producer's Annex B byte
// stream by the H.264 track's rules in their H.265 form, time-stamped from the
// wall clock, sent as RFC 7798 packets. Its description carries the
// parameter sets (sprop-vps, sprop-sps, sprop-pps): the running stream's
// latest, or, with no stream running, those read from the producer for up to
// two seconds.
class H265VideoServerMediaSubsession : public RealMediaSubsession {
public:
  // 'bitrate' in bits per second.
  static H265VideoServerMediaSubsession* createNew(UsageEnvironment& env, MediaInput* input, unsigned bitrate);

protected:
  H265VideoServerMediaSubsession(UsageEnvironment& env, MediaInput* input, unsigned bitrate);
  ~H265VideoServerMediaSubsession() override;

  FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
  RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource* inputSource) override;
  // A framer over a producer connection of its own; null when the producer
  // cannot be reached (reading that source would end the process).
  FramedSource* createDescriptionSource(unsigned& estBitrate) override;
};

#endif
