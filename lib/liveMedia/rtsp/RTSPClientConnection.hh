#ifndef OSTRA_RTSP_CLIENT_CONNECTION_HH
#define OSTRA_RTSP_CLIENT_CONNECTION_HH

#include <netinet/in.h>

#include <string>
#include <string_view>
#include <vector>

#include "ByteRing.hh"
#include "RTPInterface.hh"
#include "RTSPRequest.hh"
#include "RTSPServer.hh"

class RTSPClientSession;

// One accepted RTSP connection: reads requests (whole, in pieces, or several
// at once) into a fixed buffer, answers them in order, and carries the
// interleaved RTP/RTCP frames of sessions streamed over it. All writes are
// non-blocking through one bounded output queue.
class RTSPClientConnection : public InterleavedChannelWriter {
public:
  static constexpr size_t kRequestBufferSize = 20000;

  RTSPClientConnection(RTSPServer& server, int socket, struct sockaddr_in const& peer);
  ~RTSPClientConnection() override;

  Boolean writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) override;

  int socketNum() const { return fSocket; }

private:
  static void socketHandler(void* clientData, int mask);
  void handleSocket(int mask);
  void readInput();
  void processInput();
  void handleInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size);
  void handleRequest(std::string_view text);

  // The methods.
  void handleOPTIONS(RTSPRequest const& req);
  void handleDESCRIBE(RTSPRequest const& req);
  void handleSETUP(RTSPRequest const& req, RTSPClientSession* session);
  void handlePLAY(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track);
  void handlePAUSE(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track);
  void handleTEARDOWN(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track);
  void handleGETorSETPARAMETER(RTSPRequest const& req, RTSPClientSession* session, bool isGet);

  // Finds the stream (and track, null for the whole stream) that a URL path names.
  bool resolveURL(std::string_view path, ServerMediaSession*& sms, ServerMediaSubsession*& track) const;
  // Digest check; answers 401 itself and returns false when it fails.
  bool authenticationOK(RTSPRequest const& req);

  // Answers.
  void beginResponse(char const* status, std::string_view cseq);
  void endResponse(std::string_view body = std::string_view());
  void sendSimpleResponse(char const* status, std::string_view cseq);
  void sendBadRequest();
  void sendMethodNotAllowed(std::string_view cseq);
  void sendHTTPNotAllowed();
  void appendSessionHeader(RTSPClientSession const* session, bool withTimeout);
  std::string urlPrefix() const;  // "rtsp://<local-ip>[:port]/"

  // Output queue.
  void queueOutput(unsigned char const* data, size_t size);
  void reserveOutput(size_t bytes);  // room for 'bytes' more in the queue
  void flushOutput();
  size_t pendingOutput() const { return fOut.size(); }
  void updateSocketHandling();
  void requestClose();
  static void closeTask(void* clientData);
  static void idleTask(void* clientData);

  RTSPServer& fServer;
  int fSocket;
  struct in_addr fPeerAddress;
  struct in_addr fLocalAddress;

  unsigned char fIn[kRequestBufferSize];
  size_t fInLength = 0;
  size_t fScanFrom = 0;        // how far the current request was scanned for its end
  size_t fSkipFrameBytes = 0;  // rest of an interleaved frame too big to keep

  ByteRing fOut;          // grows to the connection's largest backlog, then stays
  std::string fResponse;  // the answer being built (its capacity is reused)

  std::string fNonce;  // the Digest nonce last issued on this connection
  bool fHadSession = false;
  bool fInHandler = false;
  bool fCloseRequested = false;
  int fArmedMask = 0;
  TaskScheduler::TaskToken fCloseTask = nullptr;
  TaskScheduler::TaskToken fIdleTask = nullptr;
};

#endif
