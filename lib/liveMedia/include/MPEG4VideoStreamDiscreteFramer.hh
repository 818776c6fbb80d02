#ifndef OSTRA_MPEG4_VIDEO_STREAM_DISCRETE_FRAMER_HH
#define OSTRA_MPEG4_VIDEO_STREAM_DISCRETE_FRAMER_HH

#include <cstdint>
#include <vector>

#include "FramedFilter.hh"

// Frames of an MPEG-4 part 2 video elementary stream whose source delivers
// exactly one frame per read. Captures the configuration headers for the SDP
// and derives presentation times from the VOP timing.
class MPEG4VideoStreamDiscreteFramer : public FramedFilter {
public:
  static MPEG4VideoStreamDiscreteFramer* createNew(UsageEnvironment& env, FramedSource* inputSource,
                                                   Boolean leavePresentationTimesUnmodified = False);

  Boolean isMPEG4VideoStreamFramer() const override;

  // The configuration (visual object sequence, visual object and video object
  // layer headers) that preceded the latest frame carrying one; null and 0
  // until one has been seen.
  unsigned char const* getConfigBytes(unsigned& numBytes) const;
  // From the visual object sequence header (1 when the stream has none).
  uint8_t profile_and_level_indication() const { return fProfileAndLevelIndication; }
  // From the video object layer header; 0 until one has been seen.
  unsigned vopTimeIncrementResolution() const { return fVopTimeIncrementResolution; }

protected:
  MPEG4VideoStreamDiscreteFramer(UsageEnvironment& env, FramedSource* inputSource,
                                 Boolean leavePresentationTimesUnmodified);
  ~MPEG4VideoStreamDiscreteFramer() override;

  void doGetNextFrame() override;

private:
  static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                          unsigned durationInMicroseconds);
  void analyseConfig(unsigned char const* data, unsigned size);
  void parseVOL(unsigned char const* data, unsigned size);
  bool parseVOP(unsigned char const* data, unsigned size, int& codingType, unsigned& moduloSeconds,
                unsigned& increment) const;

  Boolean fLeavePresentationTimesUnmodified;
  std::vector<unsigned char> fConfig;
  uint8_t fProfileAndLevelIndication = 1;
  unsigned fVopTimeIncrementResolution = 0;
  unsigned fNumVopTimeIncrementBits = 0;
  unsigned fFixedVopTimeIncrement = 0;  // 0: not fixed

  // VOP timing: seconds bases of the latest and the previous reference
  // (I or P) VOP, and the tick that maps to fBasePresentationTime.
  bool fHaveTimeBase = false;
  uint64_t fRefSeconds = 0, fPrevRefSeconds = 0;
  uint64_t fBaseTicks = 0;
  struct timeval fBasePresentationTime {};
};

#endif
