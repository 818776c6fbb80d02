#ifndef OSTRA_ULAW_AUDIO_FILTER_HH
#define OSTRA_ULAW_AUDIO_FILTER_HH

#include <cstdint>
#include <vector>

#include "FramedFilter.hh"

// G.711 u-law from 16-bit linear PCM.
//
// Each request of N bytes asks the input for up to 2N bytes and converts the
// whole samples received, one output byte per sample. A delivery of an odd
// number of bytes leaves its last byte waiting: it becomes the first byte of
// the next sample, so later samples stay aligned.
class uLawFromPCMAudioSource : public FramedFilter {
public:
  // byteOrdering: 0 host order, 1 little-endian, 2 big-endian (network order).
  static uLawFromPCMAudioSource* createNew(UsageEnvironment& env, FramedSource* inputSource, int byteOrdering = 0);

  // ITU-T G.711 u-law code of one 16-bit linear sample.
  static unsigned char linearToULaw(int16_t sample);

protected:
  uLawFromPCMAudioSource(UsageEnvironment& env, FramedSource* inputSource, int byteOrdering);
  ~uLawFromPCMAudioSource() override;

  void doGetNextFrame() override;

private:
  static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                          unsigned durationInMicroseconds);

  bool fBigEndianInput;
  std::vector<unsigned char> fInputBuffer;  // grows to the largest request, then reused
  bool fHavePendingByte = false;
  unsigned char fPendingByte = 0;
};

#endif
