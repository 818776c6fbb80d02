#ifndef OSTRA_SRTP_STREAM_STATE_HH
#define OSTRA_SRTP_STREAM_STATE_HH

#include <cstdint>
#include <memory>
#include <string>

#include "Groupsock.hh"
#include "MikeyMessage.hh"
#include "SRTCPReceiver.hh"
#include "SRTPFanOut.hh"
#include "ServerMediaSubsession.hh"

// What a running stream adds for its SRTP clients: one sender key and SSRC
// for all of them, its own RTP/RTCP socket pair (so SRTP and plain RTP never
// share a port), the protection step on the stream's RTP and RTCP fan-outs,
// and each client's SRTCP check. Made with the stream's first SRTP client.
class SRTPStreamState {
public:
  // Null when no socket pair from 'firstPort' up or no libsrtp2 context can be had.
  static std::unique_ptr<SRTPStreamState> create(UsageEnvironment& env, MikeySRTPKey const& key, portNumBits firstPort,
                                                 RTPInterface& rtp, RTPInterface& rtcp);
  // Goes after the stream's sink and RTCP (their BYE passes through it):
  // it leaves their fan-outs alone.
  ~SRTPStreamState();

  Port rtpPort() const { return fRTPgs->port(); }
  Port rtcpPort() const { return fRTCPgs->port(); }
  uint32_t rolloverCounter(uint32_t ssrc) const { return fProtector.rolloverCounter(ssrc); }
  SRTCPReceiver& receiver() { return fReceiver; }

  using ClientTransport = ServerMediaSubsession::ClientTransport;
  void attach(unsigned clientSessionId, ClientTransport const& t, SRTCPVerifier* verifier,
              SRTCPReceiver::HandlerFunc* liveness, void* livenessClientData);
  void detach(unsigned clientSessionId, ClientTransport const& t, SRTCPVerifier* verifier);

private:
  SRTPStreamState(UsageEnvironment& env, std::unique_ptr<Groupsock> rtpGS, std::unique_ptr<Groupsock> rtcpGS);

  std::unique_ptr<Groupsock> fRTPgs, fRTCPgs;
  SRTPProtector fProtector;
  SRTPFanOut fRTP, fRTCP;
  SRTCPReceiver fReceiver;
};

// A fresh key for a stream run: random master key and salt, SSRC and
// crypto session bundle id. Returns its id, never the same twice in the
// process; 0 when the system's random source cannot give them.
uint64_t newSRTPStreamKey(MikeySRTPKey& key);

// The "a=key-mgmt:mikey ..." line that offers 'key'.
std::string srtpOfferLine(MikeySRTPKey const& key);

#endif
