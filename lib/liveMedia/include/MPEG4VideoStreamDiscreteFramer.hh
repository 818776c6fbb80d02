#ifndef OSTRA_MPEG4_VIDEO_STREAM_DISCRETE_FRAMER_HH
#define OSTRA_MPEG4_VIDEO_STREAM_DISCRETE_FRAMER_HH

#include "FramedFilter.hh"

// Frames of an MPEG-4 part 2 video elementary stream whose source delivers
// exactly one frame per read. Captures the configuration headers for the SDP
// and derives presentation times from the VOP timing.
class MPEG4VideoStreamDiscreteFramer : public FramedFilter {
public:
  static MPEG4VideoStreamDiscreteFramer* createNew(UsageEnvironment& env, FramedSource* inputSource,
                                                   Boolean leavePresentationTimesUnmodified = False);

protected:
  MPEG4VideoStreamDiscreteFramer(UsageEnvironment& env, FramedSource* inputSource,
                                 Boolean leavePresentationTimesUnmodified);
  ~MPEG4VideoStreamDiscreteFramer() override;
};

#endif
