#include "RTSPClientSession.hh"

#include "RTSPClientConnection.hh"
#include "ServerMediaSession.hh"

RTSPClientSession::RTSPClientSession(RTSPServer& server, unsigned id, ServerMediaSession* serverMediaSession)
    : fServer(server), fId(id), fServerMediaSession(serverMediaSession) {
  fServerMediaSession->incrementReferenceCount();
  noteLiveness();
}

RTSPClientSession::~RTSPClientSession() {
  fServer.envir().taskScheduler().unscheduleDelayedTask(fLivenessTask);
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

bool RTSPClientSession::usesConnection(RTSPClientConnection const* connection) const {
  for (Track const& t : fTracks) {
    if (t.transport.streamOverTCP && t.transport.tcpWriter == connection) return true;
  }
  return false;
}

void RTSPClientSession::noteLiveness() {
  if (fServer.fReclamationSeconds == 0) return;
  fServer.envir().taskScheduler().rescheduleDelayedTask(
      fLivenessTask, static_cast<int64_t>(fServer.fReclamationSeconds) * 1000000, reclaimTask, this);
}

void RTSPClientSession::livenessCallback(void* clientData) {
  static_cast<RTSPClientSession*>(clientData)->noteLiveness();
}

void RTSPClientSession::reclaimTask(void* clientData) {
  auto* session = static_cast<RTSPClientSession*>(clientData);
  session->fLivenessTask = nullptr;
  session->fServer.deleteClientSession(session);  // silently: no message, no BYE
}
