#include "MediaSource.hh"

MediaSource::MediaSource(UsageEnvironment& env) : Medium(env) {}

MediaSource::~MediaSource() = default;

Boolean MediaSource::isSource() const { return True; }
Boolean MediaSource::isFramedSource() const { return False; }
Boolean MediaSource::isH264VideoStreamFramer() const { return False; }
Boolean MediaSource::isH265VideoStreamFramer() const { return False; }
Boolean MediaSource::isMPEG4VideoStreamFramer() const { return False; }

Boolean MediaSource::lookupByName(UsageEnvironment& env, char const* sourceName, MediaSource*& resultSource) {
  resultSource = nullptr;
  Medium* medium;
  if (!Medium::lookupByName(env, sourceName, medium)) return False;
  if (!medium->isSource()) {
    env.setResultMsg(sourceName, " is not a media source");
    return False;
  }
  resultSource = static_cast<MediaSource*>(medium);
  return True;
}
