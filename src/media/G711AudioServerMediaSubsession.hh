#ifndef OSTRA_G711_AUDIO_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_G711_AUDIO_SERVER_MEDIA_SUBSESSION_HH

#include "RealMediaSubsession.hh"

// The audio track: the producer's 16-bit PCM converted to G.711 u-law and
// sent at the static payload type 0 (PCMU, 8000 Hz, mono), 64 kbit/s.
class G711AudioServerMediaSubsession : public RealMediaSubsession {
public:
  static G711AudioServerMediaSubsession* createNew(UsageEnvironment& env, MediaInput* input);

protected:
  G711AudioServerMediaSubsession(UsageEnvironment& env, MediaInput* input);
  ~G711AudioServerMediaSubsession() override;

  FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
  RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource* inputSource) override;

  unsigned fSamplingFrequency = 0;
  unsigned fNumChannels = 0;
};

#endif
