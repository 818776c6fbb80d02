#include "RealVideoSource.hh"

#include "MediaInput.hh"
#include "MutexLock.hh"

namespace {
constexpr int kVideoBasePort = 13032;
constexpr unsigned kVideoMaxFrameSize = 500000;
}  // namespace

RealVideoSource::RealVideoSource(UsageEnvironment& env, MediaInput* input, int channel)
    : RealMediaSource(env, input), fChannel(channel) {
  fFileNo = mediaConnect(static_cast<portNumBits>(kVideoBasePort + channel));
}

RealVideoSource::~RealVideoSource() {
  MutexLock lock(&fInput->fMutex);
  // A source made for a short-lived reader never sat in the slot.
  if (fInput->fVideoSource == this) fInput->fVideoSource = nullptr;
  closeConnection();
}

unsigned RealVideoSource::maxFrameSize() const { return kVideoMaxFrameSize; }

void RealVideoSource::readFromFile() { receiveChunk("RealVideoSource::readFromFile error, do handleClosure().\n"); }
