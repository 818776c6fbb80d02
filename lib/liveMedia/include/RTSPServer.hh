#ifndef OSTRA_RTSP_SERVER_HH
#define OSTRA_RTSP_SERVER_HH

#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DigestAuthentication.hh"
#include "Media.hh"
#include "NetAddress.hh"
#include "ServerMediaSession.hh"

class RTSPClientConnection;
class RTSPClientSession;

// The RTSP server (RFC 2326): listens on one TCP port, serves the streams
// added to it, and keeps one session per client.
class RTSPServer : public Medium {
public:
  // Listens on all interfaces with address reuse on. 'authDatabase' (may be
  // null: no authentication) is not owned. Clients silent (no request, no
  // RTCP report) for 'reclamationSeconds' are dropped; 0 turns that off.
  // Returns null on failure, with the reason in env's result message.
  // Ignores SIGPIPE for the whole process.
  static RTSPServer* createNew(UsageEnvironment& env, Port ourPort = Port(554),
                               UserAuthenticationDatabase* authDatabase = nullptr, unsigned reclamationSeconds = 65);

  void addServerMediaSession(ServerMediaSession* serverMediaSession);
  ServerMediaSession* lookupServerMediaSession(char const* streamName);
  void removeServerMediaSession(ServerMediaSession* serverMediaSession);

  // "rtsp://<address>:<port>/<stream>" (new[]); with clientSocket -1 the
  // host's own address is used, else the local address of that socket.
  char* rtspURL(ServerMediaSession const* serverMediaSession, int clientSocket = -1) const;
  char* rtspURLPrefix(int clientSocket = -1) const;

  Port serverPort() const { return fServerPort; }
  Boolean isRTSPServer() const override;

protected:
  RTSPServer(UsageEnvironment& env, int ourSocket, Port ourPort, UserAuthenticationDatabase* authDatabase,
             unsigned reclamationSeconds);
  ~RTSPServer() override;

  int fServerSocket;
  Port fServerPort;
  UserAuthenticationDatabase* fAuthDB;
  unsigned fReclamationSeconds;

private:
  friend class RTSPClientConnection;
  friend class RTSPClientSession;

  static void incomingConnectionHandler(void* clientData, int mask);
  void acceptConnections();

  ServerMediaSession* lookupServerMediaSession(std::string_view streamName) const;
  // The session whose id is exactly 'idText' (eight upper-case hex digits), or null.
  RTSPClientSession* lookupClientSession(std::string_view idText) const;
  RTSPClientSession* createClientSession(ServerMediaSession* serverMediaSession);
  void deleteClientSession(RTSPClientSession* session);
  // Closes the connection; sessions that stream over it end with it.
  void closeConnection(RTSPClientConnection* connection);
  unsigned randomSessionId();

  std::vector<ServerMediaSession*> fServerMediaSessions;
  std::unordered_map<unsigned, RTSPClientSession*> fClientSessions;
  std::unordered_set<RTSPClientConnection*> fConnections;
};

#endif
