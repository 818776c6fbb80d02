#ifndef OSTRA_RTSP_SERVER_CONTEXT_HH
#define OSTRA_RTSP_SERVER_CONTEXT_HH

#include <netinet/in.h>

#include <string_view>

#include "AuthenticationThrottle.hh"
#include "DigestAuthentication.hh"
#include "InterleavedChannels.hh"
#include "NetAddress.hh"
#include "UsageEnvironment.hh"

class HTTPTunnelTable;
class InterleavedChannelWriter;
class RTSPClientConnection;
class RTSPClientSession;
class ServerMediaSession;

// What a client connection and a client session may ask of their server:
// its streams, its session table, its settings, and the end of a connection.
// The RTSP server implements it; nothing else reaches into the server.
class RTSPServerContext {
public:
  virtual UsageEnvironment& environment() const = 0;
  virtual Port serverPort() const = 0;
  // Null when clients are not asked to authenticate.
  virtual UserAuthenticationDatabase* authDatabase() const = 0;
  // How soon failed Digest checks of all connections are answered.
  virtual AuthenticationThrottle& authenticationThrottle() = 0;
  // Seconds of silence after which a session (or an idle connection) is
  // dropped; 0: never.
  virtual unsigned reclamationSeconds() const = 0;

  // The stream named exactly 'streamName', or null.
  virtual ServerMediaSession* lookupStream(std::string_view streamName) const = 0;

  // The session whose id is exactly 'idText' (eight upper-case hex digits), or null.
  virtual RTSPClientSession* lookupSession(std::string_view idText) const = 0;
  // True when 'owner' or the server already holds as many sessions as allowed.
  virtual bool sessionLimitReached(RTSPClientConnection const* owner) const = 0;
  // A new session on 'stream', opened by (and owned by) 'owner' for the
  // client at 'clientAddress'; null when a session limit is reached or no
  // unpredictable id can be drawn now.
  virtual RTSPClientSession* createSession(ServerMediaSession* stream, RTSPClientConnection* owner,
                                           NetAddress const& clientAddress) = 0;
  virtual void deleteSession(RTSPClientSession* session) = 0;
  // The interleaved channels that the sessions other than 'except' (may be
  // null) use on 'connection'.
  virtual void interleavedChannelsInUse(InterleavedChannelWriter const* connection, RTSPClientSession const* except,
                                        InterleavedChannelSet& used) const = 0;
  // Whether a session is owned by 'connection' or streams over it.
  virtual bool hasLiveSession(RTSPClientConnection const* connection) const = 0;
  // Hands an RTCP packet that arrived on 'channelId' of an interleaving
  // connection to the track of the session streamed on that channel.
  virtual void deliverInterleavedRTCP(InterleavedChannelWriter const* connection, unsigned char channelId,
                                      unsigned char const* packet, unsigned size) = 0;

  // The live RTSP-over-HTTP tunnels, by session cookie.
  virtual HTTPTunnelTable& tunnels() = 0;

  // Closes the connection (it is deleted); sessions interleaved on it end with
  // it, and so does the input half of a tunnel whose output half it is.
  virtual void closeConnection(RTSPClientConnection* connection) = 0;

protected:
  ~RTSPServerContext() = default;
};

#endif
