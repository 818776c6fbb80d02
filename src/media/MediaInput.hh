#ifndef OSTRA_MEDIA_INPUT_HH
#define OSTRA_MEDIA_INPUT_HH

#include <pthread.h>

#include "Media.hh"

class RealVideoSource;
class RealAudioSource;

// The media input hub: the one place where the subsessions get their stream
// sources. It keeps at most one live source per medium and creates one (and
// with it the connection to the local producer) only when asked and none is
// live. The hub never owns a source: the library filter that reads a source
// closes it, and the source's destructor empties its slot here.
class MediaInput : public Medium {
public:
  // A hub whose video source connects to port 13032 + 'channel'.
  static MediaInput* createNew(UsageEnvironment& env, int channel = 0);

  // The live source of the medium, created (and connected) first if there is
  // none. Never null: a source whose connection failed is still handed out
  // until the library closes it.
  RealVideoSource* videoSource();
  RealAudioSource* audioSource();

  // A source with a connection of its own that is not kept in the slot, for a
  // short-lived reader (the track description) that must not share the live
  // source: closing that reader then cannot destroy the source under the
  // stream that reads it.
  RealVideoSource* privateVideoSource();
  RealAudioSource* privateAudioSource();

  // Whether a source is live in the slot.
  bool hasVideoSource();
  bool hasAudioSource();

  int channel() const { return fChannel; }

protected:
  MediaInput(UsageEnvironment& env, int channel);
  ~MediaInput() override;

private:
  friend class RealVideoSource;
  friend class RealAudioSource;

  RealVideoSource* fVideoSource = nullptr;
  RealAudioSource* fAudioSource = nullptr;
  int fChannel;
  pthread_mutex_t fMutex;
};

#endif
