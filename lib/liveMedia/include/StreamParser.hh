#ifndef OSTRA_STREAM_PARSER_HH
#define OSTRA_STREAM_PARSER_HH

#include <sys/time.h>

#include <cstdint>
#include <memory>

#include "FramedSource.hh"

// Input buffering for the parsing framers. The parser reads its input source
// into one of two equal banks and hands the bytes to a subclass that parses
// them. A parse attempt that runs out of bytes asks the source for more and
// ends; when the bytes arrive the parser goes back to the position saved last
// (the start of what the parse in progress still needs) and the client runs
// the parse again.
//
// Before each read the parser keeps room for the greater of the bytes needed
// and the source's largest frame. When that room does not fit behind the
// current position, the unparsed bytes move to the start of the other bank.
// A parse that needs more than a bank minus that room, counted from its saved
// position, has reached the parser's limit: the parser reports it, reads
// nothing, and limitReached() turns true; the client then ends its stream.
//
// End of input: the first closure of the source is taken as the end of the
// input, and the client parses once more what is still held (haveSeenEOF()
// is then true). A parse that needs more bytes after that asks the source
// again; a second closure is passed on to the client's close function.
//
// Nothing here throws. Parsing functions of subclasses check
// ensureAvailable() before reading and return when it fails.
class StreamParser {
public:
  static constexpr unsigned BANK_SIZE = 1000000;

  typedef void(clientContinueFunc)(void* clientData, unsigned char* ptr, unsigned size,
                                   struct timeval presentationTime);

  virtual ~StreamParser();

  // Drops every byte held and any saved position (e.g. after a stop). A read
  // request still outstanding at the source is not cancelled here.
  virtual void flushInput();

  Boolean limitReached() const { return fLimitReached; }
  Boolean haveSeenEOF() const { return fHaveSeenEOF; }

  // Introspection for tests and statistics.
  unsigned curBankNum() const { return fCurBankNum; }
  unsigned savedParserIndex() const { return fSavedParserIndex; }
  unsigned curParserIndex() const { return fCurParserIndex; }
  unsigned totNumValidBytes() const { return fTotNumValidBytes; }
  unsigned numBankSwitches() const { return fNumBankSwitches; }

protected:
  StreamParser(FramedSource* inputSource, FramedSource::onCloseFunc* onInputCloseFunc, void* onInputCloseClientData,
               clientContinueFunc* clientContinueFunc, void* clientContinueClientData);

  UsageEnvironment& envir() const { return fInputSource->envir(); }
  FramedSource* inputSource() const { return fInputSource; }

  // The parse in progress needs nothing before the current position any more.
  void saveParserState() { fSavedParserIndex = fCurParserIndex; }
  // Back to the saved position (called before the client parses again).
  virtual void restoreSavedParserState() { fCurParserIndex = fSavedParserIndex; }

  // Bytes that can be parsed now without a refill.
  unsigned bytesAvailable() const { return fTotNumValidBytes - fCurParserIndex; }

  // True when 'numBytes' bytes are held from the current position on.
  // Otherwise starts a refill (which may report the parser's limit) and
  // returns false: the caller must end its parse attempt.
  Boolean ensureAvailable(unsigned numBytes) {
    if (fCurParserIndex + numBytes <= fTotNumValidBytes) return True;
    ensureValidBytes1(numBytes);
    return False;
  }

  // Accessors; the caller has checked ensureAvailable() or bytesAvailable().
  unsigned char const* curPtr() const { return &fBank[fCurBankNum][fCurParserIndex]; }
  void skipBytes(unsigned numBytes) { fCurParserIndex += numBytes; }
  uint8_t get1Byte() { return fBank[fCurBankNum][fCurParserIndex++]; }
  uint8_t test1Byte(unsigned offset = 0) const { return fBank[fCurBankNum][fCurParserIndex + offset]; }
  uint32_t get4Bytes() {
    uint32_t const v = test4Bytes();
    fCurParserIndex += 4;
    return v;
  }
  uint32_t test4Bytes() const {
    unsigned char const* p = curPtr();
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
  }

  // Bytes consumed since the saved position.
  unsigned curOffset() const { return fCurParserIndex - fSavedParserIndex; }

  struct timeval lastSeenPresentationTime() const {
    return fLastSeenPresentationTime;
  }

private:
  void ensureValidBytes1(unsigned numBytesNeeded);

  static void afterGettingBytes(void* clientData, unsigned numBytesRead, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingBytes1(unsigned numBytesRead, struct timeval presentationTime);
  static void onInputClosure(void* clientData);
  void onInputClosure1();

  FramedSource* fInputSource;  // not owned
  FramedSource::onCloseFunc* fClientOnInputCloseFunc;
  void* fClientOnInputCloseClientData;
  clientContinueFunc* fClientContinueFunc;
  void* fClientContinueClientData;

  std::unique_ptr<unsigned char[]> fBank[2];
  uint8_t fCurBankNum = 0;
  uint32_t fSavedParserIndex = 0;
  uint32_t fCurParserIndex = 0;
  uint32_t fTotNumValidBytes = 0;
  struct timeval fLastSeenPresentationTime {};

  Boolean fHaveSeenEOF = False;
  Boolean fLimitReached = False;
  unsigned fNumBankSwitches = 0;
};

#endif
