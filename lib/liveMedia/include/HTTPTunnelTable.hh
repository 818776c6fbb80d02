#ifndef OSTRA_HTTP_TUNNEL_TABLE_HH
#define OSTRA_HTTP_TUNNEL_TABLE_HH

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

class RTSPClientConnection;

// A server's live RTSP-over-HTTP tunnels by session cookie. A tunnel has its
// output half (the GET connection) for its whole life and at most one input
// half at a time (the POST connection feeding it). It ends with its output
// half: the cookie is forgotten and the input half goes too. An input half
// may end alone, and another POST with the cookie may follow. Connections
// are kept, never used: the server removes every connection it closes, so
// no entry outlives its connection.
class HTTPTunnelTable {
public:
  enum class Join { Joined, NoTunnel, Busy };

  // Opens the tunnel of 'cookie' with its output half; false when the cookie
  // is in use or the connection already belongs to a tunnel.
  bool open(std::string_view cookie, RTSPClientConnection* output);
  // Makes 'input' the input half of the tunnel of 'cookie': NoTunnel when no
  // tunnel has that cookie, Busy when it has an input half already (or
  // 'input' belongs to a tunnel).
  Join join(std::string_view cookie, RTSPClientConnection* input);

  // The other half of a tunnel's input or output half; null when there is none.
  RTSPClientConnection* outputOf(RTSPClientConnection const* input) const;
  RTSPClientConnection* inputOf(RTSPClientConnection const* output) const;

  // Forgets a connection that closes. When it was a tunnel's output half,
  // returns that tunnel's input half (the caller closes it too), else null.
  RTSPClientConnection* remove(RTSPClientConnection const* connection);

  size_t numTunnels() const { return fTunnels.size(); }

private:
  struct Tunnel {
    RTSPClientConnection* output;
    RTSPClientConnection* input;
  };
  Tunnel const* tunnelOf(RTSPClientConnection const* connection) const;

  std::unordered_map<std::string, Tunnel> fTunnels;
  std::unordered_map<RTSPClientConnection const*, std::string> fCookieOf;  // both halves
};

#endif
