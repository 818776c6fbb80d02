#ifndef OSTRA_REAL_MEDIA_SUBSESSION_HH
#define OSTRA_REAL_MEDIA_SUBSESSION_HH

#include "OnDemandServerMediaSubsession.hh"

class MediaInput;
class RealVideoSource;
class RealAudioSource;

// A track of the live stream fed from the media input hub. Every track shares
// one stream among all its clients, searches server ports from 6970 upwards
// and keeps RTCP on its own port.
class RealMediaSubsession : public OnDemandServerMediaSubsession {
public:
  // The estimated bit rate in kilobits per second.
  unsigned estBitrate() const { return fEstBitrate; }

protected:
  // 'bitrate' in bits per second; kept rounded to kilobits per second.
  RealMediaSubsession(UsageEnvironment& env, MediaInput* input, unsigned bitrate);
  ~RealMediaSubsession() override;

  // The source for a new reader. The library builds the track's description
  // with client session id 0 and closes that reader at once; if the track's
  // live source already streams to clients, the description gets a source of
  // its own so that closing it leaves the live one alone.
  RealVideoSource* videoSourceFor(unsigned clientSessionId);
  RealAudioSource* audioSourceFor(unsigned clientSessionId);

  MediaInput* fMediaInput;
  unsigned fEstBitrate;
};

#endif
