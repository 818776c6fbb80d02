#ifndef OSTRA_MEDIA_SINK_HH
#define OSTRA_MEDIA_SINK_HH

#include "FramedSource.hh"

// Base of every consumer of media data. A sink pulls frames from its source
// once started, until stopped or until the source reports its end.
class MediaSink : public Medium {
public:
  static Boolean lookupByName(UsageEnvironment& env, char const* sinkName, MediaSink*& resultSink);

  typedef void(afterPlayingFunc)(void* clientData);
  // Starts pulling from 'source'. 'afterFunc' is called when the source
  // reports its end. Returns false (with a result message) when the sink is
  // already playing or cannot use this source.
  Boolean startPlaying(MediaSource& source, afterPlayingFunc* afterFunc, void* afterClientData);
  // Stops pulling: cancels the outstanding request and any pending task.
  virtual void stopPlaying();

  Boolean isSink() const override;
  FramedSource* source() const { return fSource; }

protected:
  explicit MediaSink(UsageEnvironment& env);
  ~MediaSink() override;

  virtual Boolean sourceIsCompatibleWithUs(MediaSource& source);
  virtual Boolean continuePlaying() = 0;

  // Called when the source reports its end: stops and calls 'afterFunc'.
  static void onSourceClosure(void* clientData);
  void onSourceClosure();

  FramedSource* fSource = nullptr;

private:
  afterPlayingFunc* fAfterFunc = nullptr;
  void* fAfterClientData = nullptr;
};

#endif
