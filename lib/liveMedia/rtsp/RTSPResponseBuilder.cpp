#include "RTSPResponseBuilder.hh"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

// A link-local address goes without its zone id: that names an interface
// of this host, which means nothing to the client.
std::string addressText(NetAddress const& a) { return a.text(); }

}  // namespace

RTSPResponseBuilder::RTSPResponseBuilder(std::string& out, std::string_view status, std::string_view cseq,
                                         std::string_view date)
    : fOut(out) {
  fOut.clear();
  fOut.append("RTSP/1.0 ").append(status).append("\r\nCSeq: ").append(cseq).append("\r\nDate: ");
  fOut.append(date).append("\r\n");
}

void RTSPResponseBuilder::header(std::string_view name, std::string_view value) {
  fOut.append(name).append(": ").append(value).append("\r\n");
}

void RTSPResponseBuilder::session(unsigned id, unsigned timeoutSeconds) {
  char buf[64];
  if (timeoutSeconds > 0) {
    std::snprintf(buf, sizeof buf, "Session: %08X;timeout=%u\r\n", id, timeoutSeconds);
  } else {
    std::snprintf(buf, sizeof buf, "Session: %08X\r\n", id);
  }
  fOut += buf;
}

void RTSPResponseBuilder::udpTransport(NetAddress const& destination, NetAddress const& source, unsigned clientRTPPort,
                                       unsigned clientRTCPPort, unsigned serverRTPPort, unsigned serverRTCPPort) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "Transport: RTP/AVP;unicast;destination=%s;source=%s;client_port=%u-%u;server_port=%u-%u\r\n",
                addressText(destination).c_str(), addressText(source).c_str(), clientRTPPort, clientRTCPPort,
                serverRTPPort, serverRTCPPort);
  fOut += buf;
}

void RTSPResponseBuilder::tcpTransport(NetAddress const& destination, NetAddress const& source, unsigned rtpChannel,
                                       unsigned rtcpChannel) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "Transport: RTP/AVP/TCP;unicast;destination=%s;source=%s;interleaved=%u-%u\r\n",
                addressText(destination).c_str(), addressText(source).c_str(), rtpChannel, rtcpChannel);
  fOut += buf;
}

void RTSPResponseBuilder::secureProfile() {
  size_t at = fOut.rfind("Transport: RTP/AVP");
  if (at != std::string::npos) fOut.insert(at + 15, "S");
}

void RTSPResponseBuilder::range(double startSeconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Range: npt=%.3f-\r\n", startSeconds);
  fOut += buf;
}

void RTSPResponseBuilder::appendRTPInfo(std::string& list, std::string_view url, unsigned seq, unsigned rtptime) {
  char buf[48];
  std::snprintf(buf, sizeof buf, ";seq=%u;rtptime=%u", seq, rtptime);
  if (!list.empty()) list += ",";
  list.append("url=").append(url).append(buf);
}

void RTSPResponseBuilder::end() { fOut += "\r\n"; }

void RTSPResponseBuilder::endWithBody(std::string_view body) {
  fOut.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n\r\n");
  fOut.append(body);
}

void RTSPResponseBuilder::badRequest(std::string& out, std::string_view date) {
  out.clear();
  out.append("RTSP/1.0 400 Bad Request\r\nDate: ").append(date).append("\r\nAllow: ");
  out.append(kAllowedMethods).append("\r\n\r\n");
}

void RTSPResponseBuilder::httpNotAllowed(std::string& out, std::string_view date) {
  out.clear();
  out.append("HTTP/1.1 405 Method Not Allowed\r\nDate: ").append(date).append("\r\n\r\n\r\n");
}

void RTSPResponseBuilder::httpTunnelOpened(std::string& out, std::string_view date) {
  out.clear();
  out.append("HTTP/1.0 200 OK\r\nDate: ").append(date);
  out.append("\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nContent-Type: application/x-rtsp-tunnelled\r\n\r\n");
}

void RTSPResponseBuilder::httpTunnelRefused(std::string& out, std::string_view status, std::string_view date) {
  out.clear();
  out.append("HTTP/1.0 ").append(status).append("\r\nDate: ").append(date).append("\r\n\r\n");
}

std::string RTSPResponseBuilder::formatDate(time_t when) {
  struct tm tm;
  gmtime_r(&when, &tm);
  char buf[64];
  if (strftime(buf, sizeof buf, "%a, %b %d %Y %H:%M:%S GMT", &tm) == 0) buf[0] = '\0';
  return buf;
}

std::string rtspURLPrefixFor(in_addr_t address, unsigned port, char const* scheme) {
  struct in_addr a;
  a.s_addr = address;
  return rtspURLPrefixFor(NetAddress(a), port, scheme);
}

std::string rtspURLPrefixFor(NetAddress const& address, unsigned port, char const* scheme) {
  char buf[96];
  bool const rtsps = std::strcmp(scheme, "rtsps") == 0;
  if (port == (rtsps ? 322u : 554u)) {  // the scheme's own port
    std::snprintf(buf, sizeof buf, "%s://%s/", scheme, address.urlHost().c_str());
  } else {
    std::snprintf(buf, sizeof buf, "%s://%s:%u/", scheme, address.urlHost().c_str(), port);
  }
  return buf;
}
