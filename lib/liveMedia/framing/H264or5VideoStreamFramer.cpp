#include "H264or5VideoStreamFramer.hh"

#include <cstdio>
#include <cstring>

#include "H264Bits.hh"
#include "H265Bits.hh"
#include "StreamParser.hh"

// ---------------------------------------------------------------------------
// The parser: Annex B start codes -> one NAL unit per parse, copied out to the
// framer's buffer as it is scanned.
//
// The scan consumes every byte held and saves its position at the end of
// what it holds, so a refill never has to keep the NAL unit in progress in a
// bank: its bytes are already in the output buffer. Only the few bytes of the
// next NAL unit that decide whether the current one ends an access unit (its
// header and first_mb_in_slice) are held across a refill.
//
// The scanning state below always describes the saved parser position; on a
// refill the parse runs again from there with these values.
// ---------------------------------------------------------------------------

namespace {

// What the access-unit rule needs to know of a codec's NAL units.
struct NalRules {
  unsigned (*type)(uint8_t header0);
  bool (*isVcl)(unsigned type);
  bool (*endsSequence)(unsigned type);      // nothing of its access unit follows it
  bool (*beginsAccessUnit)(unsigned type);  // after a VCL unit, it opens the next access unit
  bool (*carriesSliceHeader)(unsigned type);
  // Whether the slice is the first of a picture; false when the bytes given
  // do not hold the answer.
  bool (*firstSliceOfPicture)(uint8_t const* nal, size_t size, bool& first);
};

NalRules const kH264Rules = {
    h264::nalUnitType,
    h264::isVcl,
    [](unsigned t) { return t == h264::kNalEndOfSequence || t == h264::kNalEndOfStream; },
    h264::beginsAccessUnit,
    h264::carriesSliceHeader,
    [](uint8_t const* nal, size_t size, bool& first) {
      uint32_t firstMb = 0;
      bool const ok = h264::parseFirstMbInSlice(nal, size, firstMb);
      first = ok && firstMb == 0;
      return ok;
    },
};

NalRules const kH265Rules = {
    h265::nalUnitType,
    h265::isVcl,
    [](unsigned t) { return t == h265::kNalEndOfSequence || t == h265::kNalEndOfBitstream; },
    h265::beginsAccessUnit,
    h265::isVcl,
    h265::parseFirstSliceSegmentInPic,
};

}  // namespace

struct H264or5NalResult {
  unsigned frameSize = 0;  // bytes written to the output buffer
  unsigned numTruncatedBytes = 0;
  uint8_t header = 0;  // the NAL unit's first byte
  bool endsAccessUnit = false;
};

class H264or5VideoStreamParser : public StreamParser {
public:
  H264or5VideoStreamParser(H264or5VideoStreamFramer* framer, FramedSource* inputSource, NalRules const& rules,
                           bool includeStartCodeInOutput)
      : StreamParser(inputSource, FramedSource::handleClosure, framer,
                     &H264or5VideoStreamFramer::continueReadProcessing, framer),
        fRules(rules),
        fIncludeStartCodeInOutput(includeStartCodeInOutput) {}

  void registerReadInterest(unsigned char* to, unsigned maxSize) {
    fTo = to;
    fMaxSize = maxSize;
  }

  // Parses the next NAL unit. Returns true with 'result' filled when one is
  // complete; false when the parse must wait for input (a read has been
  // asked for) or the parser's limit was reached (limitReached()).
  bool parse(H264or5NalResult& result);

  void flushInput() override {
    StreamParser::flushInput();
    fPhase = Phase::kSeekFirstStartCode;
    fZeroRun = 0;
    fAccessUnitHasVcl = false;
  }

private:
  enum class Phase : uint8_t {
    kSeekFirstStartCode,  // discarding bytes up to the first 00 00 00 01
    kStartNal,            // at the first byte of a NAL unit, nothing written yet
    kScanNal,             // copying the NAL unit out
    kNalComplete,         // NAL unit ended by a start code; looking at the next one
  };

  // The next NAL header and enough for first_mb_in_slice (H.264) or
  // first_slice_segment_in_pic_flag (H.265).
  static constexpr unsigned kPeekSize = 9;

  bool seekFirstStartCode();
  void startNal();
  // Returns true when the NAL unit has ended (at a start code or at the end of
  // the input).
  bool scanNal();
  // Returns true when the end-of-access-unit decision could be made.
  bool decideAccessUnitEnd(bool& endsAccessUnit);

  void emit(unsigned char const* data, unsigned size);
  void emitZeros(unsigned count);

  NalRules const& fRules;
  bool fIncludeStartCodeInOutput;
  unsigned char* fTo = nullptr;
  unsigned fMaxSize = 0;

  Phase fPhase = Phase::kSeekFirstStartCode;
  unsigned fZeroRun = 0;  // zero bytes scanned and not yet written (may precede a start code)
  unsigned fOutSize = 0;
  unsigned fNumTruncatedBytes = 0;
  bool fHaveHeader = false;
  uint8_t fHeader = 0;
  bool fAccessUnitHasVcl = false;  // the access unit in progress holds a slice
};

void H264or5VideoStreamParser::emit(unsigned char const* data, unsigned size) {
  if (size == 0) return;
  if (!fHaveHeader) {
    fHeader = data[0];
    fHaveHeader = true;
  }
  unsigned const room = fMaxSize > fOutSize ? fMaxSize - fOutSize : 0;
  unsigned const n = size < room ? size : room;
  if (n > 0) std::memcpy(fTo + fOutSize, data, n);
  fOutSize += n;
  fNumTruncatedBytes += size - n;
}

void H264or5VideoStreamParser::emitZeros(unsigned count) {
  if (count == 0) return;
  if (!fHaveHeader) {
    fHeader = 0;
    fHaveHeader = true;
  }
  unsigned const room = fMaxSize > fOutSize ? fMaxSize - fOutSize : 0;
  unsigned const n = count < room ? count : room;
  if (n > 0) std::memset(fTo + fOutSize, 0, n);
  fOutSize += n;
  fNumTruncatedBytes += count - n;
}

void H264or5VideoStreamParser::startNal() {
  fOutSize = 0;
  fNumTruncatedBytes = 0;
  fHaveHeader = false;
  fZeroRun = 0;
  if (fIncludeStartCodeInOutput) {
    static unsigned char const startCode[4] = {0, 0, 0, 1};
    unsigned const room = fMaxSize < 4 ? fMaxSize : 4;
    if (room > 0) std::memcpy(fTo, startCode, room);
    fOutSize = room;
    fNumTruncatedBytes = 4 - room;
  }
  fPhase = Phase::kScanNal;
}

bool H264or5VideoStreamParser::seekFirstStartCode() {
  while (bytesAvailable() > 0) {
    uint8_t const b = get1Byte();
    if (b == 0) {
      ++fZeroRun;
    } else if (b == 1 && fZeroRun >= 3) {
      fZeroRun = 0;
      fPhase = Phase::kStartNal;
      saveParserState();
      return true;
    } else {
      fZeroRun = 0;
    }
  }
  saveParserState();
  ensureAvailable(1);  // at the end of the input this asks the source once more
  return false;
}

bool H264or5VideoStreamParser::scanNal() {
  for (;;) {
    unsigned const avail = bytesAvailable();
    if (avail == 0) {
      saveParserState();
      if (haveSeenEOF()) return true;  // the input ends the NAL unit; trailing zeros are dropped
      ensureAvailable(1);
      return false;
    }
    unsigned char const* p = curPtr();
    if (fZeroRun > 0 || *p == 0) {
      uint8_t const b = *p;
      skipBytes(1);
      if (b == 0) {
        ++fZeroRun;
        continue;
      }
      if (b == 1 && fZeroRun >= 2) {
        // A start code: its zeros (and any trailing zeros) are not part of the NAL unit.
        fZeroRun = 0;
        return true;
      }
      emitZeros(fZeroRun);
      fZeroRun = 0;
      emit(&b, 1);
      continue;
    }
    void const* zero = std::memchr(p, 0, avail);
    unsigned const run = zero != nullptr ? unsigned(static_cast<unsigned char const*>(zero) - p) : avail;
    emit(p, run);
    skipBytes(run);
  }
}

bool H264or5VideoStreamParser::decideAccessUnitEnd(bool& endsAccessUnit) {
  unsigned const type = fRules.type(fHeader);
  bool const accessUnitHasVcl = fAccessUnitHasVcl || fRules.isVcl(type);

  bool nextBegins;
  unsigned const avail = bytesAvailable();
  if (fRules.endsSequence(type)) {
    nextBegins = true;  // nothing of this access unit follows these
  } else if (avail == 0) {
    if (!haveSeenEOF()) {
      ensureAvailable(1);
      return false;
    }
    nextBegins = true;  // the last NAL unit of the input ends its access unit
  } else {
    unsigned const nextType = fRules.type(test1Byte());
    if (fRules.beginsAccessUnit(nextType)) {
      nextBegins = true;
    } else if (fRules.carriesSliceHeader(nextType)) {
      unsigned const n = avail < kPeekSize ? avail : kPeekSize;
      bool first = false;
      if (fRules.firstSliceOfPicture(curPtr(), n, first)) {
        nextBegins = first;  // the first slice of a new picture
      } else if (n < kPeekSize && !haveSeenEOF()) {
        ensureAvailable(kPeekSize);
        return false;
      } else {
        nextBegins = false;  // malformed slice header: keep the access unit open
      }
    } else {
      nextBegins = false;
    }
  }
  endsAccessUnit = accessUnitHasVcl && nextBegins;
  fAccessUnitHasVcl = endsAccessUnit ? false : accessUnitHasVcl;
  return true;
}

bool H264or5VideoStreamParser::parse(H264or5NalResult& result) {
  for (;;) {
    switch (fPhase) {
      case Phase::kSeekFirstStartCode:
        if (!seekFirstStartCode()) return false;
        break;
      case Phase::kStartNal:
        startNal();
        break;
      case Phase::kScanNal: {
        if (!scanNal()) return false;
        if (!fHaveHeader) {
          // An empty NAL unit (two start codes in a row, or the input ended):
          // nothing to deliver.
          if (bytesAvailable() == 0 && haveSeenEOF()) {
            fPhase = Phase::kStartNal;
            saveParserState();
            ensureAvailable(1);  // asks the source once more
            return false;
          }
          fPhase = Phase::kStartNal;
          saveParserState();
          break;
        }
        fPhase = Phase::kNalComplete;
        saveParserState();  // at the first byte of the next NAL unit
        break;
      }
      case Phase::kNalComplete: {
        bool endsAccessUnit = false;
        if (!decideAccessUnitEnd(endsAccessUnit)) return false;
        result.frameSize = fOutSize;
        result.numTruncatedBytes = fNumTruncatedBytes;
        result.header = fHeader;
        result.endsAccessUnit = endsAccessUnit;
        fPhase = Phase::kStartNal;  // the next NAL unit is written at the next request's buffer
        return true;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The framer.
// ---------------------------------------------------------------------------

namespace {
// Depth of deliveries in progress on this thread. A reader that asks for the
// next NAL unit from inside its after-getting callback is answered from the
// event loop once the chain gets deep, so many small NAL units held in a bank
// cannot exhaust the stack.
thread_local unsigned tDeliveryDepth = 0;
constexpr unsigned kMaxDeliveryDepth = 8;
}  // namespace

H264or5VideoStreamFramer::H264or5VideoStreamFramer(int hNumber, UsageEnvironment& env, FramedSource* inputSource,
                                                   Boolean includeStartCodeInOutput, Boolean useWallClockTime)
    : FramedFilter(env, inputSource),
      fHNumber(hNumber),
      fIncludeStartCodeInOutput(includeStartCodeInOutput),
      fUseWallClockTime(useWallClockTime) {
  fParser.reset(new H264or5VideoStreamParser(this, inputSource, hNumber == 265 ? kH265Rules : kH264Rules,
                                             includeStartCodeInOutput));
  gettimeofday(&fNextPresentationTime, nullptr);
  fLastVPS.reserve(hNumber == 265 ? 64 : 0);
  fLastSPS.reserve(64);
  fLastPPS.reserve(64);
}

H264or5VideoStreamFramer::~H264or5VideoStreamFramer() {
  envir().taskScheduler().unscheduleDelayedTask(fContinueTask);
  // The parser goes first; FramedFilter's destructor then closes the input.
  fParser.reset();
}

StreamParser const* H264or5VideoStreamFramer::parser() const { return fParser.get(); }

void H264or5VideoStreamFramer::doGetNextFrame() {
  fFrameSize = 0;
  fNumTruncatedBytes = 0;
  fParser->registerReadInterest(fTo, fMaxSize);
  if (tDeliveryDepth >= kMaxDeliveryDepth) {
    fContinueTask = envir().taskScheduler().scheduleDelayedTask(0, continueReadProcessingTask, this);
    return;
  }
  continueReadProcessing();
}

void H264or5VideoStreamFramer::doStopGettingFrames() {
  envir().taskScheduler().unscheduleDelayedTask(fContinueTask);
  FramedFilter::doStopGettingFrames();
  fParser->flushInput();
}

void H264or5VideoStreamFramer::continueReadProcessingTask(void* clientData) {
  auto* framer = static_cast<H264or5VideoStreamFramer*>(clientData);
  framer->fContinueTask = nullptr;
  framer->continueReadProcessing();
}

void H264or5VideoStreamFramer::continueReadProcessing(void* clientData, unsigned char* /*ptr*/, unsigned /*size*/,
                                                      struct timeval /*presentationTime*/) {
  static_cast<H264or5VideoStreamFramer*>(clientData)->continueReadProcessing();
}

void H264or5VideoStreamFramer::continueReadProcessing() {
  H264or5NalResult nal;
  if (!fParser->parse(nal)) {
    // Either waiting for input, or the parser cannot go on: end the stream as
    // if the input had closed (the reader may close us here).
    if (fParser->limitReached()) handleClosure();
    return;
  }

  fFrameSize = nal.frameSize;
  fNumTruncatedBytes = nal.numTruncatedBytes;
  if (fNumTruncatedBytes > 0) {
    envir() << (fHNumber == 265 ? "H265" : "H264") << "VideoStreamFramer warning: a NAL unit of "
            << fFrameSize + fNumTruncatedBytes << " bytes does not fit the reader's buffer of " << fMaxSize
            << " bytes; " << fNumTruncatedBytes << " bytes dropped\n";
  }

  unsigned const prefix = fIncludeStartCodeInOutput ? (fFrameSize < 4 ? fFrameSize : 4) : 0;
  uint8_t const* nalData = fTo + prefix;
  unsigned const nalSize = fFrameSize - prefix;
  keepParameterSet(nalData, nalSize);

  fPresentationTime = fNextPresentationTime;
  if (nal.endsAccessUnit) {
    fPictureEndMarker = True;
    ++fPictureCount;
    if (fUseWallClockTime) {
      gettimeofday(&fNextPresentationTime, nullptr);
    } else {
      unsigned const frameUs = unsigned(1000000.0 / fFrameRate);
      long usec = fPresentationTime.tv_usec + long(frameUs);
      fNextPresentationTime.tv_sec = fPresentationTime.tv_sec + usec / 1000000;
      fNextPresentationTime.tv_usec = usec % 1000000;
    }
  } else {
    fPictureEndMarker = False;
  }
  fDurationInMicroseconds = unsigned(fPictureCount * 1000000.0 / fFrameRate);
  fPictureCount = 0;

  // The reader may ask for the next NAL unit, or close us, from its callback:
  // nothing touches this object afterwards.
  ++tDeliveryDepth;
  afterGetting(this);
  --tDeliveryDepth;
}

void H264or5VideoStreamFramer::keepParameterSet(uint8_t const* nal, unsigned size) {
  if (size == 0) return;
  bool const h265 = fHNumber == 265;
  unsigned const type = h265 ? h265::nalUnitType(nal[0]) : h264::nalUnitType(nal[0]);
  if (type == (h265 ? unsigned(h265::kNalSps) : unsigned(h264::kNalSps))) {
    fLastSPS.assign(nal, nal + size);
    if (fParsedFrameRate == 0.0) analyseSps(nal, size);
  } else if (type == (h265 ? unsigned(h265::kNalPps) : unsigned(h264::kNalPps))) {
    fLastPPS.assign(nal, nal + size);
  } else if (h265 && type == h265::kNalVps) {
    fLastVPS.assign(nal, nal + size);
  }
}

void H264or5VideoStreamFramer::analyseSps(uint8_t const* nal, unsigned size) {
  uint32_t numUnitsInTick = 0, timeScale = 0;
  if (fHNumber == 265) {
    h265::SpsInfo info;
    h265::parseSps(nal, size, info);
    numUnitsInTick = info.numUnitsInTick;
    timeScale = info.timeScale;
  } else {
    h264::SpsInfo info;
    h264::parseSps(nal, size, info);
    numUnitsInTick = info.numUnitsInTick;
    timeScale = info.timeScale;
  }
  if (numUnitsInTick != 0 && timeScale != 0) {
    // Reported only: the nominal rate stays fixed.
    std::fprintf(stderr, "sps time_scale = %d, num_units_in_tick = %d\n", int(timeScale), int(numUnitsInTick));
    std::fprintf(stderr, "Set frame rate to %.2f fps by SPS\n", fFrameRate);
  }
}
