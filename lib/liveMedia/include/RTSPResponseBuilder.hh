#ifndef OSTRA_RTSP_RESPONSE_BUILDER_HH
#define OSTRA_RTSP_RESPONSE_BUILDER_HH

#include <netinet/in.h>

#include <ctime>
#include <string>
#include <string_view>

#include "NetAddress.hh"

// Builds the text of the answers the RTSP server sends: the status line,
// CSeq, Date, the method's own headers in the order clients expect, the blank
// line and the body. Pure text: no socket and no clock (the date comes in),
// so every answer can be checked as it stands. Appends to a string the caller
// owns, so one buffer serves a connection's every answer.
class RTSPResponseBuilder {
public:
  static constexpr char kAllowedMethods[] =
      "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";

  // Empties 'out' and writes "RTSP/1.0 <status>", "CSeq: <cseq>", "Date: <date>".
  RTSPResponseBuilder(std::string& out, std::string_view status, std::string_view cseq, std::string_view date);

  void header(std::string_view name, std::string_view value);
  // "Session: <id as %08X>", with ";timeout=<seconds>" when 'timeoutSeconds' > 0.
  void session(unsigned id, unsigned timeoutSeconds = 0);
  // "Transport: RTP/AVP;unicast;destination=...;source=...;client_port=a-b;server_port=c-d"
  void udpTransport(NetAddress const& destination, NetAddress const& source, unsigned clientRTPPort,
                    unsigned clientRTCPPort, unsigned serverRTPPort, unsigned serverRTCPPort);
  // "Transport: RTP/AVP/TCP;unicast;destination=...;source=...;interleaved=a-b"
  void tcpTransport(NetAddress const& destination, NetAddress const& source, unsigned rtpChannel, unsigned rtcpChannel);
  // The Transport line written last names RTP/SAVP (SRTP) instead of RTP/AVP.
  void secureProfile();
  // "Range: npt=<start with three decimals>-"
  void range(double startSeconds);
  // One entry of an RTP-Info list ("url=...;seq=...;rtptime=..."), appended
  // to 'list' with a comma before all but the first.
  static void appendRTPInfo(std::string& list, std::string_view url, unsigned seq, unsigned rtptime);

  // The blank line that ends the headers.
  void end();
  // "Content-Length: <bytes>", the blank line and the body.
  void endWithBody(std::string_view body);

  // Whole answers that have no CSeq line: a request that could not be read
  // ("400 Bad Request" with Allow), and an HTTP request on the RTSP port.
  static void badRequest(std::string& out, std::string_view date);
  static void httpNotAllowed(std::string& out, std::string_view date);
  // RTSP over HTTP: the answer that opens a tunnel on its GET connection
  // ("HTTP/1.0 200 OK", Date, no caching, the tunnel's Content-Type), and
  // "HTTP/1.0 <status>" with Date for a tunnel request that is refused.
  static void httpTunnelOpened(std::string& out, std::string_view date);
  static void httpTunnelRefused(std::string& out, std::string_view status, std::string_view date);

  // "Mon, Dec 07 2026 23:43:13 GMT" (UTC).
  static std::string formatDate(time_t when);

private:
  std::string& fOut;
};

// "rtsp://<address>/" or "rtsp://<address>:<port>/" (the port is left out
// when it is 554, or 322 for "rtsps"); an IPv6 address in brackets (a
// link-local one without its zone id); 'address' in network order.
std::string rtspURLPrefixFor(NetAddress const& address, unsigned port, char const* scheme = "rtsp");
std::string rtspURLPrefixFor(in_addr_t address, unsigned port, char const* scheme = "rtsp");

#endif
