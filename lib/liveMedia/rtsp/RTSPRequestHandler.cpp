#include "RTSPRequestHandler.hh"

#include <cstring>

#include "InterleavedSocketWriter.hh"
#include "MonotonicClock.hh"
#include "RTSPClientSession.hh"
#include "RTSPResponseBuilder.hh"
#include "ServerMediaSession.hh"
#include "SessionAccess.hh"
#include "liveMedia_version.hh"

namespace {

// Longest URL, CSeq or Session value served; longer ones get 400.
constexpr size_t kMaxFieldLength = 200;

// How often a waiting DESCRIBE looks whether its stream can be described.
constexpr int64_t kDescribePollMicroseconds = 10000;

}  // namespace

RTSPRequestHandler::RTSPRequestHandler(RTSPServerContext& server, RTSPClientConnection& connection,
                                       InterleavedSocketWriter& output, NetAddress const& peerAddress,
                                       NetAddress const& localAddress, RTSPConnectionOrigin const& origin)
    : fServer(server),
      fConnection(connection),
      fOutput(output),
      fPeerAddress(peerAddress),
      fLocalAddress(localAddress),
      fOrigin(origin) {
  fResponse.reserve(1024);
}

RTSPRequestHandler::Method RTSPRequestHandler::methodOf(std::string_view name) {
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

bool RTSPRequestHandler::handleRequest(std::string_view text) {
  RTSPRequest req;
  bool readable = parseRTSPRequest(text, req);
  if (readable && req.protocol.substr(0, 5) == "HTTP/") {
    RTSPResponseBuilder::httpNotAllowed(fResponse, now());
    send();
    return false;
  }
  if (!readable || !req.hasCSeq || req.cseq.size() >= kMaxFieldLength || req.url.size() >= kMaxFieldLength ||
      req.session.size() >= kMaxFieldLength) {
    RTSPResponseBuilder::badRequest(fResponse, now());
    send();
    return false;
  }

  Method method = methodOf(req.method);
  bool star = req.urlPath == "*";
  if (method == Method::Unknown ||
      (star && method != Method::OPTIONS && method != Method::GET_PARAMETER && method != Method::SET_PARAMETER)) {
    sendMethodNotAllowed(req.cseq);
    return true;
  }
  RTSPClientSession* session = nullptr;
  if (req.hasSession) {
    session = fServer.lookupSession(req.session);
    if (session == nullptr) {
      sendSimpleResponse("454 Session Not Found", req.cseq);
      return true;
    }
    if (!mayUseSession(req, *session)) return true;  // answered
    session->noteLiveness();
  }
  dispatch(method, req, session);
  return true;
}

void RTSPRequestHandler::dispatch(Method method, RTSPRequest const& req, RTSPClientSession* session) {
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

void RTSPRequestHandler::handleOPTIONS(RTSPRequest const& req) {
  RTSPResponseBuilder r(fResponse, "200 OK", req.cseq, now());
  r.header("Public", RTSPResponseBuilder::kAllowedMethods);
  r.end();
  send();
}

void RTSPRequestHandler::handleDESCRIBE(RTSPRequest const& req) {
  if (!authenticationOK(req)) return;
  ServerMediaSession* sms = fServer.lookupStream(req.urlPath);
  if (sms == nullptr) {
    sendSimpleResponse("404 Stream Not Found", req.cseq);
    return;
  }
  if (!sms->descriptionReady()) {
    // Answered once the tracks know what to say; meanwhile the connection
    // reads and answers nothing more, so the answers keep their order.
    fDescribeWaits = true;
    fDescribeCSeq.assign(req.cseq.data(), req.cseq.size());
    fDescribeStream = sms->streamName();
    fHoldMicroseconds = kDescribePollMicroseconds;
    return;
  }
  answerDESCRIBE(sms, req.cseq);
}

void RTSPRequestHandler::answerDESCRIBE(ServerMediaSession* sms, std::string_view cseq) {
  // Over TLS each track is offered as SRTP, with the key of the stream the client will get.
  bool const srtp = OSTRA_SRTP && fOrigin.mediaOnConnectionOnly;
  char* sdp = sms->generateSDPDescription(fLocalAddress, srtp ? &fSRTPOffers : nullptr);
  if (sdp == nullptr) {
    sendSimpleResponse("404 File Not Found, Or In Incorrect Format", cseq);
    return;
  }
  RTSPResponseBuilder r(fResponse, "200 OK", cseq, now());
  r.header("Content-Base", urlPrefix() + sms->streamName() + "/");
  r.header("Content-Type", "application/sdp");
  r.endWithBody(std::string_view(sdp, std::strlen(sdp)));
  delete[] sdp;
  send();
}

bool RTSPRequestHandler::negotiateTransport(RTSPRequest const& req, RTSPClientSession* session,
                                            ServerMediaSession*& sms, ServerMediaSubsession*& track,
                                            ServerMediaSubsession::ClientTransport& transport) {
  if (!resolveURL(req.urlPath, sms, track)) {
    sendSimpleResponse("404 Stream Not Found", req.cseq);
    return false;
  }
  if (session != nullptr && session->serverMediaSession() != sms) {
    RTSPResponseBuilder::badRequest(fResponse, now());
    send();
    return false;
  }
  if (track == nullptr) {  // the aggregate URL names the track of a one-track stream
    if (sms->numSubsessions() != 1) {
      sendSimpleResponse(sms->numSubsessions() == 0 ? "404 Stream Not Found" : "459 Aggregate Operation Not Allowed",
                         req.cseq);
      return false;
    }
    track = sms->subsession(0);
  }

  RTSPTransportRequest requested;
  if (!req.hasTransport || !parseTransportHeader(req.transport, requested)) {
    sendSimpleResponse("461 Unsupported Transport", req.cseq);
    return false;
  }
  if (requested.secure && !negotiateSRTP(req, track, transport)) return false;
  if (!requested.streamOverTCP && !requested.secure && fOrigin.mediaOnConnectionOnly) {  // never in clear beside it
    sendSimpleResponse("461 Unsupported Transport", req.cseq);
    return false;
  }
  transport.streamOverTCP = requested.streamOverTCP;
  transport.destinationAddress = fPeerAddress;  // a destination in the request is ignored
  if (requested.streamOverTCP) {
    // Channels that another session uses on this connection are refused;
    // without a (usable) request, the lowest free pair from the session's own next one.
    transport.tcpWriter = &fOutput;
    InterleavedChannelSet taken;
    fServer.interleavedChannelsInUse(&fOutput, session, taken);
    InterleavedChannelPair wanted{requested.rtpChannel, requested.rtcpChannel}, chosen;
    unsigned ownTracks = session != nullptr ? static_cast<unsigned>(session->tracks().size()) : 0;
    if (!chooseInterleavedChannels(taken, requested.hasChannels ? &wanted : nullptr, ownTracks, chosen)) {
      sendSimpleResponse("461 Unsupported Transport", req.cseq);
      return false;
    }
    transport.rtpChannelId = chosen.rtp;
    transport.rtcpChannelId = chosen.rtcp;
  } else {
    transport.clientRTPPort = Port(requested.clientRTPPort);
    transport.clientRTCPPort = Port(requested.clientRTCPPort);
  }
  return true;
}

void RTSPRequestHandler::handleSETUP(RTSPRequest const& req, RTSPClientSession* session) {
  // A SETUP that opens a session is checked here; one naming a session was
  // checked with the session (its own connection goes by the id alone).
  if (session == nullptr && !authenticationOK(req)) return;
  ServerMediaSession* sms = nullptr;
  ServerMediaSubsession* track = nullptr;
  ServerMediaSubsession::ClientTransport transport;
  if (!negotiateTransport(req, session, sms, track, transport)) return;

  bool created = false;
  if (session == nullptr) {
    if (fServer.sessionLimitReached(&fConnection)) {  // nothing is created
      sendSimpleResponse("453 Not Enough Bandwidth", req.cseq);
      return;
    }
    session = fServer.createSession(sms, &fConnection, fPeerAddress);
    if (session == nullptr) {  // no id can be drawn now: nothing is created
      sendSimpleResponse("500 Internal Server Error", req.cseq);
      return;
    }
    created = true;
  }
  session->removeTrack(track);  // a repeated SETUP of a track replaces it
  Port serverRTPPort, serverRTCPPort;
  void* streamToken = nullptr;
  if (!track->getStreamParameters(session->id(), transport, serverRTPPort, serverRTCPPort, streamToken)) {
    if (created) fServer.deleteSession(session);
    // A track whose input is not there now is refused for this client alone.
    sendSimpleResponse(track->sourceUnavailable() ? "503 Service Unavailable"
                       : track->offeredKeyGone()  ? "463 Key Management Failure"
                                                  : "500 Internal Server Error",
                       req.cseq);
    return;
  }
  session->addTrack(track, streamToken, transport);
  sendSetupReply(req, *session, transport, serverRTPPort, serverRTCPPort);
}

void RTSPRequestHandler::sendSetupReply(RTSPRequest const& req, RTSPClientSession const& session,
                                        ServerMediaSubsession::ClientTransport const& transport, Port serverRTPPort,
                                        Port serverRTCPPort) {
  RTSPResponseBuilder r(fResponse, "200 OK", req.cseq, now());
  if (transport.streamOverTCP) {
    r.tcpTransport(fPeerAddress, fLocalAddress, transport.rtpChannelId, transport.rtcpChannelId);
  } else {
    r.udpTransport(fPeerAddress, fLocalAddress, transport.clientRTPPort.hostOrder(),
                   transport.clientRTCPPort.hostOrder(), serverRTPPort.hostOrder(), serverRTCPPort.hostOrder());
  }
  if (transport.secure) r.secureProfile();
  r.session(session.id(), fServer.reclamationSeconds());
  r.end();
  send();
}

void RTSPRequestHandler::handlePLAY(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track) {
  // A live stream starts where it is: a requested start is answered as 0;
  // without a Range the answer gives the shared stream's position.
  double position = 0.0;
  if (!req.hasRange && !session->tracks().empty()) {
    RTSPClientSession::Track& first = track != nullptr ? *session->findTrack(track) : session->tracks().front();
    position = first.subsession->streamPosition(first.streamToken);
  }

  std::string rtpInfo;
  std::string prefix = urlPrefix() + session->serverMediaSession()->streamName() + "/";
  for (RTSPClientSession::Track& t : session->tracks()) {
    if (track != nullptr && t.subsession != track) continue;
    unsigned short seq = 0;
    unsigned rtptime = 0;
    t.subsession->startStream(session->id(), t.streamToken, RTSPClientSession::livenessCallback, session, seq, rtptime);
    RTSPResponseBuilder::appendRTPInfo(rtpInfo, prefix + t.subsession->trackId(), seq, rtptime);
  }

  RTSPResponseBuilder r(fResponse, "200 OK", req.cseq, now());
  if (req.hasScale) r.header("Scale", "1.000000");
  r.range(position);
  r.session(session->id());
  if (!rtpInfo.empty()) r.header("RTP-Info", rtpInfo);
  r.end();
  send();
}

void RTSPRequestHandler::handlePAUSE(RTSPRequest const& req, RTSPClientSession* session, ServerMediaSubsession* track) {
  for (RTSPClientSession::Track& t : session->tracks()) {
    if (track == nullptr || t.subsession == track) t.subsession->pauseStream(session->id(), t.streamToken);
  }
  RTSPResponseBuilder r(fResponse, "200 OK", req.cseq, now());
  r.session(session->id());
  r.end();
  send();
}

void RTSPRequestHandler::handleTEARDOWN(RTSPRequest const& req, RTSPClientSession* session,
                                        ServerMediaSubsession* track) {
  if (track != nullptr && session->tracks().size() > 1) {
    session->removeTrack(track);
  } else {
    fServer.deleteSession(session);
  }
  sendSimpleResponse("200 OK", req.cseq);
}

void RTSPRequestHandler::handleGETorSETPARAMETER(RTSPRequest const& req, RTSPClientSession* session, bool isGet) {
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
  RTSPResponseBuilder r(fResponse, "200 OK", req.cseq, now());
  if (session != nullptr) r.session(session->id());
  if (isGet) {
    r.endWithBody(LIVEMEDIA_LIBRARY_VERSION_STRING "\r\n");
  } else {
    r.end();
  }
  send();
}

bool RTSPRequestHandler::resolveURL(std::string_view path, ServerMediaSession*& sms,
                                    ServerMediaSubsession*& track) const {
  track = nullptr;
  sms = fServer.lookupStream(path);
  if (sms != nullptr) return true;
  if (!path.empty() && path.back() == '/') {
    sms = fServer.lookupStream(path.substr(0, path.size() - 1));
    if (sms != nullptr) return true;
  }
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return false;
  sms = fServer.lookupStream(path.substr(0, slash));
  if (sms == nullptr) return false;
  std::string trackId(path.substr(slash + 1));
  track = sms->lookupSubsessionByTrackId(trackId.c_str());
  return track != nullptr;
}

bool RTSPRequestHandler::mayUseSession(RTSPRequest const& req, RTSPClientSession const& session) {
  SessionOrigin opened{session.owner(), session.clientAddress()};
  SessionOrigin here{&fConnection, fPeerAddress};
  switch (sessionAccessFor(opened, here, fServer.authDatabase() != nullptr)) {
    case SessionAccess::Granted:
      return true;
    case SessionAccess::NeedsDigest:
      return authenticationOK(req);
    case SessionAccess::Refused:
      break;
  }
  sendSimpleResponse("454 Session Not Found", req.cseq);
  return false;
}

bool RTSPRequestHandler::authenticationOK(RTSPRequest const& req) {
  UserAuthenticationDatabase* db = fServer.authDatabase();
  if (db == nullptr) return true;
  // A connection has no nonce until its first 401: the first checked request always fails.
  if (req.hasAuthorization && digestAuthorizationAccepted(*db, req.authorization, fNonce, req.method)) return true;

  // Guessing is slowed: the answer may have to wait, or not come at all.
  int64_t delay =
      fServer.authenticationThrottle().answerDelay(fThrottleRecord, req.hasAuthorization, monotonicMicros());
  fNonce.clear();
  if (delay == AuthenticationThrottle::kClose) {
    fCloseWanted = true;
    return false;
  }
  fNonce = makeDigestNonce();
  if (fNonce.empty()) {  // no unpredictable nonce now: no challenge either
    RTSPResponseBuilder r(fResponse, "500 Internal Server Error", req.cseq, now());
    r.end();
  } else {
    RTSPResponseBuilder r(fResponse, "401 Unauthorized", req.cseq, now());
    r.header("WWW-Authenticate", std::string("Digest realm=\"") + db->realm() + "\", nonce=\"" + fNonce + "\"");
    r.end();
  }
  if (delay == 0) {
    send();
  } else {
    fHeldAnswer.swap(fResponse);
    fHoldMicroseconds = delay;
  }
  return false;
}

bool RTSPRequestHandler::sendHeldAnswer() {
  if (fDescribeWaits) {
    ServerMediaSession* sms = fServer.lookupStream(fDescribeStream);
    if (sms != nullptr && !sms->descriptionReady()) return false;
    fDescribeWaits = false;
    fHoldMicroseconds = 0;
    if (sms == nullptr) {
      sendSimpleResponse("404 Stream Not Found", fDescribeCSeq);
    } else {
      answerDESCRIBE(sms, fDescribeCSeq);
    }
    return true;
  }
  if (fHeldAnswer.empty()) return true;
  fHeldAnswer.swap(fResponse);
  fHeldAnswer.clear();
  fHoldMicroseconds = 0;
  send();
  return true;
}

std::string RTSPRequestHandler::urlPrefix() const {
  unsigned const port = fOrigin.port != 0 ? fOrigin.port : fServer.serverPort().hostOrder();
  return rtspURLPrefixFor(fLocalAddress, port, fOrigin.scheme);
}

std::string RTSPRequestHandler::now() { return RTSPResponseBuilder::formatDate(time(nullptr)); }

void RTSPRequestHandler::sendSimpleResponse(char const* status, std::string_view cseq) {
  RTSPResponseBuilder r(fResponse, status, cseq, now());
  r.end();
  send();
}

void RTSPRequestHandler::sendMethodNotAllowed(std::string_view cseq) {
  RTSPResponseBuilder r(fResponse, "405 Method Not Allowed", cseq, now());
  r.header("Allow", RTSPResponseBuilder::kAllowedMethods);
  r.end();
  send();
}

void RTSPRequestHandler::send() {
  fOutput.writeData(reinterpret_cast<unsigned char const*>(fResponse.data()), fResponse.size());
}
