#include "RealAudioSource.hh"

#include "MediaInput.hh"
#include "MutexLock.hh"

namespace {
constexpr portNumBits kAudioPort = 13132;
}

RealAudioSource::RealAudioSource(UsageEnvironment& env, MediaInput* input) : RealMediaSource(env, input) {
  fFileNo = mediaConnect(kAudioPort);
}

RealAudioSource::~RealAudioSource() {
  MutexLock lock(&fInput->fMutex);
  // A source made for a short-lived reader never sat in the slot.
  if (fInput->fAudioSource == this) fInput->fAudioSource = nullptr;
  closeConnection();
}

void RealAudioSource::readFromFile() { receiveChunk("RealAudioSource::readFromFile error, do handleClosure().\n"); }
