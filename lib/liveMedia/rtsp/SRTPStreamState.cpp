#include "SRTPStreamState.hh"

#include <sys/time.h>

#include "SystemRandom.hh"

namespace {
// NTP seconds at the Unix epoch.
constexpr uint64_t kNTPOffset = 2208988800u;
}  // namespace

std::unique_ptr<SRTPStreamState> SRTPStreamState::create(UsageEnvironment& env, MikeySRTPKey const& key,
                                                         portNumBits firstPort, RTPInterface& rtp,
                                                         RTPInterface& rtcp) {
  std::unique_ptr<Groupsock> rtpGS, rtcpGS;
  for (unsigned port = firstPort & ~1u; port + 1 <= 0xFFFF; port += 2) {
    rtpGS = std::make_unique<Groupsock>(env, Port(static_cast<portNumBits>(port)));
    if (rtpGS->socketNum() < 0) continue;
    rtcpGS = std::make_unique<Groupsock>(env, Port(static_cast<portNumBits>(port + 1)));
    if (rtcpGS->socketNum() >= 0) break;
    rtcpGS.reset();
  }
  if (!rtpGS || rtpGS->socketNum() < 0 || !rtcpGS) return nullptr;
  std::unique_ptr<SRTPStreamState> s(new SRTPStreamState(env, std::move(rtpGS), std::move(rtcpGS)));
  if (!s->fProtector.init(key.master)) return nullptr;
  rtp.setTap(&s->fRTP);
  rtcp.setTap(&s->fRTCP);
  return s;
}

SRTPStreamState::SRTPStreamState(UsageEnvironment& env, std::unique_ptr<Groupsock> rtpGS,
                                 std::unique_ptr<Groupsock> rtcpGS)
    : fRTPgs(std::move(rtpGS)),
      fRTCPgs(std::move(rtcpGS)),
      fRTP(fProtector, fRTPgs.get(), false),
      fRTCP(fProtector, fRTCPgs.get(), true, &fRTP),
      fReceiver(env, fRTCPgs.get()) {}

SRTPStreamState::~SRTPStreamState() = default;

void SRTPStreamState::attach(unsigned clientSessionId, ClientTransport const& t, SRTCPVerifier* verifier,
                             SRTCPReceiver::HandlerFunc* liveness, void* livenessClientData) {
  if (t.streamOverTCP) {
    fRTP.secure().addStreamSocket(t.tcpWriter, t.rtpChannelId);
    fRTCP.secure().addStreamSocket(t.tcpWriter, t.rtcpChannelId);
    fReceiver.addStreamClient(t.tcpWriter, t.rtcpChannelId, verifier, liveness, livenessClientData);
  } else {
    fRTPgs->addDestination(t.destinationAddress, t.clientRTPPort, clientSessionId);
    fRTCPgs->addDestination(t.destinationAddress, t.clientRTCPPort, clientSessionId);
    fReceiver.addUDPClient(t.destinationAddress, t.clientRTCPPort, verifier, liveness, livenessClientData);
  }
}

void SRTPStreamState::detach(unsigned clientSessionId, ClientTransport const& t, SRTCPVerifier* verifier) {
  fReceiver.removeClient(verifier);
  if (t.streamOverTCP) {
    fRTP.secure().removeStreamSocket(t.tcpWriter, t.rtpChannelId);
    fRTCP.secure().removeStreamSocket(t.tcpWriter, t.rtcpChannelId);
  } else {
    fRTPgs->removeDestination(clientSessionId);
    fRTCPgs->removeDestination(clientSessionId);
  }
}

uint64_t newSRTPStreamKey(MikeySRTPKey& key) {
  static uint64_t lastId = 0;
  if (!systemRandomBytes(key.master, sizeof key.master) || !systemRandomBytes(&key.ssrc, sizeof key.ssrc) ||
      !systemRandomBytes(&key.csbId, sizeof key.csbId))
    return 0;
  key.roc = 0;
  return ++lastId;
}

std::string srtpOfferLine(MikeySRTPKey const& key) {
  unsigned char rand[16];
  if (!systemRandomBytes(rand, sizeof rand)) return std::string();
  struct timeval now;
  gettimeofday(&now, nullptr);
  uint64_t ntp = (static_cast<uint64_t>(now.tv_sec) + kNTPOffset) << 32 |
                 ((static_cast<uint64_t>(now.tv_usec) << 32) / 1000000);
  return keyMgmtSDPLine(buildMikeyMessage(key, rand, ntp));
}
