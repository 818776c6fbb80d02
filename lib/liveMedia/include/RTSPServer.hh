#ifndef OSTRA_RTSP_SERVER_HH
#define OSTRA_RTSP_SERVER_HH

#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DigestAuthentication.hh"
#include "HTTPTunnelTable.hh"
#include "Media.hh"
#include "NetAddress.hh"
#include "RTSPServerContext.hh"
#include "ServerMediaSession.hh"

class ConnectionAdmission;
class RTSPClientConnection;
class RTSPClientSession;
class TLSContext;

// The RTSP server (RFC 2326): listens on one TCP port, serves the streams
// added to it, and keeps one session per client. Its connections and
// sessions reach it only through the RTSPServerContext it implements.
class RTSPServer : public Medium, private RTSPServerContext {
public:
  // Listens on all interfaces with address reuse on. 'authDatabase' (may be
  // null: no authentication) is not owned. Clients silent (no request, no
  // RTCP report) for 'reclamationSeconds' are dropped; 0 turns that off.
  // Returns null on failure, with the reason in env's result message.
  // Ignores SIGPIPE for the whole process.
  static RTSPServer* createNew(UsageEnvironment& env, Port ourPort = Port(554),
                               UserAuthenticationDatabase* authDatabase = nullptr, unsigned reclamationSeconds = 65);
  // The same, with every connection on 'ourPort' inside TLS ('tls' is not
  // owned and outlives the server).
  static RTSPServer* createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                               unsigned reclamationSeconds, TLSContext const* tls);

  // Serves TLS connections on 'port' too (all interfaces, the same settings
  // as the first port; 'tls' is not owned and outlives the server). False,
  // with the reason in env's result message, when the port cannot be opened.
  Boolean addTLSPort(Port port, TLSContext const* tls);

  void addServerMediaSession(ServerMediaSession* serverMediaSession);
  ServerMediaSession* lookupServerMediaSession(char const* streamName);
  void removeServerMediaSession(ServerMediaSession* serverMediaSession);

  // "rtsp://<address>:<port>/<stream>" (new[]); with clientSocket -1 the
  // host's own address is used, else the local address of that socket.
  char* rtspURL(ServerMediaSession const* serverMediaSession, int clientSocket = -1) const;
  char* rtspURLPrefix(int clientSocket = -1) const;
  // "rtsps://<address>:<port>/<stream>" (new[]) for the first TLS port, with
  // the host's own address; null when there is none.
  char* rtspsURL(ServerMediaSession const* serverMediaSession) const;
  // The stream's URLs on every listening port with the host's global or
  // unique-local IPv6 address in brackets, one a line (rtsp:// first); null
  // when the host has no such address or the server listens on IPv4 only.
  char* rtspURLsIPv6(ServerMediaSession const* serverMediaSession) const;

  // Connections held at once: at most the descriptor limit in force now
  // (RLIMIT_NOFILE) less 'descriptorReserve', never more than
  // 'maxConnections'. One more is accepted and closed at once.
  static constexpr unsigned kDefaultDescriptorReserve = 40;
  static constexpr unsigned kDefaultMaxConnections = 4096;
  void setConnectionLimits(unsigned descriptorReserve, unsigned maxConnections);
  unsigned maxConnections() const;
  // Sessions held at once: a SETUP that would open one beyond 'perConnection'
  // for its connection or 'total' for the server is answered "453 Not Enough
  // Bandwidth". 0: no bound.
  static constexpr unsigned kDefaultMaxSessionsPerConnection = 8;
  static constexpr unsigned kDefaultMaxSessions = 64;
  void setSessionLimits(unsigned perConnection, unsigned total);

  Port serverPort() const override { return fServerPort; }
  Boolean isRTSPServer() const override;

protected:
  RTSPServer(UsageEnvironment& env, int ourSocket, Port ourPort, UserAuthenticationDatabase* authDatabase,
             unsigned reclamationSeconds, TLSContext const* tls = nullptr);
  ~RTSPServer() override;

  int fServerSocket;
  Port fServerPort;
  UserAuthenticationDatabase* fAuthDB;
  unsigned fReclamationSeconds;

private:
  // A listening socket: its own admission, the same limits for all.
  struct Listener {
    RTSPServer* server;
    int socket;
    Port port;
    TLSContext const* tls;  // null: plain RTSP
    std::unique_ptr<ConnectionAdmission> admission;
  };
  static int openListeningSocket(UsageEnvironment& env, Port port);
  void addListener(int socket, Port port, TLSContext const* tls);
  static void incomingConnectionHandler(void* clientData, int mask);
  void acceptConnections(Listener& listener);
  void admit(Listener& listener, int sock, struct sockaddr_storage const& peer);
  unsigned randomSessionId();

  // What connections and sessions may ask.
  UsageEnvironment& environment() const override { return envir(); }
  UserAuthenticationDatabase* authDatabase() const override { return fAuthDB; }
  AuthenticationThrottle& authenticationThrottle() override { return fAuthThrottle; }
  unsigned reclamationSeconds() const override { return fReclamationSeconds; }
  ServerMediaSession* lookupStream(std::string_view streamName) const override;
  RTSPClientSession* lookupSession(std::string_view idText) const override;
  bool sessionLimitReached(RTSPClientConnection const* owner) const override;
  RTSPClientSession* createSession(ServerMediaSession* stream, RTSPClientConnection* owner,
                                   NetAddress const& clientAddress) override;
  void deleteSession(RTSPClientSession* session) override;
  void interleavedChannelsInUse(InterleavedChannelWriter const* connection, RTSPClientSession const* except,
                                InterleavedChannelSet& used) const override;
  bool hasLiveSession(RTSPClientConnection const* connection) const override;
  void deliverInterleavedRTCP(InterleavedChannelWriter const* connection, unsigned char channelId,
                              unsigned char const* packet, unsigned size) override;
  HTTPTunnelTable& tunnels() override { return fTunnels; }
  void closeConnection(RTSPClientConnection* connection) override;

  std::vector<ServerMediaSession*> fServerMediaSessions;
  std::unordered_map<unsigned, RTSPClientSession*> fClientSessions;
  std::unordered_set<RTSPClientConnection*> fConnections;
  HTTPTunnelTable fTunnels;
  AuthenticationThrottle fAuthThrottle;
  std::vector<std::unique_ptr<Listener>> fListeners;  // the first is fServerSocket
  unsigned fMaxSessionsPerConnection = kDefaultMaxSessionsPerConnection;
  unsigned fMaxSessions = kDefaultMaxSessions;
};

#endif
