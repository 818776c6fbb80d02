#ifndef OSTRA_REAL_AUDIO_SOURCE_HH
#define OSTRA_REAL_AUDIO_SOURCE_HH

#include "RealMediaSource.hh"

// The producer's raw PCM audio (16-bit host order, mono, 8000 Hz), on
// 127.0.0.1 port 13132.
class RealAudioSource : public RealMediaSource {
protected:
  friend class MediaInput;
  // Connects at once; called by the hub under its mutex.
  RealAudioSource(UsageEnvironment& env, MediaInput* input);
  ~RealAudioSource() override;

  void readFromFile() override;
};

#endif
