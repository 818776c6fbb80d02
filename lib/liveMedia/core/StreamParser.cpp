#include "StreamParser.hh"

#include <cstring>

StreamParser::StreamParser(FramedSource* inputSource, FramedSource::onCloseFunc* onInputCloseFunc,
                           void* onInputCloseClientData, clientContinueFunc* clientContinueFunc,
                           void* clientContinueClientData)
    : fInputSource(inputSource),
      fClientOnInputCloseFunc(onInputCloseFunc),
      fClientOnInputCloseClientData(onInputCloseClientData),
      fClientContinueFunc(clientContinueFunc),
      fClientContinueClientData(clientContinueClientData) {
  // Both banks are allocated once, for the life of the parser.
  fBank[0].reset(new unsigned char[BANK_SIZE]);
  fBank[1].reset(new unsigned char[BANK_SIZE]);
}

StreamParser::~StreamParser() = default;

void StreamParser::flushInput() {
  fCurParserIndex = fSavedParserIndex = 0;
  fTotNumValidBytes = 0;
  fHaveSeenEOF = False;
  fLimitReached = False;
}

void StreamParser::ensureValidBytes1(unsigned numBytesNeeded) {
  if (fLimitReached) return;  // reported once; the client ends its stream

  // Keep room for the greater of what the parse needs and the largest frame
  // the source may deliver.
  unsigned const maxInputFrameSize = fInputSource->maxFrameSize();
  unsigned const room = numBytesNeeded > maxInputFrameSize ? numBytesNeeded : maxInputFrameSize;

  if (uint64_t(fCurParserIndex) + room > BANK_SIZE) {
    // Move what the parse in progress still needs to the start of the other bank.
    unsigned const numBytesToSave = fTotNumValidBytes - fSavedParserIndex;
    unsigned char const* from = &fBank[fCurBankNum][fSavedParserIndex];
    fCurBankNum ^= 1;
    std::memcpy(&fBank[fCurBankNum][0], from, numBytesToSave);
    fCurParserIndex -= fSavedParserIndex;
    fSavedParserIndex = 0;
    fTotNumValidBytes = numBytesToSave;
    ++fNumBankSwitches;
  }

  if (uint64_t(fCurParserIndex) + room > BANK_SIZE) {
    // The parse in progress needs more than a bank can hold besides the room
    // for one more read: nothing is read.
    envir() << "StreamParser internal error (" << fCurParserIndex << " + " << room << " > " << BANK_SIZE << ")\n";
    fLimitReached = True;
    return;
  }

  fInputSource->getNextFrame(&fBank[fCurBankNum][fTotNumValidBytes], BANK_SIZE - fTotNumValidBytes, afterGettingBytes,
                             this, onInputClosure, this);
}

void StreamParser::afterGettingBytes(void* clientData, unsigned numBytesRead, unsigned /*numTruncatedBytes*/,
                                     struct timeval presentationTime, unsigned /*durationInMicroseconds*/) {
  static_cast<StreamParser*>(clientData)->afterGettingBytes1(numBytesRead, presentationTime);
}

void StreamParser::afterGettingBytes1(unsigned numBytesRead, struct timeval presentationTime) {
  if (uint64_t(fTotNumValidBytes) + numBytesRead > BANK_SIZE) {
    envir() << "StreamParser::afterGettingBytes() warning: read " << numBytesRead << " bytes; expected no more than "
            << BANK_SIZE - fTotNumValidBytes << "\n";
    // Whatever a misbehaving source wrote beyond the bank is not ours to parse.
    numBytesRead = BANK_SIZE - fTotNumValidBytes;
  }

  unsigned char* ptr = &fBank[fCurBankNum][fTotNumValidBytes];
  fLastSeenPresentationTime = presentationTime;
  fTotNumValidBytes += numBytesRead;

  // Parse again from the saved position. The client may close this parser
  // while it runs, so nothing may follow the call.
  restoreSavedParserState();
  fClientContinueFunc(fClientContinueClientData, ptr, numBytesRead, presentationTime);
}

void StreamParser::onInputClosure(void* clientData) { static_cast<StreamParser*>(clientData)->onInputClosure1(); }

void StreamParser::onInputClosure1() {
  if (!fHaveSeenEOF) {
    // End of input: let the client parse what is still held. A parse that
    // needs more asks the source once more, and a second closure ends it.
    fHaveSeenEOF = True;
    afterGettingBytes1(0, fLastSeenPresentationTime);
  } else if (fClientOnInputCloseFunc != nullptr) {
    fClientOnInputCloseFunc(fClientOnInputCloseClientData);
  }
}
