#include "MediaSink.hh"

MediaSink::MediaSink(UsageEnvironment& env) : Medium(env) {}

MediaSink::~MediaSink() {
  // A sink closed while playing lets go of its source, which stays open (the
  // source belongs to whoever created it).
  if (fSource != nullptr) fSource->stopGettingFrames();
  fSource = nullptr;
}

Boolean MediaSink::isSink() const { return True; }

Boolean MediaSink::lookupByName(UsageEnvironment& env, char const* sinkName, MediaSink*& resultSink) {
  resultSink = nullptr;
  Medium* medium;
  if (!Medium::lookupByName(env, sinkName, medium)) return False;
  if (!medium->isSink()) {
    env.setResultMsg(sinkName, " is not a media sink");
    return False;
  }
  resultSink = static_cast<MediaSink*>(medium);
  return True;
}

Boolean MediaSink::sourceIsCompatibleWithUs(MediaSource& source) { return source.isFramedSource(); }

Boolean MediaSink::startPlaying(MediaSource& source, afterPlayingFunc* afterFunc, void* afterClientData) {
  if (fSource != nullptr) {
    envir().setResultMsg("This sink is already being played");
    return False;
  }
  if (!sourceIsCompatibleWithUs(source)) {
    envir().setResultMsg("MediaSink::startPlaying(): source is not compatible!");
    return False;
  }
  fSource = static_cast<FramedSource*>(&source);
  fAfterFunc = afterFunc;
  fAfterClientData = afterClientData;
  return continuePlaying();
}

void MediaSink::stopPlaying() {
  if (fSource != nullptr) fSource->stopGettingFrames();
  fSource = nullptr;
  fAfterFunc = nullptr;
  fAfterClientData = nullptr;
}

void MediaSink::onSourceClosure(void* clientData) { static_cast<MediaSink*>(clientData)->onSourceClosure(); }

void MediaSink::onSourceClosure() {
  // The source has ended; forget it before telling the owner, who may close
  // this sink (and the source) from inside the callback.
  fSource = nullptr;
  afterPlayingFunc* func = fAfterFunc;
  void* clientData = fAfterClientData;
  fAfterFunc = nullptr;
  fAfterClientData = nullptr;
  if (func != nullptr) func(clientData);
}
