#include "HTTPTunnelRequest.hh"

namespace {

constexpr std::string_view kTunnelType = "application/x-rtsp-tunnelled";

// Whether a comma-separated list of media types (parameters after ';'
// allowed) holds the tunnel's type.
bool listsTunnelType(std::string_view list) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    item = item.substr(0, item.find(';'));
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (equalsIgnoreCase(item, kTunnelType)) return true;
  }
  return false;
}

}  // namespace

HTTPTunnelRequestKind classifyHTTPTunnelRequest(RTSPRequest const& req) {
  if (req.protocol != "HTTP/1.0" && req.protocol != "HTTP/1.1") {
    return HTTPTunnelRequestKind::NotTunnel;
  }
  if (!req.hasSessionCookie) return HTTPTunnelRequestKind::NotTunnel;
  HTTPTunnelRequestKind kind;
  if (req.method == "GET" && req.hasAccept && listsTunnelType(req.accept)) {
    kind = HTTPTunnelRequestKind::Output;
  } else if (req.method == "POST" && req.hasContentType && listsTunnelType(req.contentType)) {
    kind = HTTPTunnelRequestKind::Input;
  } else {
    return HTTPTunnelRequestKind::NotTunnel;
  }
  if (req.sessionCookie.empty() || req.sessionCookie.size() > kMaxTunnelCookieLength) {
    return HTTPTunnelRequestKind::BadCookie;
  }
  return kind;
}
