#ifndef OSTRA_INTERLEAVED_SOCKET_WRITER_HH
#define OSTRA_INTERLEAVED_SOCKET_WRITER_HH

#include <cstdint>

#include "ByteRing.hh"
#include "RTPInterface.hh"

// Writes interleaved RTP/RTCP frames ("$", channel, 16-bit length, data;
// RFC 2326 section 10.12) and any other bytes of the connection (RTSP
// responses) to a non-blocking TCP socket, without ever blocking.
//
// A frame is written straight through while nothing is queued; whatever the
// socket does not take at once is queued in a bounded buffer and sent when the
// socket becomes writable. A frame that does not fit in the free space of the
// queue is dropped whole, so a slow peer loses packets but never receives a
// torn frame, and its sender never waits for it. Bytes written with
// writeData() share the queue, so they can never cut into a frame.
//
// Writable events: the socket usually has a read handler of its owner (the
// RTSP connection). The writer therefore reports when it needs SOCKET_WRITABLE
// through 'interestFunc'; the owner arms its socket accordingly and calls
// flush() when the socket is writable. Without an interest function the writer
// arms the socket itself (for a socket nobody else handles).
class InterleavedSocketWriter : public InterleavedChannelWriter {
public:
  typedef void WritableInterestFunc(void* clientData, Boolean wantWritable);

  // 'socketNum' is not owned. 'queueCapacity' is raised to at least one
  // largest frame (65539 bytes).
  InterleavedSocketWriter(UsageEnvironment& env, int socketNum, unsigned queueCapacity = 262144,
                          WritableInterestFunc* interestFunc = nullptr, void* interestClientData = nullptr);
  ~InterleavedSocketWriter() override;

  Boolean writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) override;
  // Queues other bytes for the connection, all or nothing. Returns false when
  // they do not fit or the connection has failed.
  Boolean writeData(unsigned char const* data, unsigned size);

  // Sends as much of the queue as the socket takes now.
  void flush();

  int socketNum() const { return fSocketNum; }
  unsigned queuedBytes() const { return static_cast<unsigned>(fQueue.size()); }
  unsigned numDroppedFrames() const { return fNumDroppedFrames; }
  unsigned numFramesWritten() const { return fNumFramesWritten; }
  // True once a write failed for another reason than a full socket buffer
  // (peer gone); everything is dropped from then on.
  Boolean failed() const { return fFailed; }

private:
  InterleavedSocketWriter(InterleavedSocketWriter const&) = delete;
  InterleavedSocketWriter& operator=(InterleavedSocketWriter const&) = delete;

  Boolean write2(unsigned char const* a, unsigned aSize, unsigned char const* b, unsigned bSize);
  void setWantWritable(bool want);
  static void writableHandler(void* clientData, int mask);

  UsageEnvironment& fEnv;
  int fSocketNum;
  WritableInterestFunc* fInterestFunc;
  void* fInterestClientData;
  ByteRing fQueue;  // allocated once at its full capacity, never grown
  bool fWantWritable = false;
  Boolean fFailed = False;
  unsigned fNumDroppedFrames = 0;
  unsigned fNumFramesWritten = 0;
};

#endif
