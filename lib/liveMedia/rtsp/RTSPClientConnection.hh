#ifndef OSTRA_RTSP_CLIENT_CONNECTION_HH
#define OSTRA_RTSP_CLIENT_CONNECTION_HH

#include <netinet/in.h>

#include <cstddef>

#include "InterleavedSocketWriter.hh"
#include "RTSPRequestHandler.hh"
#include "RTSPServerContext.hh"
#include "UsageEnvironment.hh"

// One accepted RTSP connection, its bytes in and out: reads requests (whole,
// in pieces, or several at once) and the client's interleaved RTCP frames
// into a fixed buffer, hands each complete request to its request handler,
// and writes answers and the interleaved RTP/RTCP of sessions streamed over
// it through its one non-blocking output writer.
class RTSPClientConnection final : private InterleavedSocketWriter::Listener {
public:
  static constexpr size_t kRequestBufferSize = 20000;

  RTSPClientConnection(RTSPServerContext& server, int socket, struct sockaddr_in const& peer);
  ~RTSPClientConnection();

  int socketNum() const { return fSocket; }
  // Where interleaved frames for this connection's client go.
  InterleavedSocketWriter& output() { return fOutput; }
  InterleavedSocketWriter const& output() const { return fOutput; }

private:
  RTSPClientConnection(RTSPClientConnection const&) = delete;
  RTSPClientConnection& operator=(RTSPClientConnection const&) = delete;

  static void socketHandler(void* clientData, int mask);
  void handleSocket(int mask);
  void readInput();
  void processInput();
  // What the next bytes at 'pos' hold; advances 'pos' past whatever was
  // consumed. Returns false when more bytes are needed.
  bool consumeOne(size_t& pos);
  void noteActivity();

  void writableInterestChanged(bool wantWritable) override;
  void writerFailed() override;
  void updateSocketHandling();
  void requestClose();
  static void closeTask(void* clientData);
  static void idleTask(void* clientData);

  RTSPServerContext& fServer;
  int fSocket;
  InterleavedSocketWriter fOutput;
  RTSPRequestHandler fHandler;

  unsigned char fIn[kRequestBufferSize];
  size_t fInLength = 0;
  size_t fScanFrom = 0;        // how far the current request was scanned for its end
  size_t fSkipFrameBytes = 0;  // rest of an interleaved frame too big to keep

  bool fWantWritable = false;
  bool fInHandler = false;
  bool fCloseRequested = false;
  int fArmedMask = 0;
  TaskScheduler::TaskToken fCloseTask = nullptr;
  TaskScheduler::TaskToken fIdleTask = nullptr;
};

#endif
