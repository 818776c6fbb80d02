#include "RTSPClientConnection.hh"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "DigestAuthentication.hh"
#include "GroupsockHelper.hh"
#include "RTSPClientSession.hh"
#include "ServerMediaSession.hh"
#include "ServerMediaSubsession.hh"
#include "liveMedia_version.hh"

namespace {

// Interleaved frames are dropped once this much output waits for the peer.
// The sink sends all packets of a frame at once, and a frame may be as large
// as the sinks' buffer (1,000,000 bytes in the daemon), so the queue holds two
// such frames with their packet headers: a client that keeps up never loses
// the tail of a large I-frame. It grows only for a client that falls behind.
constexpr size_t kMaxQueuedFrameBytes = 2 * 1024 * 1024;
// No further requests are read or answered while this much output waits.
constexpr size_t kReadPauseThreshold = 64 * 1024;
// Answers are never dropped; a peer that lets this much pile up is cut off.
constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
// The output queue's first allocation: room for the backlog of a key frame or
// two, so a streaming connection rarely needs to grow it again. Its pages are
// touched only as far as the backlog reaches (the queue restarts at the front
// whenever it empties).
constexpr size_t kFirstQueueCapacity = 256 * 1024;
// Longest URL, CSeq or Session value served; longer ones get 400.
constexpr size_t kMaxFieldLength = 200;

constexpr char kAllowedMethods[] = "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";

enum class Method { OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER, Unknown };

Method methodOf(std::string_view name) {
  if (name == "OPTIONS") return Method::OPTIONS;
  if (name == "DESCRIBE") return Method::DESCRIBE;
  if (name == "SETUP") return Method::SETUP;
  if (name == "PLAY") return Method::PLAY;
  if (name == "PAUSE") return Method::PAUSE;
  if (name == "TEARDOWN") return Method::TEARDOWN;
  if (name == "GET_PARAMETER") return Method::GET_PARAMETER;
  if (name == "SET_PARAMETER") return Method::SET_PARAMETER;
  return Method::Unknown;
}

// "Mon, Dec 07 2026 23:43:13 GMT"
void formatDate(char* buf, size_t size) {
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  if (strftime(buf, size, "%a, %b %d %Y %H:%M:%S GMT", &tm) == 0) buf[0] = '\0';
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

RTSPClientConnection::RTSPClientConnection(RTSPServer& server, int socket, struct sockaddr_in const& peer)
    : fServer(server), fSocket(socket), fPeerAddress(peer.sin_addr) {
  struct sockaddr_in local;
  socklen_t len = sizeof local;
  std::memset(&local, 0, sizeof local);
  if (getsockname(fSocket, reinterpret_cast<struct sockaddr*>(&local), &len) != 0) {
    local.sin_addr.s_addr = ourIPAddress(server.envir());
  }
  fLocalAddress = local.sin_addr;
  fResponse.reserve(1024);
  updateSocketHandling();
  if (fServer.fReclamationSeconds > 0) {
    fIdleTask = fServer.envir().taskScheduler().scheduleDelayedTask(
        static_cast<int64_t>(fServer.fReclamationSeconds) * 1000000, idleTask, this);
  }
}

RTSPClientConnection::~RTSPClientConnection() {
  TaskScheduler& scheduler = fServer.envir().taskScheduler();
  scheduler.unscheduleDelayedTask(fCloseTask);
  scheduler.unscheduleDelayedTask(fIdleTask);
  scheduler.disableBackgroundHandling(fSocket);
  ::close(fSocket);
}

// ---- Input -------------------------------------------------------------

void RTSPClientConnection::socketHandler(void* clientData, int mask) {
  static_cast<RTSPClientConnection*>(clientData)->handleSocket(mask);
}

void RTSPClientConnection::handleSocket(int mask) {
  fInHandler = true;
  if (mask & SOCKET_WRITABLE) flushOutput();
  if (!fCloseRequested && (mask & (SOCKET_READABLE | SOCKET_EXCEPTION))) readInput();
  fInHandler = false;
  if (fCloseRequested) fServer.closeConnection(this);  // deletes this
}

void RTSPClientConnection::readInput() {
  if (fInLength >= kRequestBufferSize) {
    requestClose();
    return;
  }
  ssize_t n = recv(fSocket, fIn + fInLength, kRequestBufferSize - fInLength, 0);
  if (n == 0 || (n < 0 && !wouldBlock(errno))) {
    requestClose();
    return;
  }
  if (n < 0) return;
  fInLength += static_cast<size_t>(n);
  processInput();
}

void RTSPClientConnection::processInput() {
  size_t pos = 0;
  bool needMore = false;
  while (pos < fInLength && !fCloseRequested && pendingOutput() < kReadPauseThreshold) {
    size_t avail = fInLength - pos;
    if (fSkipFrameBytes > 0) {
      size_t skip = avail < fSkipFrameBytes ? avail : fSkipFrameBytes;
      pos += skip;
      fSkipFrameBytes -= skip;
      continue;
    }
    unsigned char c = fIn[pos];
    if (c == '$') {  // an interleaved frame: '$', channel, 16-bit length, data
      if (avail < 4) {
        needMore = true;
        break;
      }
      unsigned char channel = fIn[pos + 1];
      size_t size = (static_cast<size_t>(fIn[pos + 2]) << 8) | fIn[pos + 3];
      if (4 + size > kRequestBufferSize) {  // cannot be kept: skipped as it arrives
        fSkipFrameBytes = 4 + size;
        continue;
      }
      if (avail < 4 + size) {
        needMore = true;
        break;
      }
      handleInterleavedFrame(channel, fIn + pos + 4, static_cast<unsigned>(size));
      pos += 4 + size;
      continue;
    }
    if (c == '\r' || c == '\n') {  // blank lines between requests
      ++pos;
      continue;
    }
    size_t requestLength = 0;
    RTSPRequestScan scan =
        scanRTSPRequest(reinterpret_cast<char const*>(fIn + pos), avail, kRequestBufferSize, fScanFrom, requestLength);
    if (scan == RTSPRequestScan::TooLarge) {
      requestClose();  // no answer: the request can never be complete
      return;
    }
    if (scan == RTSPRequestScan::Incomplete) {
      needMore = true;
      break;
    }
    fScanFrom = 0;
    handleRequest(std::string_view(reinterpret_cast<char const*>(fIn + pos), requestLength));
    pos += requestLength;
  }
  if (pos > 0) {
    std::memmove(fIn, fIn + pos, fInLength - pos);
    fInLength -= pos;
  }
  if (needMore && fInLength >= kRequestBufferSize) requestClose();
}

void RTSPClientConnection::handleInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) {
  // RTCP from a client that streams over this connection goes to its track's RTCP.
  for (auto const& entry : fServer.fClientSessions) {
    for (RTSPClientSession::Track& t : entry.second->tracks()) {
      if (t.transport.streamOverTCP && t.transport.tcpWriter == this && t.transport.rtcpChannelId == channelId) {
        t.subsession->injectInterleavedRTCP(t.streamToken, data, size, this, channelId);
        return;
      }
    }
  }
}

// ---- Requests ------------------------------------------------------------

void RTSPClientConnection::handleRequest(std::string_view text) {
  RTSPRequest req;
  if (!parseRTSPRequest(text, req)) {
    sendBadRequest();
    return;
  }
  if (req.protocol.substr(0, 5) == "HTTP/") {
    sendHTTPNotAllowed();
    return;
  }
  if (!req.hasCSeq || req.cseq.size() >= kMaxFieldLength || req.url.size() >= kMaxFieldLength ||
      req.session.size() >= kMaxFieldLength) {
    sendBadRequest();
    return;
  }
  if (fIdleTask != nullptr) {
    fServer.envir().taskScheduler().rescheduleDelayedTask(
        fIdleTask, static_cast<int64_t>(fServer.fReclamationSeconds) * 1000000, idleTask, this);
  }

  Method method = methodOf(req.method);
  if (method == Method::Unknown) {
    sendMethodNotAllowed(req.cseq);
    return;
  }
  bool star = req.urlPath == "*";
  if (star && method != Method::OPTIONS && method != Method::GET_PARAMETER && method != Method::SET_PARAMETER) {
    sendMethodNotAllowed(req.cseq);
    return;
  }

  RTSPClientSession* session = nullptr;
  if (req.hasSession) {
    session = fServer.lookupClientSession(req.session);
    if (session == nullptr) {
      sendSimpleResponse("454 Session Not Found", req.cseq);
      return;
    }
    session->noteLiveness();
  }

  switch (method) {
    case Method::OPTIONS:
      handleOPTIONS(req);
      return;
    case Method::DESCRIBE:
      handleDESCRIBE(req);
      return;
    case Method::SETUP:
      handleSETUP(req, session);
      return;
    case Method::GET_PARAMETER:
    case Method::SET_PARAMETER:
      handleGETorSETPARAMETER(req, session, method == Method::GET_PARAMETER);
      return;
    default:
      break;
  }

  // PLAY, PAUSE and TEARDOWN act on a session, on its own stream's URL.
  if (session == nullptr) {
    sendSimpleResponse("454 Session Not Found", req.cseq);
    return;
  }
  ServerMediaSession* sms = nullptr;
  ServerMediaSubsession* track = nullptr;
  if (!resolveURL(req.urlPath, sms, track) || sms != session->serverMediaSession() ||
      (track != nullptr && session->findTrack(track) == nullptr)) {
    sendSimpleResponse("404 Stream Not Found", req.cseq);
    return;
  }
  if (method == Method::PLAY) {
    handlePLAY(req, session, track);
  } else if (method == Method::PAUSE) {
    handlePAUSE(req, session, track);
  } else {
    handleTEARDOWN(req, session, track);
  }
}

void RTSPClientConnection::handleOPTIONS(RTSPRequest const& req) {
  beginResponse("200 OK", req.cseq);
  fResponse.append("Public: ").append(kAllowedMethods).append("\r\n");
  endResponse();
}

void RTSPClientConnection::handleDESCRIBE(RTSPRequest const& req) {
  if (!authenticationOK(req)) return;
  ServerMediaSession* sms = fServer.lookupServerMediaSession(req.urlPath);
  if (sms == nullptr) {
    sendSimpleResponse("404 Stream Not Found", req.cseq);
    return;
  }
  char* sdp = sms->generateSDPDescription(0);
  if (sdp == nullptr) {
    sendSimpleResponse("404 File Not Found, Or In Incorrect Format", req.cseq);
    return;
  }
  size_t sdpLength = std::strlen(sdp);
  beginResponse("200 OK", req.cseq);
  fResponse.append("Content-Base: ").append(urlPrefix()).append(sms->streamName()).append("/\r\n");
  fResponse.append("Content-Type: application/sdp\r\n");
  fResponse.append("Content-Length: ").append(std::to_string(sdpLength)).append("\r\n");
  endResponse(std::string_view(sdp, sdpLength));
  delete[] sdp;
}

void RTSPClientConnection::handleSETUP(RTSPRequest const& req, RTSPClientSession* session) {
  // Only a SETUP that opens a session is checked; later ones go by session id.
  if (session == nullptr && !authenticationOK(req)) return;

  ServerMediaSession* sms = nullptr;
  ServerMediaSubsession* track = nullptr;
  if (!resolveURL(req.urlPath, sms, track)) {
    sendSimpleResponse("404 Stream Not Found", req.cseq);
    return;
  }
  if (session != nullptr && session->serverMediaSession() != sms) {
    sendBadRequest();
    return;
  }
  if (track == nullptr) {
    if (sms->numSubsessions() != 1) {
      sendSimpleResponse(sms->numSubsessions() == 0 ? "404 Stream Not Found" : "459 Aggregate Operation Not Allowed",
                         req.cseq);
      return;
    }
    track = sms->subsession(0);
  }

  RTSPTransportRequest requested;
  if (!req.hasTransport || !parseTransportHeader(req.transport, requested)) {
    sendSimpleResponse("461 Unsupported Transport", req.cseq);
    return;
  }
  ServerMediaSubsession::ClientTransport transport;
  transport.streamOverTCP = requested.streamOverTCP;
  transport.destinationAddress = fPeerAddress;
  if (requested.streamOverTCP) {
    transport.tcpWriter = this;
    if (requested.hasChannels) {
      transport.rtpChannelId = requested.rtpChannel;
      transport.rtcpChannelId = requested.rtcpChannel;
    } else {
      unsigned n = session != nullptr ? static_cast<unsigned>(session->tracks().size()) : 0;
      transport.rtpChannelId = static_cast<unsigned char>(2 * n);
      transport.rtcpChannelId = static_cast<unsigned char>(2 * n + 1);
    }
  } else {
    transport.clientRTPPort = Port(requested.clientRTPPort);
    transport.clientRTCPPort = Port(requested.clientRTCPPort);
  }

  bool created = false;
  if (session == nullptr) {
    session = fServer.createClientSession(sms);
    created = true;
  }
  session->removeTrack(track);  // a repeated SETUP of a track replaces it
  Port serverRTPPort, serverRTCPPort;
  void* streamToken = nullptr;
  if (!track->getStreamParameters(session->id(), transport, serverRTPPort, serverRTCPPort, streamToken)) {
    if (created) fServer.deleteClientSession(session);
    sendSimpleResponse("500 Internal Server Error", req.cseq);
    return;
  }
  session->addTrack(track, streamToken, transport);
  if (!fHadSession) {
    fHadSession = true;
    fServer.envir().taskScheduler().unscheduleDelayedTask(fIdleTask);
  }

  char const* peer = AddressString(fPeerAddress.s_addr);
  std::string peerText(peer);
  std::string localText(AddressString(fLocalAddress.s_addr));
  char buf[256];
  if (transport.streamOverTCP) {
    std::snprintf(buf, sizeof buf, "Transport: RTP/AVP/TCP;unicast;destination=%s;source=%s;interleaved=%u-%u\r\n",
                  peerText.c_str(), localText.c_str(), transport.rtpChannelId, transport.rtcpChannelId);
  } else {
    std::snprintf(buf, sizeof buf,
                  "Transport: RTP/AVP;unicast;destination=%s;source=%s;client_port=%u-%u;server_port=%u-%u\r\n",
                  peerText.c_str(), localText.c_str(), transport.clientRTPPort.hostOrder(),
                  transport.clientRTCPPort.hostOrder(), serverRTPPort.hostOrder(), serverRTCPPort.hostOrder());
  }
  beginResponse("200 OK", req.cseq);
  fResponse += buf;
  appendSessionHeader(session, true);
  endResponse();
}

void RTSPClientConnection::handlePLAY(RTSPRequest const& req, RTSPClientSession* session,
                                      ServerMediaSubsession* track) {
  char buf[256];
  // A live stream starts where it is: a requested start is answered as 0;
  // without a Range the answer gives the shared stream's position.
  double position = 0.0;
  if (!req.hasRange && !session->tracks().empty()) {
    RTSPClientSession::Track& first = track != nullptr ? *session->findTrack(track) : session->tracks().front();
    position = first.subsession->streamPosition(first.streamToken);
  }

  std::string rtpInfo;
  std::string prefix = urlPrefix();
  for (RTSPClientSession::Track& t : session->tracks()) {
    if (track != nullptr && t.subsession != track) continue;
    unsigned short seq = 0;
    unsigned rtptime = 0;
    t.subsession->startStream(session->id(), t.streamToken, RTSPClientSession::livenessCallback, session, seq, rtptime);
    if (!rtpInfo.empty()) rtpInfo += ",";
    std::snprintf(buf, sizeof buf, "url=%s%s/%s;seq=%u;rtptime=%u", prefix.c_str(),
                  session->serverMediaSession()->streamName(), t.subsession->trackId(), seq, rtptime);
    rtpInfo += buf;
  }

  beginResponse("200 OK", req.cseq);
  if (req.hasScale) fResponse += "Scale: 1.000000\r\n";
  std::snprintf(buf, sizeof buf, "Range: npt=%.3f-\r\n", position);
  fResponse += buf;
  appendSessionHeader(session, false);
  if (!rtpInfo.empty()) fResponse.append("RTP-Info: ").append(rtpInfo).append("\r\n");
  endResponse();
}

void RTSPClientConnection::handlePAUSE(RTSPRequest const& req, RTSPClientSession* session,
                                       ServerMediaSubsession* track) {
  for (RTSPClientSession::Track& t : session->tracks()) {
    if (track == nullptr || t.subsession == track) t.subsession->pauseStream(session->id(), t.streamToken);
  }
  beginResponse("200 OK", req.cseq);
  appendSessionHeader(session, false);
  endResponse();
}

void RTSPClientConnection::handleTEARDOWN(RTSPRequest const& req, RTSPClientSession* session,
                                          ServerMediaSubsession* track) {
  if (track != nullptr && session->tracks().size() > 1) {
    session->removeTrack(track);
  } else {
    fServer.deleteClientSession(session);
  }
  sendSimpleResponse("200 OK", req.cseq);
}

void RTSPClientConnection::handleGETorSETPARAMETER(RTSPRequest const& req, RTSPClientSession* session, bool isGet) {
  bool star = req.urlPath == "*";
  if (session == nullptr && !star) {
    sendSimpleResponse("454 Session Not Found", req.cseq);
    return;
  }
  if (session != nullptr && !star) {
    ServerMediaSession* sms = nullptr;
    ServerMediaSubsession* track = nullptr;
    if (!resolveURL(req.urlPath, sms, track) || sms != session->serverMediaSession()) {
      sendSimpleResponse("404 Stream Not Found", req.cseq);
      return;
    }
  }
  beginResponse("200 OK", req.cseq);
  if (session != nullptr) appendSessionHeader(session, false);
  if (isGet) {
    static constexpr char kBody[] = LIVEMEDIA_LIBRARY_VERSION_STRING "\r\n";
    fResponse.append("Content-Length: ").append(std::to_string(sizeof kBody - 1)).append("\r\n");
    endResponse(std::string_view(kBody, sizeof kBody - 1));
  } else {
    endResponse();
  }
}

bool RTSPClientConnection::resolveURL(std::string_view path, ServerMediaSession*& sms,
                                      ServerMediaSubsession*& track) const {
  track = nullptr;
  sms = fServer.lookupServerMediaSession(path);
  if (sms != nullptr) return true;
  if (!path.empty() && path.back() == '/') {
    sms = fServer.lookupServerMediaSession(path.substr(0, path.size() - 1));
    if (sms != nullptr) return true;
  }
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return false;
  sms = fServer.lookupServerMediaSession(path.substr(0, slash));
  if (sms == nullptr) return false;
  std::string trackId(path.substr(slash + 1));
  track = sms->lookupSubsessionByTrackId(trackId.c_str());
  return track != nullptr;
}

bool RTSPClientConnection::authenticationOK(RTSPRequest const& req) {
  UserAuthenticationDatabase* db = fServer.fAuthDB;
  if (db == nullptr) return true;
  // A connection has no nonce until its first 401: the first checked request always fails.
  if (req.hasAuthorization && digestAuthorizationAccepted(*db, req.authorization, fNonce, req.method)) return true;
  fNonce = makeDigestNonce();
  beginResponse("401 Unauthorized", req.cseq);
  fResponse.append("WWW-Authenticate: Digest realm=\"").append(db->realm()).append("\", nonce=\"");
  fResponse.append(fNonce).append("\"\r\n");
  endResponse();
  return false;
}

// ---- Answers -------------------------------------------------------------

void RTSPClientConnection::beginResponse(char const* status, std::string_view cseq) {
  char date[64];
  formatDate(date, sizeof date);
  fResponse.clear();
  fResponse.append("RTSP/1.0 ").append(status).append("\r\nCSeq: ").append(cseq).append("\r\nDate: ");
  fResponse.append(date).append("\r\n");
}

void RTSPClientConnection::endResponse(std::string_view body) {
  fResponse += "\r\n";
  fResponse.append(body);
  queueOutput(reinterpret_cast<unsigned char const*>(fResponse.data()), fResponse.size());
}

void RTSPClientConnection::sendSimpleResponse(char const* status, std::string_view cseq) {
  beginResponse(status, cseq);
  endResponse();
}

void RTSPClientConnection::sendBadRequest() {
  char date[64];
  formatDate(date, sizeof date);
  fResponse.clear();
  fResponse.append("RTSP/1.0 400 Bad Request\r\nDate: ").append(date).append("\r\nAllow: ");
  fResponse.append(kAllowedMethods).append("\r\n");
  endResponse();
}

void RTSPClientConnection::sendMethodNotAllowed(std::string_view cseq) {
  beginResponse("405 Method Not Allowed", cseq);
  fResponse.append("Allow: ").append(kAllowedMethods).append("\r\n");
  endResponse();
}

void RTSPClientConnection::sendHTTPNotAllowed() {
  char date[64];
  formatDate(date, sizeof date);
  fResponse.clear();
  fResponse.append("HTTP/1.1 405 Method Not Allowed\r\nDate: ").append(date).append("\r\n\r\n\r\n");
  queueOutput(reinterpret_cast<unsigned char const*>(fResponse.data()), fResponse.size());
}

void RTSPClientConnection::appendSessionHeader(RTSPClientSession const* session, bool withTimeout) {
  char buf[64];
  if (withTimeout && fServer.fReclamationSeconds > 0) {
    std::snprintf(buf, sizeof buf, "Session: %08X;timeout=%u\r\n", session->id(), fServer.fReclamationSeconds);
  } else {
    std::snprintf(buf, sizeof buf, "Session: %08X\r\n", session->id());
  }
  fResponse += buf;
}

std::string RTSPClientConnection::urlPrefix() const {
  char buf[64];
  unsigned port = fServer.fServerPort.hostOrder();
  if (port == 554) {
    std::snprintf(buf, sizeof buf, "rtsp://%s/", AddressString(fLocalAddress.s_addr));
  } else {
    std::snprintf(buf, sizeof buf, "rtsp://%s:%u/", AddressString(fLocalAddress.s_addr), port);
  }
  return buf;
}

// ---- Output --------------------------------------------------------------

void RTSPClientConnection::queueOutput(unsigned char const* data, size_t size) {
  if (fCloseRequested) return;
  size_t sent = 0;
  if (pendingOutput() == 0) {
    ssize_t n = send(fSocket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && !wouldBlock(errno)) {
      requestClose();
      return;
    }
    if (n > 0) sent = static_cast<size_t>(n);
  }
  if (sent == size) return;
  reserveOutput(size - sent);
  fOut.append(data + sent, size - sent);
  if (pendingOutput() > kMaxQueuedBytes) {
    requestClose();
    return;
  }
  updateSocketHandling();
}

Boolean RTSPClientConnection::writeInterleavedFrame(unsigned char channelId, unsigned char const* data, unsigned size) {
  if (fCloseRequested || size > 0xFFFF) return False;
  unsigned char header[4] = {'$', channelId, static_cast<unsigned char>(size >> 8),
                             static_cast<unsigned char>(size & 0xFF)};
  size_t total = 4 + size;
  if (pendingOutput() == 0) {
    struct iovec iov[2];
    iov[0].iov_base = header;
    iov[0].iov_len = 4;
    iov[1].iov_base = const_cast<unsigned char*>(data);
    iov[1].iov_len = size;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t n = sendmsg(fSocket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && !wouldBlock(errno)) {
      requestClose();
      return False;
    }
    size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
    if (sent == total) return True;
    // The rest of the frame waits in the queue, so the frame goes out whole.
    reserveOutput(total - sent);
    if (sent < 4) fOut.append(header + sent, 4 - sent);
    size_t dataSent = sent > 4 ? sent - 4 : 0;
    fOut.append(data + dataSent, size - dataSent);
    updateSocketHandling();
    return True;
  }
  if (pendingOutput() + total > kMaxQueuedFrameBytes) return False;  // the peer is not keeping up
  reserveOutput(total);
  fOut.append(header, 4);
  fOut.append(data, size);
  return True;
}

void RTSPClientConnection::reserveOutput(size_t bytes) {
  if (fOut.capacity() == 0) fOut.reserveFree(std::max(bytes, kFirstQueueCapacity));
  fOut.reserveFree(bytes);
}

void RTSPClientConnection::flushOutput() {
  while (pendingOutput() > 0) {
    struct iovec iov[2];
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(fOut.pieces(iov));
    ssize_t n = sendmsg(fSocket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (!wouldBlock(errno)) requestClose();
      break;
    }
    fOut.consume(static_cast<size_t>(n));
    if (n == 0) break;
  }
  if (fCloseRequested) return;
  updateSocketHandling();
  // Requests held back while the answers piled up.
  if (fInLength > 0 && pendingOutput() < kReadPauseThreshold) processInput();
}

void RTSPClientConnection::updateSocketHandling() {
  int mask = 0;
  if (!fCloseRequested) {
    if (pendingOutput() < kReadPauseThreshold) mask |= SOCKET_READABLE;
    if (pendingOutput() > 0) mask |= SOCKET_WRITABLE;
  }
  if (mask == fArmedMask) return;
  fArmedMask = mask;
  fServer.envir().taskScheduler().setBackgroundHandling(fSocket, mask, socketHandler, this);
}

void RTSPClientConnection::requestClose() {
  if (fCloseRequested) return;
  fCloseRequested = true;
  updateSocketHandling();
  // Inside the socket handler the connection is closed on the way out;
  // elsewhere (a sink writing a frame) it is closed from the event loop.
  if (!fInHandler) fCloseTask = fServer.envir().taskScheduler().scheduleDelayedTask(0, closeTask, this);
}

void RTSPClientConnection::closeTask(void* clientData) {
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fCloseTask = nullptr;
  connection->fServer.closeConnection(connection);
}

void RTSPClientConnection::idleTask(void* clientData) {
  // A connection that never set anything up and has gone quiet is closed.
  auto* connection = static_cast<RTSPClientConnection*>(clientData);
  connection->fIdleTask = nullptr;
  if (!connection->fHadSession && !connection->fCloseRequested) connection->fServer.closeConnection(connection);
}
