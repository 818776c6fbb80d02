#ifndef OSTRA_REAL_MEDIA_SUBSESSION_HH
#define OSTRA_REAL_MEDIA_SUBSESSION_HH

#include "OnDemandServerMediaSubsession.hh"

class MediaInput;
class RealVideoSource;
class RealAudioSource;
class RealMediaSource;

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
  //
  // A stream of one of the producer's extra channels (a hub channel above 0)
  // is never built on a source without a connection: null is returned (the
  // dead source closed, its slot emptied), and the SETUP is refused for that
  // client alone. The first channel keeps its rule: the first read of a dead
  // source ends the process.
  RealVideoSource* videoSourceFor(unsigned clientSessionId);
  RealAudioSource* audioSourceFor(unsigned clientSessionId);

  // True (after closing 'source') when it is refused, as said above.
  bool refusesDeadSource(RealMediaSource* source, unsigned clientSessionId) const;

  MediaInput* fMediaInput;
  unsigned fEstBitrate;
};

#endif
