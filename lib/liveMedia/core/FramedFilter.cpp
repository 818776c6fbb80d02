#include "FramedFilter.hh"

FramedFilter::FramedFilter(UsageEnvironment& env, FramedSource* inputSource)
    : FramedSource(env), fInputSource(inputSource) {}

FramedFilter::~FramedFilter() { Medium::close(fInputSource); }

void FramedFilter::doStopGettingFrames() {
  FramedSource::doStopGettingFrames();
  if (fInputSource != nullptr) fInputSource->stopGettingFrames();
}
