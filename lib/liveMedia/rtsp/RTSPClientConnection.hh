#ifndef OSTRA_RTSP_CLIENT_CONNECTION_HH
#define OSTRA_RTSP_CLIENT_CONNECTION_HH

#include <netinet/in.h>

#include <cstddef>
#include <memory>
#include <string_view>

#include "Base64StreamDecoder.hh"
#include "ByteTransport.hh"
#include "InterleavedSocketWriter.hh"
#include "RTSPRequestHandler.hh"
#include "RTSPServerContext.hh"
#include "UsageEnvironment.hh"

// One accepted RTSP connection, its bytes in and out: reads requests (whole,
// in pieces, or several at once) and the client's interleaved RTCP frames
// into a fixed buffer, hands each complete request to its request handler,
// and writes answers and the interleaved RTP/RTCP of sessions streamed over
// it through its one non-blocking output writer.
//
// RTSP over HTTP: a connection's first request may make it one half of a
// tunnel. The output half (the GET) is a connection like any other, except
// that its requests come from the input half; the input half (the POST) only
// decodes its base64 body into the output half's request buffer, as if those
// bytes had arrived on the output half's socket.
class RTSPClientConnection final : private InterleavedSocketWriter::Listener {
public:
  static constexpr size_t kRequestBufferSize = 20000;

  // How long a transport's handshake may take before the connection is closed.
  static constexpr int64_t kHandshakeMicroseconds = 10000000;

  RTSPClientConnection(RTSPServerContext& server, int socket, struct sockaddr_storage const& peer);
  // A connection over 'transport' (its socket is owned from now on), which
  // the client reached on 'listenerPort'.
  RTSPClientConnection(RTSPServerContext& server, std::unique_ptr<ByteTransport> transport,
                       struct sockaddr_storage const& peer, Port listenerPort);
  ~RTSPClientConnection();

  int socketNum() const { return fSocket; }
  // Where interleaved frames for this connection's client go.
  InterleavedSocketWriter& output() { return fOutput; }
  InterleavedSocketWriter const& output() const { return fOutput; }

  enum class TunnelRole { None, Output, Input };
  // Output half: room for decoded request bytes now (none while its answers
  // pile up or it closes), and bytes to take as if they had been received.
  size_t tunnelInputRoom() const;
  void takeTunnelledInput(unsigned char const* data, size_t size);
  // Input half: its output half has room again.
  void resumeTunnelInput();

private:
  RTSPClientConnection(RTSPClientConnection const&) = delete;
  RTSPClientConnection& operator=(RTSPClientConnection const&) = delete;

  static void socketHandler(void* clientData, int mask);
  void handleSocket(int mask);
  // Moves the transport's handshake on; false when it is not done yet.
  bool transportReady();
  static void handshakeTimeoutTask(void* clientData);
  static void bufferedInputTask(void* clientData);
  void readInput();
  void processInput();
  // What the next bytes at 'pos' hold; advances 'pos' past whatever was
  // consumed. Returns false when more bytes are needed.
  bool consumeOne(size_t& pos);
  // A request or an interleaved frame arrived: the idle time starts again.
  void noteActivity();
  // The end of a socket event or of a held answer's wait: closes the
  // connection when that was asked for (deleting it), else re-arms its socket.
  void finishHandling();
  static void holdTask(void* clientData);

  // HTTP tunnelling (RTSPClientConnectionTunnel.cpp). startTunnel answers
  // the request and returns true when it opened, joined or was refused a
  // tunnel; 'pos' moves past input that is not for the request scanner.
  bool startTunnel(std::string_view request, size_t& pos);
  bool refuseTunnel(char const* status);
  void feedTunnel();       // input half: decodes what was received into the output half
  void discardOwnInput();  // output half: bytes on its own socket are not requests
  void wakeTunnelInput();  // output half: lets a waiting input half go on
  static void tunnelResumeTask(void* clientData);
  void restartIdleTimer();

  void writableInterestChanged(bool wantWritable) override;
  void writerFailed() override;
  void updateSocketHandling();
  void requestClose();
  static void closeTask(void* clientData);
  static void idleTask(void* clientData);

  RTSPServerContext& fServer;
  int fSocket;
  std::unique_ptr<ByteTransport> fTransport;
  InterleavedSocketWriter fOutput;
  RTSPRequestHandler fHandler;

  unsigned char fIn[kRequestBufferSize];
  size_t fInLength = 0;
  size_t fScanFrom = 0;        // how far the current request was scanned for its end
  size_t fSkipFrameBytes = 0;  // rest of an interleaved frame too big to keep
  bool fReadARequest = false;  // a first request was read (only it may open a tunnel)

  TunnelRole fTunnelRole = TunnelRole::None;
  Base64StreamDecoder fTunnelDecoder;  // input half: the POST body
  bool fTunnelInputBlocked = false;    // input half: waits for room in the output half
  TaskScheduler::TaskToken fTunnelResumeTask = nullptr;

  bool fWantWritable = false;
  bool fInHandler = false;
  bool fCloseRequested = false;
  bool fHadLiveSession = false;  // a session kept the connection when its idle time last began
  int fArmedMask = 0;
  TaskScheduler::TaskToken fCloseTask = nullptr;
  TaskScheduler::TaskToken fIdleTask = nullptr;
  TaskScheduler::TaskToken fHoldTask = nullptr;  // a held answer waits: input paused
  TaskScheduler::TaskToken fHandshakeTask = nullptr;
  TaskScheduler::TaskToken fBufferedInputTask = nullptr;  // the transport holds input no event announces
};

#endif
