#ifndef OSTRA_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_SERVER_MEDIA_SUBSESSION_HH

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "Media.hh"
#include "NetAddress.hh"

class ServerMediaSession;
class InterleavedChannelWriter;

// One track of a ServerMediaSession, as the RTSP server drives it.
class ServerMediaSubsession : public Medium {
public:
  unsigned trackNumber() const { return fTrackNumber; }
  char const* trackId();  // "track<N>"

  // The track's SDP lines (media line onwards), or null when the track
  // cannot be described. Kept by the subsession.
  virtual char const* sdpLines() = 0;
  // Whether sdpLines() can be answered now. A track whose description waits
  // for what its stream carries starts finding out at the first call and
  // says false until it knows (or its wait is over); ask again later.
  virtual Boolean sdpLinesReady();
  // sdpLines() for a client of 'addressFamily': for AF_INET6 the same lines
  // with "c=IN IP6 ::", kept beside them (and made again when they change).
  char const* sdpLinesFor(int addressFamily);

  // One client's transport, as parsed from its SETUP.
  struct ClientTransport {
    Boolean streamOverTCP = False;
    NetAddress destinationAddress;                  // UDP: the client's address
    Port clientRTPPort, clientRTCPPort;             // UDP
    InterleavedChannelWriter* tcpWriter = nullptr;  // TCP: the client's RTSP connection
    unsigned char rtpChannelId = 0, rtcpChannelId = 1;
    // RTP/SAVP: the stream key offered to the client (its id), and the
    // client's own master key, which protects the SRTCP it sends.
    Boolean secure = False;
    uint64_t offeredKeyId = 0;
    unsigned char clientMasterKey[30] = {};
  };
  // Attaches client 'clientSessionId' to the track's stream (creating it for
  // the first client). Fills the server ports and an opaque stream token.
  // Returns false (nothing created, nothing attached) when it cannot serve.
  virtual Boolean getStreamParameters(unsigned clientSessionId, ClientTransport const& transport, Port& serverRTPPort,
                                      Port& serverRTCPPort, void*& streamToken) = 0;
  // After getStreamParameters() failed: true when the track's source could
  // not be had (its input is not there now), false for any other reason.
  virtual Boolean sourceUnavailable() const;
  // After getStreamParameters() failed for RTP/SAVP: true when the key the
  // client was offered is not that of the stream it would get (it ended).
  virtual Boolean offeredKeyGone() const;

  // The "a=key-mgmt:mikey ..." line that offers the key of the stream a
  // client would now get, and that key's id (0, no line: the track has no SRTP).
  virtual uint64_t srtpOffer(std::string& keyMgmtLine);
  // Starts (or joins) the flow for this client; fills the RTP-Info values.
  // 'livenessFunc(livenessClientData)' is called for each RTCP receiver
  // report from this client.
  virtual void startStream(unsigned clientSessionId, void* streamToken, void (*livenessFunc)(void*),
                           void* livenessClientData, unsigned short& rtpSeqNum, unsigned& rtpTimestamp) = 0;
  virtual void pauseStream(unsigned clientSessionId, void* streamToken);
  // Detaches the client; the stream ends when its last client leaves.
  virtual void deleteStream(unsigned clientSessionId, void*& streamToken) = 0;
  // Current position of a shared stream in seconds (for PLAY without Range).
  virtual float streamPosition(void* streamToken);
  // An RTCP packet that the client sent on its interleaved RTCP channel.
  virtual void injectInterleavedRTCP(void* streamToken, unsigned char const* packet, unsigned size,
                                     InterleavedChannelWriter* fromWriter, unsigned char channelId);

  virtual float duration() const;  // 0: live

protected:
  explicit ServerMediaSubsession(UsageEnvironment& env);
  ~ServerMediaSubsession() override;

  ServerMediaSession* fParentSession = nullptr;

private:
  friend class ServerMediaSession;
  unsigned fTrackNumber = 0;
  char* fTrackId = nullptr;
  std::string fIPv4LinesSeen, fIPv6Lines;  // sdpLinesFor(AF_INET6)'s copy and what it was made from
};

#endif
