#ifndef OSTRA_HTTP_TUNNEL_REQUEST_HH
#define OSTRA_HTTP_TUNNEL_REQUEST_HH

#include <cstddef>
#include <string_view>

#include "RTSPRequest.hh"

// RTSP tunnelled over HTTP, the way QuickTime started it and ffmpeg
// ("-rtsp_transport http") and GStreamer ("rtsph://") do it: the client opens
// a GET connection that carries the server's answers and interleaved RTP/RTCP,
// and a POST connection whose body is its RTSP requests in base64; both carry
// the same "x-sessioncookie" header. This says what a parsed HTTP request
// asks for. Pure: no sockets, no state.

enum class HTTPTunnelRequestKind {
  NotTunnel,  // not HTTP, or an HTTP request that opens nothing (answered as today)
  Output,     // GET with a cookie, accepting application/x-rtsp-tunnelled: the answers' half
  Input,      // POST with a cookie, of type application/x-rtsp-tunnelled: the requests' half
  BadCookie   // a tunnel's GET or POST whose cookie is empty or too long
};

// Longest session cookie accepted (clients send 16 to 32 characters).
constexpr size_t kMaxTunnelCookieLength = 256;

HTTPTunnelRequestKind classifyHTTPTunnelRequest(RTSPRequest const& req);

#endif
