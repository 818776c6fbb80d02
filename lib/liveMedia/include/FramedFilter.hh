#ifndef OSTRA_FRAMED_FILTER_HH
#define OSTRA_FRAMED_FILTER_HH

#include "FramedSource.hh"

// A framed source that reads another one. The filter owns its input: closing
// the filter closes the input source too.
class FramedFilter : public FramedSource {
public:
  FramedSource* inputSource() const { return fInputSource; }
  // Replaces the input without closing the old one.
  void reassignInputSource(FramedSource* newInputSource) { fInputSource = newInputSource; }
  // Forgets the input without closing it.
  void detachInputSource() { fInputSource = nullptr; }

protected:
  FramedFilter(UsageEnvironment& env, FramedSource* inputSource);
  ~FramedFilter() override;  // closes the input source

  // Stops this filter and its input.
  void doStopGettingFrames() override;

  FramedSource* fInputSource;
};

#endif
