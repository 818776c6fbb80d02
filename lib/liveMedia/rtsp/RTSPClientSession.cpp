#include "RTSPClientSession.hh"

#include "ServerMediaSession.hh"

RTSPClientSession::RTSPClientSession(RTSPServerContext& server, unsigned id, ServerMediaSession* serverMediaSession,
                                     RTSPClientConnection* owner, NetAddress const& clientAddress)
    : fServer(server), fId(id), fServerMediaSession(serverMediaSession), fOwner(owner), fClientAddress(clientAddress) {
  fServerMediaSession->incrementReferenceCount();
  noteLiveness();
}

RTSPClientSession::~RTSPClientSession() {
  fServer.environment().taskScheduler().unscheduleDelayedTask(fLivenessTask);
  for (Track& t : fTracks) t.subsession->deleteStream(fId, t.streamToken);
  fServerMediaSession->decrementReferenceCount();
}

RTSPClientSession::Track* RTSPClientSession::findTrack(ServerMediaSubsession* subsession) {
  for (Track& t : fTracks) {
    if (t.subsession == subsession) return &t;
  }
  return nullptr;
}

void RTSPClientSession::addTrack(ServerMediaSubsession* subsession, void* streamToken,
                                 ServerMediaSubsession::ClientTransport const& transport) {
  fTracks.push_back(Track{subsession, streamToken, transport});
}

void RTSPClientSession::removeTrack(ServerMediaSubsession* subsession) {
  for (auto it = fTracks.begin(); it != fTracks.end(); ++it) {
    if (it->subsession == subsession) {
      it->subsession->deleteStream(fId, it->streamToken);
      fTracks.erase(it);
      return;
    }
  }
}

bool RTSPClientSession::usesConnection(InterleavedChannelWriter const* connection) const {
  for (Track const& t : fTracks) {
    if (t.transport.streamOverTCP && t.transport.tcpWriter == connection) return true;
  }
  return false;
}

void RTSPClientSession::addInterleavedChannels(InterleavedChannelWriter const* connection,
                                               InterleavedChannelSet& used) const {
  for (Track const& t : fTracks) {
    if (!t.transport.streamOverTCP || t.transport.tcpWriter != connection) continue;
    used.set(t.transport.rtpChannelId);
    used.set(t.transport.rtcpChannelId);
  }
}

void RTSPClientSession::noteLiveness() {
  if (fServer.reclamationSeconds() == 0) return;
  fServer.environment().taskScheduler().rescheduleDelayedTask(
      fLivenessTask, static_cast<int64_t>(fServer.reclamationSeconds()) * 1000000, reclaimTask, this);
}

void RTSPClientSession::livenessCallback(void* clientData) {
  static_cast<RTSPClientSession*>(clientData)->noteLiveness();
}

void RTSPClientSession::reclaimTask(void* clientData) {
  auto* session = static_cast<RTSPClientSession*>(clientData);
  session->fLivenessTask = nullptr;
  session->fServer.deleteSession(session);  // silently: no message, no BYE
}
