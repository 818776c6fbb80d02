#ifndef OSTRA_RTSP_CLIENT_SESSION_HH
#define OSTRA_RTSP_CLIENT_SESSION_HH

#include <netinet/in.h>

#include <vector>

#include "InterleavedChannels.hh"
#include "RTSPServerContext.hh"
#include "ServerMediaSubsession.hh"

class RTSPClientConnection;

// One client's session: the tracks it has set up, under one random id. It
// belongs to the connection that opened it and to the client address it was
// opened from (who else may use it: SessionAccess.hh); tracks interleaved on
// a connection end with that connection, the others outlive it. A liveness
// timer, restarted by every request naming the session and by the client's
// RTCP receiver reports, reclaims a session that went silent.
class RTSPClientSession {
public:
  RTSPClientSession(RTSPServerContext& server, unsigned id, ServerMediaSession* serverMediaSession,
                    RTSPClientConnection* owner, NetAddress const& clientAddress);
  ~RTSPClientSession();  // detaches every track from its stream

  unsigned id() const { return fId; }
  ServerMediaSession* serverMediaSession() const { return fServerMediaSession; }
  // The connection that opened the session; null once that connection has closed.
  RTSPClientConnection* owner() const { return fOwner; }
  void disown() { fOwner = nullptr; }
  // The address of the client that opened the session.
  NetAddress const& clientAddress() const { return fClientAddress; }

  struct Track {
    ServerMediaSubsession* subsession;
    void* streamToken;
    ServerMediaSubsession::ClientTransport transport;
  };
  std::vector<Track>& tracks() { return fTracks; }
  Track* findTrack(ServerMediaSubsession* subsession);
  void addTrack(ServerMediaSubsession* subsession, void* streamToken,
                ServerMediaSubsession::ClientTransport const& transport);
  void removeTrack(ServerMediaSubsession* subsession);

  // True when one of the tracks is interleaved on 'connection'.
  bool usesConnection(InterleavedChannelWriter const* connection) const;
  // Adds the channels that the tracks interleaved on 'connection' use to 'used'.
  void addInterleavedChannels(InterleavedChannelWriter const* connection, InterleavedChannelSet& used) const;

  void noteLiveness();
  static void livenessCallback(void* clientData);  // for RTCP receiver reports

private:
  static void reclaimTask(void* clientData);

  RTSPServerContext& fServer;
  unsigned fId;
  ServerMediaSession* fServerMediaSession;
  RTSPClientConnection* fOwner;
  NetAddress fClientAddress;
  std::vector<Track> fTracks;
  TaskScheduler::TaskToken fLivenessTask = nullptr;
};

#endif
