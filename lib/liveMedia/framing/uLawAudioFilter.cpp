#include "uLawAudioFilter.hh"

namespace {
bool hostIsBigEndian() {
  uint16_t const probe = 1;
  return *reinterpret_cast<unsigned char const*>(&probe) == 0;
}
}  // namespace

uLawFromPCMAudioSource* uLawFromPCMAudioSource::createNew(UsageEnvironment& env, FramedSource* inputSource,
                                                          int byteOrdering) {
  if (byteOrdering < 0 || byteOrdering > 2) {
    env.setResultMsg("uLawFromPCMAudioSource::createNew(): bad \"byteOrdering\" parameter");
    return nullptr;
  }
  return new uLawFromPCMAudioSource(env, inputSource, byteOrdering);
}

uLawFromPCMAudioSource::uLawFromPCMAudioSource(UsageEnvironment& env, FramedSource* inputSource, int byteOrdering)
    : FramedFilter(env, inputSource), fBigEndianInput(byteOrdering == 2 || (byteOrdering == 0 && hostIsBigEndian())) {}

uLawFromPCMAudioSource::~uLawFromPCMAudioSource() = default;

unsigned char uLawFromPCMAudioSource::linearToULaw(int16_t sample) {
  // G.711: sign, 3-bit segment (exponent), 4-bit step (mantissa), inverted.
  constexpr int kBias = 0x84;
  constexpr int kClip = 32635;
  int s = sample;
  unsigned char sign = 0;
  if (s < 0) {
    s = -s;
    sign = 0x80;
  }
  if (s > kClip) s = kClip;
  s += kBias;
  unsigned char exponent = 7;
  for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1) --exponent;
  unsigned char mantissa = static_cast<unsigned char>((s >> (exponent + 3)) & 0x0F);
  return static_cast<unsigned char>(~(sign | (exponent << 4) | mantissa));
}

void uLawFromPCMAudioSource::doGetNextFrame() {
  if (fInputSource == nullptr) {
    handleClosure();
    return;
  }
  // Room for fMaxSize whole samples, the waiting byte included.
  size_t need = size_t(fMaxSize) * 2;
  if (need == 0) need = 2;
  if (fInputBuffer.size() < need) fInputBuffer.resize(need);
  unsigned offset = fHavePendingByte ? 1 : 0;
  if (fHavePendingByte) fInputBuffer[0] = fPendingByte;
  fInputSource->getNextFrame(fInputBuffer.data() + offset, static_cast<unsigned>(need) - offset, afterGettingFrame,
                             this, FramedSource::handleClosure, this);
}

void uLawFromPCMAudioSource::afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                               struct timeval presentationTime, unsigned durationInMicroseconds) {
  static_cast<uLawFromPCMAudioSource*>(clientData)
      ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void uLawFromPCMAudioSource::afterGettingFrame1(unsigned frameSize, unsigned /*numTruncatedBytes*/,
                                                struct timeval presentationTime, unsigned durationInMicroseconds) {
  unsigned total = frameSize + (fHavePendingByte ? 1 : 0);
  unsigned numSamples = total / 2;
  if (numSamples > fMaxSize) numSamples = fMaxSize;  // cannot happen: we asked for at most 2 * fMaxSize
  unsigned char const* in = fInputBuffer.data();
  for (unsigned i = 0; i < numSamples; ++i) {
    unsigned char b0 = in[2 * i], b1 = in[2 * i + 1];
    uint16_t v = fBigEndianInput ? static_cast<uint16_t>((b0 << 8) | b1) : static_cast<uint16_t>((b1 << 8) | b0);
    fTo[i] = linearToULaw(static_cast<int16_t>(v));
  }
  fHavePendingByte = (total & 1) != 0;
  if (fHavePendingByte) fPendingByte = in[total - 1];

  if (numSamples == 0) {
    // Only half a sample so far: keep it and read on.
    doGetNextFrame();
    return;
  }
  fFrameSize = numSamples;
  fNumTruncatedBytes = 0;
  fPresentationTime = presentationTime;
  fDurationInMicroseconds = durationInMicroseconds;
  afterGetting(this);
}
