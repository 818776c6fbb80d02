#ifndef OSTRA_SESSION_ACCESS_HH
#define OSTRA_SESSION_ACCESS_HH

#include "NetAddress.hh"

// Who may act on a client session by naming its id. A pure rule: no
// sockets, no sessions.

// Where a session was opened, or where a request came from: the RTSP
// connection (an identity, never dereferenced; null for a session whose
// connection has closed) and the client's address.
struct SessionOrigin {
  void const* connection;
  NetAddress address;  // compared whole (IPv4 and IPv6 are two addresses)
};

enum class SessionAccess {
  Granted,      // served as the session's own request
  NeedsDigest,  // served only when the request passes the Digest check (401 otherwise)
  Refused       // answered as for an unknown id (454): nothing about the session is told
};

// The session's own connection is always served. Any other connection must
// come from the address the session was opened from (Refused otherwise,
// credentials or not), and must pass the Digest check when
// 'credentialsRequired': what a SETUP that opens a session must pass.
SessionAccess sessionAccessFor(SessionOrigin const& session, SessionOrigin const& request, bool credentialsRequired);

#endif
