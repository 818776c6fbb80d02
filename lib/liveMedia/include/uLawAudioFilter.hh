#ifndef OSTRA_ULAW_AUDIO_FILTER_HH
#define OSTRA_ULAW_AUDIO_FILTER_HH

#include "FramedFilter.hh"

// G.711 u-law from 16-bit linear PCM.
class uLawFromPCMAudioSource : public FramedFilter {
public:
  // byteOrdering: 0 host order, 1 little-endian, 2 big-endian (network order).
  static uLawFromPCMAudioSource* createNew(UsageEnvironment& env, FramedSource* inputSource, int byteOrdering = 0);

protected:
  uLawFromPCMAudioSource(UsageEnvironment& env, FramedSource* inputSource, int byteOrdering);
  ~uLawFromPCMAudioSource() override;
};

#endif
