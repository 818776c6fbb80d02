#ifndef OSTRA_H264_OR_5_VIDEO_STREAM_FRAMER_HH
#define OSTRA_H264_OR_5_VIDEO_STREAM_FRAMER_HH

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "FramedFilter.hh"

class H264or5VideoStreamParser;
class StreamParser;

// Splits an H.264 or H.265 Annex B byte stream into NAL units (delivered one
// per request), finds access-unit ends by the codec's rules, keeps the latest
// parameter sets, and gives every NAL unit a presentation time and a
// duration. Closing the framer closes its input source.
//
// Timing: the nominal frame rate is fixed at 25.1 frames per second. A NAL
// unit that ends an access unit lasts 1000000 / 25.1 us (39840); every other
// NAL unit lasts 0. Timing found in an SPS is reported on standard error but
// not applied. No access unit delimiters are ever added.
class H264or5VideoStreamFramer : public FramedFilter {
public:
  // True when the NAL unit delivered last ends an access unit (the RTP sink
  // sets the marker bit on its last packet).
  Boolean pictureEndMarker() const { return fPictureEndMarker; }

  // 264 or 265.
  int hNumber() const { return fHNumber; }

  // Nominal frame rate (fixed) and the rate taken from the stream (stays 0).
  double frameRate() const { return fFrameRate; }
  double parsedFrameRate() const { return fParsedFrameRate; }

  // The parser (for tests and statistics).
  StreamParser const* parser() const;

protected:
  // includeStartCodeInOutput: prefix each NAL unit with 00 00 00 01.
  // useWallClockTime: each access unit's presentation time is the wall-clock
  // time at which the previous access unit's end was parsed.
  H264or5VideoStreamFramer(int hNumber, UsageEnvironment& env, FramedSource* inputSource,
                           Boolean includeStartCodeInOutput, Boolean useWallClockTime);
  ~H264or5VideoStreamFramer() override;

  void doGetNextFrame() override;
  void doStopGettingFrames() override;

  // The latest parameter sets seen in the stream (empty when none yet); the
  // VPS only for H.265.
  std::vector<uint8_t> fLastVPS, fLastSPS, fLastPPS;
  Boolean fPictureEndMarker = False;

private:
  friend class H264or5VideoStreamParser;

  static void continueReadProcessing(void* clientData, unsigned char* ptr, unsigned size,
                                     struct timeval presentationTime);
  static void continueReadProcessingTask(void* clientData);
  void continueReadProcessing();
  void keepParameterSet(uint8_t const* nal, unsigned size);
  void analyseSps(uint8_t const* nal, unsigned size);

  int fHNumber;
  std::unique_ptr<H264or5VideoStreamParser> fParser;
  Boolean fIncludeStartCodeInOutput;
  Boolean fUseWallClockTime;
  double fFrameRate = 25.1;
  double fParsedFrameRate = 0.0;
  struct timeval fNextPresentationTime {};
  unsigned fPictureCount = 0;     // pictures completed since the last delivery
  void* fContinueTask = nullptr;  // a deferred parse (breaks deep call chains)
};

#endif
