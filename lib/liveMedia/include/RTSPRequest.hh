#ifndef OSTRA_RTSP_REQUEST_HH
#define OSTRA_RTSP_REQUEST_HH

#include <cstddef>
#include <string_view>

// Parsing of RTSP requests and of the headers the server reads. Plain
// functions over text: no sockets, no scheduler, no allocation. Every view
// points into the caller's buffer.

// Where one request ends in a receive buffer.
enum class RTSPRequestScan {
  Incomplete,  // more bytes are needed
  Complete,    // 'requestLength' bytes form one request (headers and body)
  TooLarge     // the request can never fit into a buffer of 'bufferCapacity'
};

// Looks for the end of the request at the start of 'buf' (the blank line that
// ends the headers, then Content-Length bytes of body; an HTTP request ends at
// its blank line, since a tunnel's POST body is the tunnelled stream, not part
// of the request). 'scanFrom' remembers
// how far a previous call looked, so a request that arrives byte by byte is
// scanned once in total; start it at 0 for a new request.
RTSPRequestScan scanRTSPRequest(char const* buf, size_t len, size_t bufferCapacity, size_t& scanFrom,
                                size_t& requestLength);

struct RTSPRequest {
  std::string_view method, url, protocol;  // request line
  std::string_view urlPath;                // streamURLPath of the URL ("*" stays "*")
  bool hasCSeq = false, hasSession = false, hasTransport = false, hasRange = false;
  bool hasAuthorization = false, hasScale = false;
  std::string_view cseq, session, transport, range, authorization, scale;
  // HTTP tunnelling: x-sessioncookie, Accept, Content-Type.
  bool hasSessionCookie = false, hasAccept = false, hasContentType = false;
  std::string_view sessionCookie, accept, contentType;
  bool hasKeyMgmt = false;
  std::string_view keyMgmt;
  size_t contentLength = 0;
  std::string_view body;
};

// Parses one complete request (as delimited by scanRTSPRequest). Returns
// false when the request line is malformed. Header names are matched without
// regard to case; the blank after the colon is optional. The Session value
// is cut at its first ';' (";timeout=" and the like).
bool parseRTSPRequest(std::string_view text, RTSPRequest& out);

// The path part of an RTSP URL: "rtsp://host:8554/ch01/track1" -> "ch01/track1",
// "/ch01" -> "ch01", "*" -> "*". Anything else is returned unchanged.
std::string_view rtspURLPath(std::string_view url);
// The part of a URL that names a stream or track: rtspURLPath without the
// query ("?...") and without one trailing '/': "rtsp://h/ch01/track1/?x=1"
// -> "ch01/track1".
std::string_view streamURLPath(std::string_view url);

// One client transport from a Transport header that the server can serve:
// unicast RTP/AVP or RTP/SAVP over UDP (with client ports) or over TCP (interleaved).
struct RTSPTransportRequest {
  bool streamOverTCP = false;
  bool secure = false;  // RTP/SAVP (SRTP)
  unsigned short clientRTPPort = 0, clientRTCPPort = 0;  // UDP, host order
  bool hasChannels = false;                              // TCP
  unsigned char rtpChannel = 0, rtcpChannel = 1;
};
// Picks the first alternative of a (possibly comma-separated) Transport
// header that can be served. Returns false when none can (multicast, another
// profile, UDP without client ports, or with an RTCP port outside 1-65535).
// Interleaved channels that cannot be used (a single 255, whose RTCP channel
// would be 256) count as not given.
bool parseTransportHeader(std::string_view value, RTSPTransportRequest& out);

// The fields of "Authorization: Digest ..." (RFC 2617) that the server uses.
struct DigestAuthorizationFields {
  std::string_view username, realm, nonce, uri, response;
};
// Returns false unless the scheme is Digest and all five fields are present.
// Fields may come in any order; unknown fields are ignored.
bool parseDigestAuthorization(std::string_view value, DigestAuthorizationFields& out);

// Case-insensitive comparison of ASCII text.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

#endif
