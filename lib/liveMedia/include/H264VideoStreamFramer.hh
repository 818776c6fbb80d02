#ifndef OSTRA_H264_VIDEO_STREAM_FRAMER_HH
#define OSTRA_H264_VIDEO_STREAM_FRAMER_HH

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "FramedFilter.hh"

class H264VideoStreamParser;
class StreamParser;

// Splits an H.264 Annex B byte stream into NAL units (delivered one per
// request), finds access-unit ends, keeps the latest SPS and PPS, and gives
// every NAL unit a presentation time and a duration. Closing the framer closes
// its input source.
//
// Timing: the nominal frame rate is fixed at 25.1 frames per second. A NAL
// unit that ends an access unit lasts 1000000 / 25.1 us (39840); every other
// NAL unit lasts 0. Timing found in an SPS is reported on standard error but
// not applied. No access unit delimiters are ever added.
class H264VideoStreamFramer : public FramedFilter {
public:
  // includeStartCodeInOutput: prefix each NAL unit with 00 00 00 01.
  // useWallClockTime: each access unit's presentation time is the wall-clock
  // time at which the previous access unit's end was parsed.
  static H264VideoStreamFramer* createNew(UsageEnvironment& env, FramedSource* inputSource,
                                          Boolean includeStartCodeInOutput = False, Boolean useWallClockTime = False);

  // The latest parameter sets seen in the stream (null and 0 when none yet).
  void getSPSandPPS(uint8_t const*& sps, unsigned& spsSize, uint8_t const*& pps, unsigned& ppsSize) const;

  // True when the NAL unit delivered last ends an access unit (the RTP sink
  // sets the marker bit on its last packet).
  Boolean pictureEndMarker() const { return fPictureEndMarker; }

  Boolean isH264VideoStreamFramer() const override;

  // Nominal frame rate (fixed) and the rate taken from the stream (stays 0).
  double frameRate() const { return fFrameRate; }
  double parsedFrameRate() const { return fParsedFrameRate; }

  // The parser (for tests and statistics).
  StreamParser const* parser() const;

protected:
  H264VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource, Boolean includeStartCodeInOutput,
                        Boolean useWallClockTime);
  ~H264VideoStreamFramer() override;

  void doGetNextFrame() override;
  void doStopGettingFrames() override;

  Boolean fPictureEndMarker = False;

private:
  friend class H264VideoStreamParser;

  static void continueReadProcessing(void* clientData, unsigned char* ptr, unsigned size,
                                     struct timeval presentationTime);
  static void continueReadProcessingTask(void* clientData);
  void continueReadProcessing();
  void analyseSps(uint8_t const* nal, unsigned size);

  std::unique_ptr<H264VideoStreamParser> fParser;
  Boolean fIncludeStartCodeInOutput;
  Boolean fUseWallClockTime;
  double fFrameRate = 25.1;
  double fParsedFrameRate = 0.0;
  struct timeval fNextPresentationTime {};
  unsigned fPictureCount = 0;  // pictures completed since the last delivery
  std::vector<uint8_t> fLastSPS;
  std::vector<uint8_t> fLastPPS;
  void* fContinueTask = nullptr;  // a deferred parse (breaks deep call chains)
};

#endif
