#ifndef OSTRA_FRAMED_SOURCE_HH
#define OSTRA_FRAMED_SOURCE_HH

#include <sys/time.h>

#include "MediaSource.hh"

// A source that delivers its data in frames (or chunks), one per request.
// The reader asks with getNextFrame(); the source answers later, from the
// event loop, by filling the fields below and calling afterGetting(this), or
// by reporting the end of its data with handleClosure().
class FramedSource : public MediaSource {
public:
  static Boolean lookupByName(UsageEnvironment& env, char const* sourceName, FramedSource*& resultSource);

  typedef void(afterGettingFunc)(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                 struct timeval presentationTime, unsigned durationInMicroseconds);
  typedef void(onCloseFunc)(void* clientData);

  // Asks for the next frame, to be written at 'to' (at most 'maxSize' bytes).
  // Asking again before the previous request was answered is a programming
  // error: it is reported and the process aborts.
  void getNextFrame(unsigned char* to, unsigned maxSize, afterGettingFunc* afterGettingFunc,
                    void* afterGettingClientData, onCloseFunc* onCloseFunc, void* onCloseClientData);

  // Tells the reader that no more data will come (calls its on-close function).
  static void handleClosure(void* clientData);
  void handleClosure();

  // Cancels an outstanding request: the reader's callbacks are forgotten.
  void stopGettingFrames();

  // Largest frame this source may deliver; 0 when unknown.
  virtual unsigned maxFrameSize() const;

  // Called by getNextFrame() to do the source's own work.
  virtual void doGetNextFrame() = 0;

  Boolean isCurrentlyAwaitingData() const { return fIsCurrentlyAwaitingData; }

  // Completes the current request: clears the awaiting flag and calls the
  // reader's after-getting function with the fields below.
  static void afterGetting(FramedSource* source);

  Boolean isFramedSource() const override;

protected:
  explicit FramedSource(UsageEnvironment& env);
  ~FramedSource() override;

  virtual void doStopGettingFrames();

  // The request being answered.
  unsigned char* fTo = nullptr;
  unsigned fMaxSize = 0;
  // The answer.
  unsigned fFrameSize = 0;
  unsigned fNumTruncatedBytes = 0;
  struct timeval fPresentationTime {};
  unsigned fDurationInMicroseconds = 0;

private:
  afterGettingFunc* fAfterGettingFunc = nullptr;
  void* fAfterGettingClientData = nullptr;
  onCloseFunc* fOnCloseFunc = nullptr;
  void* fOnCloseClientData = nullptr;
  Boolean fIsCurrentlyAwaitingData = False;
};

#endif
