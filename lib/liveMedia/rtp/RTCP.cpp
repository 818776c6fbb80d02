#include "RTCP.hh"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "RTPConstants.hh"
#include "RTPSink.hh"

namespace {

constexpr unsigned char kPT_SR = 200;
constexpr unsigned char kPT_RR = 201;
constexpr unsigned char kPT_SDES = 202;
constexpr unsigned char kPT_BYE = 203;
constexpr unsigned kIPUDPOverhead = 28;
constexpr double kMinIntervalSeconds = 5.0;
// Compensates for the "timer reconsideration" converging below the intended
// average (RFC 3550, section 6.3.1): e - 3/2.
constexpr double kCompensation = 2.71828 - 1.5;
constexpr unsigned kMaxCNAMELength = 255;

void put32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

RTCPInstance* RTCPInstance::createNew(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW,
                                      unsigned char const* cname, RTPSink* sink) {
  return new RTCPInstance(env, RTCPgs, totSessionBW, cname, sink);
}

RTCPInstance::RTCPInstance(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW, unsigned char const* cname,
                           RTPSink* sink)
    : Medium(env),
      // Interleaved clients get reports from the RTP stream's store, in order with its packets.
      fRTCPInterface(RTCPgs, TrackOutputStore::Kind::RTCP, sink != nullptr ? &sink->rtpInterface() : nullptr),
      fSink(sink),
      fCNAME(cname == nullptr ? "" : reinterpret_cast<char const*>(cname)),
      fRTCPBandwidth(totSessionBW * 1000.0 / 8.0 * 0.05),
      fOwnSSRC(ostra_rtp::random32()) {
  if (fCNAME.size() > kMaxCNAMELength) fCNAME.resize(kMaxCNAMELength);
  // The first estimate of the average report size is our own report.
  fAvgRTCPSize = (sink != nullptr ? 28.0 : 8.0) + ((10 + fCNAME.size() + 4) & ~3u) + kIPUDPOverhead;
  if (RTCPgs != nullptr && RTCPgs->socketNum() >= 0) {
    env.taskScheduler().setBackgroundHandling(RTCPgs->socketNum(), SOCKET_READABLE, incomingReportHandler, this);
    fReading = true;
  }
  scheduleNextReport();
}

RTCPInstance::~RTCPInstance() {
  envir().taskScheduler().unscheduleDelayedTask(fReportTask);
  Groupsock* gs = fRTCPInterface.gs();
  if (fReading && gs != nullptr) envir().taskScheduler().disableBackgroundHandling(gs->socketNum());
  // Whoever is still attached learns that this stream has ended.
  if (fRTCPInterface.hasReceivers()) sendBYE();
}

Boolean RTCPInstance::isRTCPInstance() const { return True; }

uint32_t RTCPInstance::ourSSRC() const { return fSink != nullptr ? fSink->SSRC() : fOwnSSRC; }

unsigned RTCPInstance::addSR(unsigned char* p) {
  if (fSink == nullptr) {
    // No sender: an empty receiver report opens the compound packet.
    p[0] = 0x80;
    p[1] = kPT_RR;
    p[2] = 0;
    p[3] = 1;
    put32(p + 4, ourSSRC());
    return 8;
  }
  struct timeval now;
  gettimeofday(&now, nullptr);
  p[0] = 0x80;  // V=2, no padding, no report blocks
  p[1] = kPT_SR;
  p[2] = 0;
  p[3] = 6;
  put32(p + 4, fSink->SSRC());
  // NTP time: seconds since 1900, then the fraction of a second in 1/2^32.
  put32(p + 8, static_cast<uint32_t>(now.tv_sec) + 2208988800u);
  put32(p + 12, static_cast<uint32_t>((static_cast<uint64_t>(now.tv_usec) << 32) / 1000000));
  put32(p + 16, fSink->convertToRTPTimestamp(now));
  put32(p + 20, fSink->packetCount());
  put32(p + 24, fSink->octetCount());
  return 28;
}

unsigned RTCPInstance::addSDES(unsigned char* p) {
  unsigned const cnameLen = static_cast<unsigned>(fCNAME.size());
  // SSRC, CNAME item (type, length, text), then at least one null octet
  // ending the item list, padded to a 32-bit boundary.
  unsigned chunk = 4 + 2 + cnameLen + 1;
  chunk = (chunk + 3) & ~3u;
  unsigned total = 4 + chunk;
  std::memset(p, 0, total);
  p[0] = 0x81;  // one chunk
  p[1] = kPT_SDES;
  p[2] = static_cast<unsigned char>((total / 4 - 1) >> 8);
  p[3] = static_cast<unsigned char>(total / 4 - 1);
  put32(p + 4, ourSSRC());
  p[8] = 1;  // CNAME
  p[9] = static_cast<unsigned char>(cnameLen);
  std::memcpy(p + 10, fCNAME.data(), cnameLen);
  return total;
}

unsigned RTCPInstance::addBYE(unsigned char* p) {
  p[0] = 0x81;
  p[1] = kPT_BYE;
  p[2] = 0;
  p[3] = 1;
  put32(p + 4, ourSSRC());
  return 8;
}

void RTCPInstance::sendBuilt(unsigned size) {
  fRTCPInterface.sendPacket(fOutBuf, size);
  ++fNumReportsSent;
  fAvgRTCPSize = (1.0 / 16.0) * (size + kIPUDPOverhead) + (15.0 / 16.0) * fAvgRTCPSize;
}

void RTCPInstance::sendReport() {
  unsigned n = addSR(fOutBuf);
  n += addSDES(fOutBuf + n);
  sendBuilt(n);
}

void RTCPInstance::sendBYE() {
  unsigned n = addSR(fOutBuf);
  n += addBYE(fOutBuf + n);
  // The stream's output store goes with the stream: interleaved clients still
  // behind in it get the BYE in their own queues.
  fRTCPInterface.sendLastPacket(fOutBuf, n);
  ++fNumReportsSent;
}

void RTCPInstance::scheduleNextReport() {
  // RFC 3550 section 6.3.1 / appendix A.7 for one sender: the interval is the
  // larger of the minimum and the time our share of the RTCP bandwidth needs
  // for one average report, randomised over [0.5, 1.5] and compensated.
  Groupsock* gs = fRTCPInterface.gs();
  unsigned receivers = (gs != nullptr ? gs->numDestinations() : 0) + fRTCPInterface.numStreamSockets();
  double members = 1.0 + receivers;
  double senders = fSink != nullptr ? 1.0 : 0.0;
  double bw = fRTCPBandwidth > 0 ? fRTCPBandwidth : 1.0;
  double n = members;
  if (senders > 0 && senders <= members * 0.25) {
    bw *= 0.25;
    n = senders;
  }
  double tMin = fInitialReport ? kMinIntervalSeconds / 2 : kMinIntervalSeconds;
  double t = fAvgRTCPSize * n / bw;
  if (t < tMin) t = tMin;
  t = t * (0.5 + ostra_rtp::randomUnit()) / kCompensation;
  fInitialReport = false;
  fLastInterval = static_cast<int64_t>(t * 1e6);
  fReportTask = envir().taskScheduler().scheduleDelayedTask(fLastInterval, onExpire, this);
}

void RTCPInstance::onExpire(void* clientData) {
  auto* self = static_cast<RTCPInstance*>(clientData);
  self->fReportTask = nullptr;
  if (self->fRTCPInterface.hasReceivers()) self->sendReport();
  self->scheduleNextReport();
}

Boolean RTCPInstance::containsReceiverReport(unsigned char const* packet, unsigned size) {
  bool found = false;
  unsigned pos = 0;
  while (pos + 4 <= size) {
    unsigned char const* p = packet + pos;
    if ((p[0] >> 6) != 2) return False;
    unsigned len = (((unsigned(p[2]) << 8) | p[3]) + 1) * 4;
    if (pos + len > size) return False;
    if (p[1] == kPT_RR) found = true;
    pos += len;
  }
  return found && pos == size;
}

void RTCPInstance::incomingReportHandler(void* clientData, int /*mask*/) {
  static_cast<RTCPInstance*>(clientData)->incomingReportHandler1();
}

void RTCPInstance::incomingReportHandler1() {
  Groupsock* gs = fRTCPInterface.gs();
  if (gs == nullptr) return;
  struct sockaddr_storage from {};
  socklen_t fromLen = sizeof from;
  // One datagram per event: the loop calls again while more are waiting, and
  // the handler we call may close this instance.
  ssize_t n =
      ::recvfrom(gs->socketNum(), fInBuf, sizeof fInBuf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
  if (n <= 0) return;
  ++fNumPacketsReceived;
  fAvgRTCPSize = (1.0 / 16.0) * (static_cast<double>(n) + kIPUDPOverhead) + (15.0 / 16.0) * fAvgRTCPSize;
  if (!containsReceiverReport(fInBuf, static_cast<unsigned>(n))) return;
  Port fromPort;
  NetAddress const fromAddress = NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), fromLen, &fromPort);
  // Several sessions may name the same address and port: the one that named
  // it last hears its reports.
  for (size_t i = fUdpHandlers.size(); i-- > 0;) {
    UdpHandler const& h = fUdpHandlers[i];
    if (h.addr == fromAddress && h.port == fromPort.num()) {
      RRHandlerFunc* handler = h.handler;
      void* cd = h.clientData;
      if (handler != nullptr) handler(cd);
      return;
    }
  }
}

void RTCPInstance::injectReport(unsigned char const* packet, unsigned size, InterleavedChannelWriter* fromWriter,
                                unsigned char channelId) {
  ++fNumPacketsReceived;
  if (packet == nullptr || !containsReceiverReport(packet, size)) return;
  for (StreamHandler const& h : fStreamHandlers) {
    if (h.writer == fromWriter && h.channelId == channelId) {
      RRHandlerFunc* handler = h.handler;
      void* cd = h.clientData;
      if (handler != nullptr) handler(cd);
      return;
    }
  }
}

void RTCPInstance::setSpecificRRHandler(NetAddress const& fromAddress, Port fromPort, RRHandlerFunc* handler,
                                        void* clientData) {
  unsetSpecificRRHandler(fromAddress, fromPort, clientData);
  fUdpHandlers.push_back(UdpHandler{fromAddress, fromPort.num(), handler, clientData});
}

void RTCPInstance::unsetSpecificRRHandler(NetAddress const& fromAddress, Port fromPort, void* clientData) {
  for (size_t i = 0; i < fUdpHandlers.size(); ++i) {
    UdpHandler const& h = fUdpHandlers[i];
    if (h.addr == fromAddress && h.port == fromPort.num() && h.clientData == clientData) {
      fUdpHandlers.erase(fUdpHandlers.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void RTCPInstance::setStreamRRHandler(InterleavedChannelWriter* writer, unsigned char channelId, RRHandlerFunc* handler,
                                      void* clientData) {
  for (StreamHandler& h : fStreamHandlers) {
    if (h.writer == writer && h.channelId == channelId) {
      h.handler = handler;
      h.clientData = clientData;
      return;
    }
  }
  fStreamHandlers.push_back(StreamHandler{writer, channelId, handler, clientData});
}

void RTCPInstance::unsetStreamRRHandler(InterleavedChannelWriter* writer, unsigned char channelId) {
  for (size_t i = 0; i < fStreamHandlers.size(); ++i) {
    if (fStreamHandlers[i].writer == writer && fStreamHandlers[i].channelId == channelId) {
      fStreamHandlers.erase(fStreamHandlers.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}
