#include "MPEG4VideoStreamDiscreteFramer.hh"

#include <cstring>

namespace {

constexpr unsigned char kVOSStartCode = 0xB0;
constexpr unsigned char kGOVStartCode = 0xB3;
constexpr unsigned char kVOPStartCode = 0xB6;

// Reads bits MSB first; reading past the end yields zeros and sets 'overrun'.
class BitReader {
public:
  BitReader(unsigned char const* data, unsigned size) : fData(data), fSize(size) {}
  unsigned get(unsigned n) {
    unsigned v = 0;
    for (unsigned i = 0; i < n; ++i) {
      unsigned bit = 0;
      if (fPos < fSize * 8u) {
        bit = (fData[fPos / 8] >> (7 - fPos % 8)) & 1;
      } else {
        overrun = true;
      }
      ++fPos;
      v = (v << 1) | bit;
    }
    return v;
  }
  bool overrun = false;

private:
  unsigned char const* fData;
  unsigned fSize;
  unsigned fPos = 0;
};

// Position of the next 00 00 01 start code at or after 'from'; 'size' if none.
unsigned findStartCode(unsigned char const* d, unsigned size, unsigned from) {
  for (unsigned i = from; i + 2 < size; ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) return i;
  }
  return size;
}

}  // namespace

MPEG4VideoStreamDiscreteFramer* MPEG4VideoStreamDiscreteFramer::createNew(UsageEnvironment& env,
                                                                          FramedSource* inputSource,
                                                                          Boolean leavePresentationTimesUnmodified) {
  return new MPEG4VideoStreamDiscreteFramer(env, inputSource, leavePresentationTimesUnmodified);
}

MPEG4VideoStreamDiscreteFramer::MPEG4VideoStreamDiscreteFramer(UsageEnvironment& env, FramedSource* inputSource,
                                                               Boolean leavePresentationTimesUnmodified)
    : FramedFilter(env, inputSource), fLeavePresentationTimesUnmodified(leavePresentationTimesUnmodified) {}

MPEG4VideoStreamDiscreteFramer::~MPEG4VideoStreamDiscreteFramer() = default;

Boolean MPEG4VideoStreamDiscreteFramer::isMPEG4VideoStreamFramer() const { return True; }

unsigned char const* MPEG4VideoStreamDiscreteFramer::getConfigBytes(unsigned& numBytes) const {
  numBytes = static_cast<unsigned>(fConfig.size());
  return fConfig.empty() ? nullptr : fConfig.data();
}

void MPEG4VideoStreamDiscreteFramer::doGetNextFrame() {
  if (fInputSource == nullptr) {
    handleClosure();
    return;
  }
  fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure, this);
}

void MPEG4VideoStreamDiscreteFramer::afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                                       struct timeval presentationTime,
                                                       unsigned durationInMicroseconds) {
  static_cast<MPEG4VideoStreamDiscreteFramer*>(clientData)
      ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void MPEG4VideoStreamDiscreteFramer::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                                                        struct timeval presentationTime,
                                                        unsigned durationInMicroseconds) {
  unsigned char const* d = fTo;
  unsigned const size = frameSize;

  // Configuration headers come before the first VOP of the chunk.
  unsigned vop = size;
  for (unsigned p = findStartCode(d, size, 0); p < size; p = findStartCode(d, size, p + 3)) {
    if (p + 3 < size && d[p + 3] == kVOPStartCode) {
      vop = p;
      break;
    }
  }
  if (vop > 0 && size >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 1) analyseConfig(d, vop);

  fFrameSize = frameSize;
  fNumTruncatedBytes = numTruncatedBytes;
  fPresentationTime = presentationTime;
  fDurationInMicroseconds = durationInMicroseconds;
  if (fVopTimeIncrementResolution > 0 && fFixedVopTimeIncrement > 0) {
    fDurationInMicroseconds =
        static_cast<unsigned>(uint64_t(fFixedVopTimeIncrement) * 1000000u / fVopTimeIncrementResolution);
  }

  // GOV header: its time code resets the seconds base.
  for (unsigned p = findStartCode(d, size, 0); p < vop; p = findStartCode(d, size, p + 3)) {
    if (p + 3 < size && d[p + 3] == kGOVStartCode) {
      // A jump in the time code makes the derived time stray from the given
      // one, which starts a new time line below.
      BitReader br(d + p + 4, size - p - 4);
      unsigned hours = br.get(5), minutes = br.get(6);
      br.get(1);  // marker
      unsigned seconds = br.get(6);
      if (!br.overrun) {
        uint64_t s = uint64_t(hours) * 3600 + minutes * 60 + seconds;
        fRefSeconds = fPrevRefSeconds = s;
      }
    }
  }

  if (!fLeavePresentationTimesUnmodified && fVopTimeIncrementResolution > 0 && vop < size) {
    int codingType = 0;
    unsigned modulo = 0, increment = 0;
    if (parseVOP(d + vop + 4, size - vop - 4, codingType, modulo, increment)) {
      uint64_t seconds;
      if (codingType == 2) {  // B-VOP: relative to the previous reference in display order
        seconds = fPrevRefSeconds + modulo;
      } else {
        seconds = fRefSeconds + modulo;
        fPrevRefSeconds = fRefSeconds;
        fRefSeconds = seconds;
      }
      uint64_t ticks = seconds * fVopTimeIncrementResolution + increment;
      if (!fHaveTimeBase) {
        fHaveTimeBase = true;
        fBaseTicks = ticks;
        fBasePresentationTime = presentationTime;
      }
      int64_t diff = static_cast<int64_t>(ticks) - static_cast<int64_t>(fBaseTicks);
      int64_t offsetUs = diff * 1000000 / static_cast<int64_t>(fVopTimeIncrementResolution);
      int64_t derived =
          static_cast<int64_t>(fBasePresentationTime.tv_sec) * 1000000 + fBasePresentationTime.tv_usec + offsetUs;
      int64_t given = static_cast<int64_t>(presentationTime.tv_sec) * 1000000 + presentationTime.tv_usec;
      if (derived - given > 2000000 || given - derived > 2000000) {
        // Garbage or a restarted encoder: start a new time line here.
        fBaseTicks = ticks;
        fBasePresentationTime = presentationTime;
        derived = given;
      }
      fPresentationTime.tv_sec = static_cast<time_t>(derived / 1000000);
      fPresentationTime.tv_usec = static_cast<suseconds_t>(derived % 1000000);
    }
  }
  afterGetting(this);
}

void MPEG4VideoStreamDiscreteFramer::analyseConfig(unsigned char const* d, unsigned size) {
  bool sawConfig = false;
  for (unsigned p = findStartCode(d, size, 0); p < size; p = findStartCode(d, size, p + 3)) {
    if (p + 3 >= size) break;
    unsigned char code = d[p + 3];
    if (code == kVOSStartCode) {
      sawConfig = true;
      if (p + 4 < size) fProfileAndLevelIndication = d[p + 4];
    } else if (code >= 0x20 && code <= 0x2F) {  // video object layer
      sawConfig = true;
      unsigned end = findStartCode(d, size, p + 4);
      parseVOL(d + p + 4, end - (p + 4));
    } else if (code <= 0x1F || code == 0xB5) {  // video object, visual object
      sawConfig = true;
    }
  }
  if (sawConfig) fConfig.assign(d, d + size);
}

void MPEG4VideoStreamDiscreteFramer::parseVOL(unsigned char const* d, unsigned size) {
  BitReader br(d, size);
  br.get(1);  // random_accessible_vol
  br.get(8);  // video_object_type_indication
  unsigned verid = 1;
  if (br.get(1)) {  // is_object_layer_identifier
    verid = br.get(4);
    br.get(3);  // video_object_layer_priority
  }
  if (br.get(4) == 15) {  // aspect_ratio_info: extended PAR
    br.get(8);
    br.get(8);
  }
  if (br.get(1)) {    // vol_control_parameters
    br.get(2);        // chroma_format
    br.get(1);        // low_delay
    if (br.get(1)) {  // vbv_parameters
      br.get(15);
      br.get(1);
      br.get(15);
      br.get(1);
      br.get(15);
      br.get(1);
      br.get(3);
      br.get(11);
      br.get(1);
      br.get(15);
      br.get(1);
    }
  }
  unsigned shape = br.get(2);
  if (shape == 3 && verid != 1) br.get(4);  // video_object_layer_shape_extension
  if (br.get(1) != 1) return;               // marker: not a VOL we understand
  unsigned resolution = br.get(16);
  if (br.get(1) != 1 || resolution == 0 || br.overrun) return;
  unsigned bits = 1;
  while (bits < 16 && (1u << bits) < resolution) ++bits;
  unsigned fixedIncrement = 0;
  if (br.get(1)) fixedIncrement = br.get(bits);  // fixed_vop_rate
  if (br.overrun) return;
  fVopTimeIncrementResolution = resolution;
  fNumVopTimeIncrementBits = bits;
  fFixedVopTimeIncrement = fixedIncrement;
}

bool MPEG4VideoStreamDiscreteFramer::parseVOP(unsigned char const* d, unsigned size, int& codingType,
                                              unsigned& moduloSeconds, unsigned& increment) const {
  BitReader br(d, size);
  codingType = static_cast<int>(br.get(2));
  moduloSeconds = 0;
  while (br.get(1) == 1) {
    if (br.overrun || ++moduloSeconds > 60) return false;  // garbage
  }
  if (br.get(1) != 1) return false;  // marker
  increment = br.get(fNumVopTimeIncrementBits);
  if (br.overrun || increment >= fVopTimeIncrementResolution) return false;
  return true;
}
