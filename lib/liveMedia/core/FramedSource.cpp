#include "FramedSource.hh"

#include <cstdio>
#include <cstdlib>

FramedSource::FramedSource(UsageEnvironment& env) : MediaSource(env) {}

FramedSource::~FramedSource() = default;

Boolean FramedSource::isFramedSource() const { return True; }

Boolean FramedSource::lookupByName(UsageEnvironment& env, char const* sourceName, FramedSource*& resultSource) {
  resultSource = nullptr;
  MediaSource* source;
  if (!MediaSource::lookupByName(env, sourceName, source)) return False;
  if (!source->isFramedSource()) {
    env.setResultMsg(sourceName, " is not a framed source");
    return False;
  }
  resultSource = static_cast<FramedSource*>(source);
  return True;
}

void FramedSource::getNextFrame(unsigned char* to, unsigned maxSize, afterGettingFunc* afterGettingFunc,
                                void* afterGettingClientData, onCloseFunc* onCloseFunc, void* onCloseClientData) {
  // Two readers at once would see each other's frames: that is a bug in the caller.
  if (fIsCurrentlyAwaitingData) {
    envir() << "FramedSource[" << static_cast<void*>(this) << "]::getNextFrame(): attempting to read more than once "
            << "at the same time!\n";
    std::abort();
  }
  fTo = to;
  fMaxSize = maxSize;
  fNumTruncatedBytes = 0;
  fDurationInMicroseconds = 0;
  fAfterGettingFunc = afterGettingFunc;
  fAfterGettingClientData = afterGettingClientData;
  fOnCloseFunc = onCloseFunc;
  fOnCloseClientData = onCloseClientData;
  fIsCurrentlyAwaitingData = True;
  doGetNextFrame();
}

void FramedSource::afterGetting(FramedSource* source) {
  source->fIsCurrentlyAwaitingData = False;
  // The reader may ask for the next frame (or close us) from inside its callback.
  if (source->fAfterGettingFunc != nullptr) {
    source->fAfterGettingFunc(source->fAfterGettingClientData, source->fFrameSize, source->fNumTruncatedBytes,
                              source->fPresentationTime, source->fDurationInMicroseconds);
  }
}

void FramedSource::handleClosure(void* clientData) { static_cast<FramedSource*>(clientData)->handleClosure(); }

void FramedSource::handleClosure() {
  fIsCurrentlyAwaitingData = False;
  if (fOnCloseFunc != nullptr) fOnCloseFunc(fOnCloseClientData);
}

void FramedSource::stopGettingFrames() {
  fIsCurrentlyAwaitingData = False;
  fAfterGettingFunc = nullptr;
  fOnCloseFunc = nullptr;
  doStopGettingFrames();
}

void FramedSource::doStopGettingFrames() {}

unsigned FramedSource::maxFrameSize() const { return 0; }
