#ifndef OSTRA_RTSP_REQUEST_HANDLER_HH
#define OSTRA_RTSP_REQUEST_HANDLER_HH

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "AuthenticationThrottle.hh"
#include "RTSPRequest.hh"
#include "RTSPServerContext.hh"
#include "ServerMediaSubsession.hh"

class InterleavedSocketWriter;
class RTSPClientConnection;
class RTSPClientSession;
class ServerMediaSession;

// How a client reached the server: the URL scheme and port its answers
// name, and whether media may only go over the connection itself (a SETUP
// for UDP is then answered "461 Unsupported Transport").
struct RTSPConnectionOrigin {
  char const* scheme = "rtsp";
  unsigned port = 0;  // 0: the server's port
  bool mediaOnConnectionOnly = false;
};

// Answers the requests of one RTSP connection: checks each request, finds
// the stream, track and session it names, runs the method and writes the
// answer to the connection's output. Keeps the connection's Digest nonce.
class RTSPRequestHandler {
public:
  // 'connection' runs the handler: sessions opened here belong to it.
  RTSPRequestHandler(RTSPServerContext& server, RTSPClientConnection& connection, InterleavedSocketWriter& output,
                     NetAddress const& peerAddress, NetAddress const& localAddress,
                     RTSPConnectionOrigin const& origin = RTSPConnectionOrigin());

  // Answers one complete request (as the request scanner delimits it).
  // Returns true when it was a readable RTSP request (it counts as activity
  // on the connection), false when it was answered 400 or as HTTP.
  bool handleRequest(std::string_view text);

  // Whether a URL path (RTSPRequest::urlPath) names a stream or one of its tracks.
  bool namesStream(std::string_view urlPath) const {
    ServerMediaSession* sms = nullptr;
    ServerMediaSubsession* track = nullptr;
    return resolveURL(urlPath, sms, track);
  }

  // After handleRequest: the answer to a failed Digest check that must wait
  // (AuthenticationThrottle.hh), this many microseconds; 0 when none waits.
  // The connection reads and answers nothing more until it calls
  // sendHeldAnswer() that much later.
  // A DESCRIBE whose stream cannot be described yet waits the same way: the
  // connection asks again every so often (sendHeldAnswer() returns false
  // while it still waits).
  int64_t heldAnswerDelay() const { return fHeldAnswer.empty() && !fDescribeWaits ? 0 : fHoldMicroseconds; }
  bool sendHeldAnswer();
  // After handleRequest: the connection is to be closed without an answer.
  bool closeWanted() const { return fCloseWanted; }

private:
  enum class Method { OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER, Unknown };
  static Method methodOf(std::string_view name);

  void dispatch(Method method, RTSPRequest const& req, RTSPClientSession* session);
  void handleOPTIONS(RTSPRequest const& req);
  void handleDESCRIBE(RTSPRequest const& req);
  void answerDESCRIBE(ServerMediaSession* sms, std::string_view cseq);
  void handleSETUP(RTSPRequest const& req, RTSPClientSession* session);
  void handlePLAY(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track);
  void handlePAUSE(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track);
  void handleTEARDOWN(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track);
  void handleGETorSETPARAMETER(RTSPRequest const& req, RTSPClientSession* session, bool isGet);

  // SETUP, first half: the track the URL names and the client's transport.
  // Answers the request itself (and returns false) when it cannot be served.
  bool negotiateTransport(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSession*& sms,
                          ServerMediaSubsession*& track, ServerMediaSubsession::ClientTransport& transport);
  // RTP/SAVP: over TLS only, with the client's key from its KeyMgmt header
  // (RTSPRequestHandlerSRTP.cpp). Answers itself and returns false when refused.
  bool negotiateSRTP(RTSPRequest const& req, ServerMediaSubsession const* track,
                     ServerMediaSubsession::ClientTransport& transport);
  void sendSetupReply(RTSPRequest const& req, RTSPClientSession const& session,
                      ServerMediaSubsession::ClientTransport const& transport, Port serverRTPPort, Port serverRTCPPort);

  // Finds the stream (and track, null for the whole stream) that a URL path names.
  bool resolveURL(std::string_view path, ServerMediaSession*& sms, ServerMediaSubsession*& track) const;
  // Whether a request naming 'session' may act on it (SessionAccess.hh);
  // answers 454 or 401 itself and returns false when it may not.
  bool mayUseSession(RTSPRequest const& req, RTSPClientSession const& session);
  // Digest check; answers 401 itself and returns false when it fails.
  bool authenticationOK(RTSPRequest const& req);

  std::string urlPrefix() const;  // "rtsp://<local-ip>[:port]/" (or rtsps)
  static std::string now();       // the Date header's text
  void sendSimpleResponse(char const* status, std::string_view cseq);
  void sendMethodNotAllowed(std::string_view cseq);
  void send();  // writes fResponse to the connection

  RTSPServerContext& fServer;
  RTSPClientConnection& fConnection;
  InterleavedSocketWriter& fOutput;
  NetAddress fPeerAddress;
  NetAddress fLocalAddress;
  RTSPConnectionOrigin fOrigin;
  std::string fResponse;  // the answer being built (its capacity is reused)
  std::string fNonce;     // the Digest nonce last issued on this connection
  AuthenticationThrottle::Connection fThrottleRecord;
  std::string fHeldAnswer;  // a 401 that waits for its time
  int64_t fHoldMicroseconds = 0;
  bool fCloseWanted = false;
  bool fDescribeWaits = false;  // a DESCRIBE waits for its stream's description
  std::string fDescribeCSeq;    // and its CSeq
  std::string fDescribeStream;  // and the stream it names
  // The stream key each track's last description on this connection offered.
  std::map<ServerMediaSubsession const*, uint64_t> fSRTPOffers;
};

#endif
