#include "RTSPServer.hh"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ConnectionAdmission.hh"
#include "GroupsockHelper.hh"
#include "RTSPClientConnection.hh"
#include "RTSPClientSession.hh"
#include "RTSPResponseBuilder.hh"
#include "SystemRandom.hh"
#if OSTRA_TLS
#include "TLSContext.hh"
#endif

namespace {
constexpr int kListenBacklog = 20;
constexpr unsigned kSocketSendBuffer = 51200;
// Connections taken per readable event on the listening socket.
constexpr int kMaxAcceptsPerEvent = 64;
}  // namespace

int RTSPServer::openListeningSocket(UsageEnvironment& env, Port port) {
  // A client that vanishes must not end the process through a write.
  std::signal(SIGPIPE, SIG_IGN);

  int sock = setupStreamSocket(env, port, True, True);
  if (sock < 0) return -1;
  increaseSendBufferTo(env, sock, kSocketSendBuffer);
  if (listen(sock, kListenBacklog) < 0) {
    env.setResultErrMsg("listen() failed: ");
    ::close(sock);
    return -1;
  }
  return sock;
}

RTSPServer* RTSPServer::createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                                  unsigned reclamationSeconds) {
  return createNew(env, ourPort, authDatabase, reclamationSeconds, nullptr);
}

RTSPServer* RTSPServer::createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                                  unsigned reclamationSeconds, TLSContext const* tls) {
  int sock = openListeningSocket(env, ourPort);
  if (sock < 0) return nullptr;
  return new RTSPServer(env, sock, ourPort, authDatabase, reclamationSeconds, tls);
}

RTSPServer::RTSPServer(UsageEnvironment& env, int ourSocket, Port ourPort, UserAuthenticationDatabase* authDatabase,
                       unsigned reclamationSeconds, TLSContext const* tls)
    : Medium(env),
      fServerSocket(ourSocket),
      fServerPort(ourPort),
      fAuthDB(authDatabase),
      fReclamationSeconds(reclamationSeconds) {
  addListener(ourSocket, ourPort, tls);
}

Boolean RTSPServer::addTLSPort(Port port, TLSContext const* tls) {
  if (tls == nullptr) return False;
  int sock = openListeningSocket(envir(), port);
  if (sock < 0) return False;
  addListener(sock, port, tls);
  return True;
}

void RTSPServer::addListener(int socket, Port port, TLSContext const* tls) {
  auto listener = std::make_unique<Listener>(Listener{this, socket, port, tls, nullptr});
  unsigned const reserve = fListeners.empty() ? kDefaultDescriptorReserve : fListeners[0]->admission->reserve();
  unsigned const ceiling = fListeners.empty() ? kDefaultMaxConnections : fListeners[0]->admission->ceiling();
  listener->admission = std::make_unique<ConnectionAdmission>(envir(), socket, incomingConnectionHandler,
                                                              listener.get(), reserve, ceiling);
  fListeners.push_back(std::move(listener));
}

RTSPServer::~RTSPServer() {
  for (auto& listener : fListeners) {
    listener->admission.reset();  // stops watching the listening socket
    ::close(listener->socket);
  }
  while (!fClientSessions.empty()) deleteSession(fClientSessions.begin()->second);
  while (!fConnections.empty()) closeConnection(*fConnections.begin());
  for (ServerMediaSession* sms : fServerMediaSessions) Medium::close(sms);
}

Boolean RTSPServer::isRTSPServer() const { return True; }

void RTSPServer::setConnectionLimits(unsigned descriptorReserve, unsigned maxConnections) {
  for (auto& listener : fListeners) listener->admission->setLimits(descriptorReserve, maxConnections);
}

unsigned RTSPServer::maxConnections() const { return fListeners[0]->admission->limit(); }

void RTSPServer::setSessionLimits(unsigned perConnection, unsigned total) {
  fMaxSessionsPerConnection = perConnection;
  fMaxSessions = total;
}

// ---- Streams -----------------------------------------------------------------

void RTSPServer::addServerMediaSession(ServerMediaSession* serverMediaSession) {
  if (serverMediaSession == nullptr) return;
  ServerMediaSession* existing = lookupStream(serverMediaSession->streamName());
  if (existing == serverMediaSession) return;
  if (existing != nullptr) removeServerMediaSession(existing);
  fServerMediaSessions.push_back(serverMediaSession);
}

ServerMediaSession* RTSPServer::lookupServerMediaSession(char const* streamName) {
  return streamName == nullptr ? nullptr : lookupStream(streamName);
}

ServerMediaSession* RTSPServer::lookupStream(std::string_view streamName) const {
  for (ServerMediaSession* sms : fServerMediaSessions) {
    if (streamName == sms->streamName()) return sms;
  }
  return nullptr;
}

void RTSPServer::removeServerMediaSession(ServerMediaSession* serverMediaSession) {
  if (serverMediaSession == nullptr) return;
  for (auto it = fServerMediaSessions.begin(); it != fServerMediaSessions.end(); ++it) {
    if (*it != serverMediaSession) continue;
    fServerMediaSessions.erase(it);
    // Its clients go with it.
    std::vector<RTSPClientSession*> doomed;
    for (auto const& entry : fClientSessions) {
      if (entry.second->serverMediaSession() == serverMediaSession) doomed.push_back(entry.second);
    }
    for (RTSPClientSession* s : doomed) deleteSession(s);
    Medium::close(serverMediaSession);
    return;
  }
}

char* RTSPServer::rtspURLPrefix(int clientSocket) const {
  struct in_addr ours;
  ours.s_addr = ourIPAddress(envir());
  NetAddress addr(ours);
  if (clientSocket >= 0) {
    NetAddress const local = localAddressOf(clientSocket);
    if (!local.isUnspecified()) addr = local;
  }
  return strDup(rtspURLPrefixFor(addr, fServerPort.hostOrder(), fListeners[0]->tls ? "rtsps" : "rtsp").c_str());
}

char* RTSPServer::rtspURLsIPv6(ServerMediaSession const* serverMediaSession) const {
  NetAddress const ours = ourIPv6Address();
  if (serverMediaSession == nullptr || !ours.isIPv6() || socketFamilyOf(fServerSocket) != AF_INET6) return nullptr;
  std::string lines;
  for (auto const& listener : fListeners) {
    if (!lines.empty()) lines += "\n";
    lines += rtspURLPrefixFor(ours, listener->port.hostOrder(), listener->tls ? "rtsps" : "rtsp");
    lines += serverMediaSession->streamName();
  }
  return strDup(lines.c_str());
}

char* RTSPServer::rtspsURL(ServerMediaSession const* serverMediaSession) const {
  if (serverMediaSession == nullptr) return nullptr;
  for (auto const& listener : fListeners) {
    if (listener->tls == nullptr) continue;
    std::string url = rtspURLPrefixFor(ourIPAddress(envir()), listener->port.hostOrder(), "rtsps");
    url += serverMediaSession->streamName();
    return strDup(url.c_str());
  }
  return nullptr;
}

char* RTSPServer::rtspURL(ServerMediaSession const* serverMediaSession, int clientSocket) const {
  if (serverMediaSession == nullptr) return nullptr;
  char* prefix = rtspURLPrefix(clientSocket);
  std::string url(prefix);
  delete[] prefix;
  url += serverMediaSession->streamName();
  return strDup(url.c_str());
}

// ---- Connections ---------------------------------------------------------------

void RTSPServer::incomingConnectionHandler(void* clientData, int /*mask*/) {
  auto* listener = static_cast<Listener*>(clientData);
  listener->server->acceptConnections(*listener);
}

void RTSPServer::acceptConnections(Listener& listener) {
  for (int i = 0; i < kMaxAcceptsPerEvent; ++i) {
    struct sockaddr_storage peer;
    socklen_t len = sizeof peer;
    std::memset(&peer, 0, sizeof peer);
    int sock = accept4(listener.socket, reinterpret_cast<struct sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (sock < 0) {
      if (ConnectionAdmission::isShortage(errno)) {
        listener.admission->pause();  // the connection waits in the queue; the loop does not spin on it
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        envir().setResultErrMsg("accept() failed: ");
      }
      return;
    }
    // Handshaking connections count like any other.
    if (!listener.admission->admits(fConnections.size())) {  // full: closed at once, never left waiting
      ::close(sock);
      continue;
    }
    admit(listener, sock, peer);
  }
}

void RTSPServer::admit(Listener& listener, int sock, struct sockaddr_storage const& peer) {
  setSocketKeepAlive(sock);
  increaseSendBufferTo(envir(), sock, kSocketSendBuffer);
  auto& context = static_cast<RTSPServerContext&>(*this);
  if (listener.tls == nullptr) {
    fConnections.insert(new RTSPClientConnection(context, sock, peer));
    return;
  }
#if OSTRA_TLS
  std::unique_ptr<ByteTransport> transport = listener.tls->newTransport(sock);
  if (transport) {
    fConnections.insert(new RTSPClientConnection(context, std::move(transport), peer, listener.port));
    return;
  }
#endif
  ::close(sock);
}

void RTSPServer::closeConnection(RTSPClientConnection* connection) {
  // A tunnel ends with its output half, and its input half goes with it.
  RTSPClientConnection* tunnelInput = fTunnels.remove(connection);
  // Sessions interleaved on this connection lose their channels with it;
  // the others it opened live on without it (until they are reclaimed).
  std::vector<RTSPClientSession*> doomed;
  for (auto const& entry : fClientSessions) {
    if (entry.second->usesConnection(&connection->output())) {
      doomed.push_back(entry.second);
    } else if (entry.second->owner() == connection) {
      entry.second->disown();
    }
  }
  for (RTSPClientSession* s : doomed) deleteSession(s);
  fConnections.erase(connection);
  delete connection;
  if (tunnelInput != nullptr) closeConnection(tunnelInput);
}

// ---- Sessions ------------------------------------------------------------------

unsigned RTSPServer::randomSessionId() {
  // Ids are drawn from the kernel's random source: one client's ids tell
  // nothing about another's. 0 stands for "none can be drawn now".
  for (;;) {
    uint32_t id = 0;
    if (!systemRandomBytes(&id, sizeof id)) return 0;
    if (id != 0 && fClientSessions.find(id) == fClientSessions.end()) return id;
  }
}

RTSPClientSession* RTSPServer::lookupSession(std::string_view idText) const {
  // Ids are written as eight upper-case hex digits and matched exactly.
  if (idText.size() != 8) return nullptr;
  unsigned id = 0;
  for (char c : idText) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return nullptr;
    }
    id = (id << 4) | digit;
  }
  auto it = fClientSessions.find(id);
  return it == fClientSessions.end() ? nullptr : it->second;
}

bool RTSPServer::sessionLimitReached(RTSPClientConnection const* owner) const {
  if (fMaxSessions != 0 && fClientSessions.size() >= fMaxSessions) return true;
  if (fMaxSessionsPerConnection == 0 || owner == nullptr) return false;
  unsigned owned = 0;
  for (auto const& entry : fClientSessions) {
    if (entry.second->owner() == owner) ++owned;
  }
  return owned >= fMaxSessionsPerConnection;
}

RTSPClientSession* RTSPServer::createSession(ServerMediaSession* stream, RTSPClientConnection* owner,
                                             NetAddress const& clientAddress) {
  if (sessionLimitReached(owner)) return nullptr;
  unsigned id = randomSessionId();
  if (id == 0) return nullptr;
  auto* session = new RTSPClientSession(*this, id, stream, owner, clientAddress);
  fClientSessions[id] = session;
  return session;
}

void RTSPServer::deleteSession(RTSPClientSession* session) {
  fClientSessions.erase(session->id());
  delete session;
}

void RTSPServer::interleavedChannelsInUse(InterleavedChannelWriter const* connection, RTSPClientSession const* except,
                                          InterleavedChannelSet& used) const {
  for (auto const& entry : fClientSessions) {
    if (entry.second != except) entry.second->addInterleavedChannels(connection, used);
  }
}

bool RTSPServer::hasLiveSession(RTSPClientConnection const* connection) const {
  for (auto const& entry : fClientSessions) {
    if (entry.second->owner() == connection || entry.second->usesConnection(&connection->output())) return true;
  }
  return false;
}

void RTSPServer::deliverInterleavedRTCP(InterleavedChannelWriter const* connection, unsigned char channelId,
                                        unsigned char const* packet, unsigned size) {
  for (auto const& entry : fClientSessions) {
    for (RTSPClientSession::Track& t : entry.second->tracks()) {
      if (t.transport.streamOverTCP && t.transport.tcpWriter == connection && t.transport.rtcpChannelId == channelId) {
        t.subsession->injectInterleavedRTCP(t.streamToken, packet, size, t.transport.tcpWriter, channelId);
        return;
      }
    }
  }
}
