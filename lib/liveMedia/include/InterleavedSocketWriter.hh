#ifndef OSTRA_INTERLEAVED_SOCKET_WRITER_HH
#define OSTRA_INTERLEAVED_SOCKET_WRITER_HH

#include <cstddef>

#include "ByteRing.hh"
#include "RTPInterface.hh"

// The output side of an RTSP connection: interleaved RTP/RTCP frames ("$",
// channel, 16-bit length, data; RFC 2326 section 10.12) and the connection's
// other bytes (RTSP answers), written to a non-blocking TCP socket without
// ever blocking.
//
// Bytes are written straight through while nothing is queued; whatever the
// socket does not take at once waits in one queue, in order, and goes out
// when the socket becomes writable. A frame that would take the queue past
// its frame backlog is dropped whole, so a slow peer loses packets but never
// receives a torn frame, and its sender never waits for it. Other bytes
// (answers) are never dropped: they share the queue, so they can never cut
// into a frame, and a peer that lets more than the data backlog pile up is
// given up on (the writer fails).
//
// Writable events: the socket usually has a read handler of its owner (the
// RTSP connection), so the writer tells its listener when it needs
// SOCKET_WRITABLE; the owner arms its socket accordingly and calls flush()
// when the socket is writable. The listener also hears when the writer fails.
// Without a listener the writer arms the socket itself (for a socket nobody
// else handles).
class InterleavedSocketWriter : public InterleavedChannelWriter {
public:
  class Listener {
  public:
    virtual void writableInterestChanged(bool wantWritable) = 0;
    // The peer is gone or fell too far behind; called once.
    virtual void writerFailed() = 0;

  protected:
    ~Listener() = default;
  };

  struct Limits {
    // Queued bytes past which a frame is dropped whole (at least one largest
    // frame, 65539 bytes).
    size_t frameBacklog = 262144;
    // Queued bytes past which the writer fails (0: twice the frame backlog).
    size_t dataBacklog = 0;
    // The queue's first allocation, made when it is first needed (0: the
    // frame backlog). It grows, doubling, only for a peer that falls behind.
    size_t firstAllocation = 0;
  };

  // 'socketNum' is not owned.
  InterleavedSocketWriter(UsageEnvironment& env, int socketNum, Limits const& limits, Listener* listener = nullptr);
  // A writer whose frame backlog is 'queueCapacity' bytes.
  explicit InterleavedSocketWriter(UsageEnvironment& env, int socketNum, unsigned queueCapacity = 262144);
  ~InterleavedSocketWriter() override;

  Boolean writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) override;
  // Queues other bytes for the connection; never dropped. Returns false when
  // the writer has failed (now or before).
  Boolean writeData(unsigned char const* data, size_t size);

  // Sends as much of the queue as the socket takes now.
  void flush();

  int socketNum() const { return fSocketNum; }
  size_t queuedBytes() const { return fQueue.size(); }
  unsigned numDroppedFrames() const { return fNumDroppedFrames; }
  unsigned numFramesWritten() const { return fNumFramesWritten; }
  // True once a write failed for another reason than a full socket buffer
  // (peer gone), or the data backlog was exceeded; everything is dropped from
  // then on.
  Boolean failed() const { return fFailed; }

private:
  InterleavedSocketWriter(InterleavedSocketWriter const&) = delete;
  InterleavedSocketWriter& operator=(InterleavedSocketWriter const&) = delete;

  // Writes a then b (either may be empty) straight through, queueing the rest.
  bool writeThrough(unsigned char const* a, size_t aSize, unsigned char const* b, size_t bSize);
  void enqueue(unsigned char const* data, size_t size);
  void fail();
  void setWantWritable(bool want);
  static void writableHandler(void* clientData, int mask);

  UsageEnvironment& fEnv;
  int fSocketNum;
  Listener* fListener;
  size_t fFrameBacklog;
  size_t fDataBacklog;
  size_t fFirstAllocation;
  ByteRing fQueue;  // allocated when first needed; grows to the largest backlog, then stays
  bool fWantWritable = false;
  Boolean fFailed = False;
  unsigned fNumDroppedFrames = 0;
  unsigned fNumFramesWritten = 0;
};

#endif
