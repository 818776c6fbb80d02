#include "H264VideoStreamFramer.hh"

#include <cstdio>
#include <cstring>

#include "H264Bits.hh"
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

struct H264NalResult {
  unsigned frameSize = 0;  // bytes written to the output buffer
  unsigned numTruncatedBytes = 0;
  uint8_t header = 0;  // the NAL unit's first byte
  bool endsAccessUnit = false;
};

class H264VideoStreamParser : public StreamParser {
public:
  H264VideoStreamParser(H264VideoStreamFramer* framer, FramedSource* inputSource, bool includeStartCodeInOutput)
      : StreamParser(inputSource, FramedSource::handleClosure, framer, &H264VideoStreamFramer::continueReadProcessing,
                     framer),
        fIncludeStartCodeInOutput(includeStartCodeInOutput) {}

  void registerReadInterest(unsigned char* to, unsigned maxSize) {
    fTo = to;
    fMaxSize = maxSize;
  }

  // Parses the next NAL unit. Returns true with 'result' filled when one is
  // complete; false when the parse must wait for input (a read has been
  // asked for) or the parser's limit was reached (limitReached()).
  bool parse(H264NalResult& result);

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

  static constexpr unsigned kPeekSize = 9;  // next NAL header + enough for first_mb_in_slice

  bool seekFirstStartCode();
  void startNal();
  // Returns true when the NAL unit has ended (at a start code or at the end of
  // the input).
  bool scanNal();
  // Returns true when the end-of-access-unit decision could be made.
  bool decideAccessUnitEnd(bool& endsAccessUnit);

  void emit(unsigned char const* data, unsigned size);
  void emitZeros(unsigned count);

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

void H264VideoStreamParser::emit(unsigned char const* data, unsigned size) {
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

void H264VideoStreamParser::emitZeros(unsigned count) {
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

void H264VideoStreamParser::startNal() {
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

bool H264VideoStreamParser::seekFirstStartCode() {
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

bool H264VideoStreamParser::scanNal() {
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

bool H264VideoStreamParser::decideAccessUnitEnd(bool& endsAccessUnit) {
  unsigned const type = h264::nalUnitType(fHeader);
  bool const accessUnitHasVcl = fAccessUnitHasVcl || h264::isVcl(type);

  bool nextBegins;
  unsigned const avail = bytesAvailable();
  if (type == h264::kNalEndOfSequence || type == h264::kNalEndOfStream) {
    nextBegins = true;  // nothing of this access unit follows these
  } else if (avail == 0) {
    if (!haveSeenEOF()) {
      ensureAvailable(1);
      return false;
    }
    nextBegins = true;  // the last NAL unit of the input ends its access unit
  } else {
    uint8_t const nextHeader = test1Byte();
    unsigned const nextType = h264::nalUnitType(nextHeader);
    if (h264::beginsAccessUnit(nextType)) {
      nextBegins = true;
    } else if (h264::carriesSliceHeader(nextType)) {
      unsigned const n = avail < kPeekSize ? avail : kPeekSize;
      uint32_t firstMb = 0;
      if (h264::parseFirstMbInSlice(curPtr(), n, firstMb)) {
        nextBegins = (firstMb == 0);  // the first slice of a new picture
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

bool H264VideoStreamParser::parse(H264NalResult& result) {
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

H264VideoStreamFramer* H264VideoStreamFramer::createNew(UsageEnvironment& env, FramedSource* inputSource,
                                                        Boolean includeStartCodeInOutput, Boolean useWallClockTime) {
  return new H264VideoStreamFramer(env, inputSource, includeStartCodeInOutput, useWallClockTime);
}

H264VideoStreamFramer::H264VideoStreamFramer(UsageEnvironment& env, FramedSource* inputSource,
                                             Boolean includeStartCodeInOutput, Boolean useWallClockTime)
    : FramedFilter(env, inputSource),
      fIncludeStartCodeInOutput(includeStartCodeInOutput),
      fUseWallClockTime(useWallClockTime) {
  fParser.reset(new H264VideoStreamParser(this, inputSource, includeStartCodeInOutput));
  gettimeofday(&fNextPresentationTime, nullptr);
  fLastSPS.reserve(64);
  fLastPPS.reserve(64);
}

H264VideoStreamFramer::~H264VideoStreamFramer() {
  envir().taskScheduler().unscheduleDelayedTask(fContinueTask);
  // The parser goes first; FramedFilter's destructor then closes the input.
  fParser.reset();
}

Boolean H264VideoStreamFramer::isH264VideoStreamFramer() const { return True; }

StreamParser const* H264VideoStreamFramer::parser() const { return fParser.get(); }

void H264VideoStreamFramer::getSPSandPPS(uint8_t const*& sps, unsigned& spsSize, uint8_t const*& pps,
                                         unsigned& ppsSize) const {
  sps = fLastSPS.empty() ? nullptr : fLastSPS.data();
  spsSize = unsigned(fLastSPS.size());
  pps = fLastPPS.empty() ? nullptr : fLastPPS.data();
  ppsSize = unsigned(fLastPPS.size());
}

void H264VideoStreamFramer::doGetNextFrame() {
  fFrameSize = 0;
  fNumTruncatedBytes = 0;
  fParser->registerReadInterest(fTo, fMaxSize);
  if (tDeliveryDepth >= kMaxDeliveryDepth) {
    fContinueTask = envir().taskScheduler().scheduleDelayedTask(0, continueReadProcessingTask, this);
    return;
  }
  continueReadProcessing();
}

void H264VideoStreamFramer::doStopGettingFrames() {
  envir().taskScheduler().unscheduleDelayedTask(fContinueTask);
  FramedFilter::doStopGettingFrames();
  fParser->flushInput();
}

void H264VideoStreamFramer::continueReadProcessingTask(void* clientData) {
  auto* framer = static_cast<H264VideoStreamFramer*>(clientData);
  framer->fContinueTask = nullptr;
  framer->continueReadProcessing();
}

void H264VideoStreamFramer::continueReadProcessing(void* clientData, unsigned char* /*ptr*/, unsigned /*size*/,
                                                   struct timeval /*presentationTime*/) {
  static_cast<H264VideoStreamFramer*>(clientData)->continueReadProcessing();
}

void H264VideoStreamFramer::continueReadProcessing() {
  H264NalResult nal;
  if (!fParser->parse(nal)) {
    // Either waiting for input, or the parser cannot go on: end the stream as
    // if the input had closed (the reader may close us here).
    if (fParser->limitReached()) handleClosure();
    return;
  }

  fFrameSize = nal.frameSize;
  fNumTruncatedBytes = nal.numTruncatedBytes;
  if (fNumTruncatedBytes > 0) {
    envir() << "H264VideoStreamFramer warning: a NAL unit of " << fFrameSize + fNumTruncatedBytes
            << " bytes does not fit the reader's buffer of " << fMaxSize << " bytes; " << fNumTruncatedBytes
            << " bytes dropped\n";
  }

  unsigned const prefix = fIncludeStartCodeInOutput ? (fFrameSize < 4 ? fFrameSize : 4) : 0;
  uint8_t const* nalData = fTo + prefix;
  unsigned const nalSize = fFrameSize - prefix;
  unsigned const type = h264::nalUnitType(nal.header);
  if (type == h264::kNalSps) {
    fLastSPS.assign(nalData, nalData + nalSize);
    if (fParsedFrameRate == 0.0) analyseSps(nalData, nalSize);
  } else if (type == h264::kNalPps) {
    fLastPPS.assign(nalData, nalData + nalSize);
  }

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

void H264VideoStreamFramer::analyseSps(uint8_t const* nal, unsigned size) {
  h264::SpsInfo info;
  h264::parseSps(nal, size, info);
  if (info.numUnitsInTick != 0 && info.timeScale != 0) {
    // Reported only: the nominal rate stays fixed.
    std::fprintf(stderr, "sps time_scale = %d, num_units_in_tick = %d\n", int(info.timeScale),
                 int(info.numUnitsInTick));
    std::fprintf(stderr, "Set frame rate to %.2f fps by SPS\n", fFrameRate);
  }
}
