#include "OnDemandServerMediaSubsession.hh"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "DescriptionProbe.hh"
#include "GroupsockHelper.hh"
#include "RTCP.hh"
#include "SRTPStreamState.hh"

namespace {
// RTP send buffers hold at least this much, and about 0.2 s at the estimated rate.
constexpr unsigned kMinRTPSendBuffer = 51200;
constexpr unsigned kSendBufferBytesPerKbps = 25;

double secondsSince(struct timeval const& start) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_usec - start.tv_usec) / 1e6;
}
}  // namespace

class OnDemandServerMediaSubsession::StreamState {
public:
  struct Client {
    ClientTransport transport;
    bool attached = false;
    void* livenessClientData = nullptr;  // names its receiver-report handler
    std::unique_ptr<SRTCPVerifier> verifier;  // RTP/SAVP: checks the SRTCP it sends
  };

  StreamState(OnDemandServerMediaSubsession& master, uintptr_t token) : fMaster(master), fToken(token) {}

  // Sends the client's packets from now on.
  void attach(unsigned clientSessionId, Client& client, void (*livenessFunc)(void*), void* livenessClientData) {
    if (client.attached) return;
    client.attached = true;
    ClientTransport const& t = client.transport;
    if (t.secure) {
      fSRTP->attach(clientSessionId, t, client.verifier.get(), livenessFunc, livenessClientData);
      return;
    }
    if (t.streamOverTCP) {
      fSink->setStreamSocket(t.tcpWriter, t.rtpChannelId);
      if (fRTCP != nullptr) {
        fRTCP->addStreamSocket(t.tcpWriter, t.rtcpChannelId);
        if (livenessFunc != nullptr) {
          fRTCP->setStreamRRHandler(t.tcpWriter, t.rtcpChannelId, livenessFunc, livenessClientData);
        }
      }
    } else {
      fRTPgs->addDestination(t.destinationAddress, t.clientRTPPort, clientSessionId);
      if (fRTCPgs) fRTCPgs->addDestination(t.destinationAddress, t.clientRTCPPort, clientSessionId);
      if (fRTCP != nullptr && livenessFunc != nullptr) {
        fRTCP->setSpecificRRHandler(t.destinationAddress, t.clientRTCPPort, livenessFunc, livenessClientData);
        client.livenessClientData = livenessClientData;
      }
    }
  }

  // Stops sending to the client (and to no other).
  void detach(unsigned clientSessionId, Client& client) {
    if (!client.attached) return;
    client.attached = false;
    ClientTransport const& t = client.transport;
    if (t.secure) {
      fSRTP->detach(clientSessionId, t, client.verifier.get());
      return;
    }
    if (t.streamOverTCP) {
      fSink->removeStreamSocket(t.tcpWriter, t.rtpChannelId);
      if (fRTCP != nullptr) {
        fRTCP->unsetStreamRRHandler(t.tcpWriter, t.rtcpChannelId);
        fRTCP->removeStreamSocket(t.tcpWriter, t.rtcpChannelId);
      }
    } else {
      fRTPgs->removeDestination(clientSessionId);
      if (fRTCPgs) fRTCPgs->removeDestination(clientSessionId);
      if (fRTCP != nullptr)
        fRTCP->unsetSpecificRRHandler(t.destinationAddress, t.clientRTCPPort, client.livenessClientData);
    }
  }

  ~StreamState() {
    TaskScheduler& scheduler = fMaster.envir().taskScheduler();
    scheduler.unscheduleDelayedTask(fStartTask);
    scheduler.unscheduleDelayedTask(fReapTask);
    // Closing RTCP first says BYE to whoever is still attached (only when the
    // source ended: departing clients were detached before).
    Medium::close(fRTCP);
    if (fSink != nullptr) {
      fSink->stopPlaying();
      Medium::close(fSink);
    }
    if (fSource != nullptr) fMaster.closeStreamSource(fSource);
    fSRTP.reset();  // after the sink and RTCP, whose last packets it protected
  }

  OnDemandServerMediaSubsession& fMaster;
  uintptr_t fToken;
  FramedSource* fSource = nullptr;
  RTPSink* fSink = nullptr;
  RTCPInstance* fRTCP = nullptr;
  // The sockets outlive the media above: members go after the destructor body.
  std::unique_ptr<Groupsock> fRTPgs, fRTCPgs;  // fRTCPgs is null when RTCP shares the RTP socket
  unsigned fEstBitrate = 0;
  bool fPlaying = false;
  bool fEnded = false;
  struct timeval fStartTime {};
  TaskScheduler::TaskToken fStartTask = nullptr;
  TaskScheduler::TaskToken fReapTask = nullptr;
  std::map<unsigned, Client> fClients;
  // The run's SRTP key (id 0: none could be drawn) and, with SRTP clients, its SRTP side.
  MikeySRTPKey fKey;
  uint64_t fKeyId = 0;
  std::unique_ptr<SRTPStreamState> fSRTP;
};

OnDemandServerMediaSubsession::OnDemandServerMediaSubsession(UsageEnvironment& env, Boolean reuseFirstSource,
                                                             portNumBits initialPortNum, Boolean multiplexRTCPWithRTP)
    : ServerMediaSubsession(env),
      fReuseFirstSource(reuseFirstSource),
      fInitialPortNum(initialPortNum),
      fMultiplexRTCPWithRTP(multiplexRTCPWithRTP) {
  if (!fMultiplexRTCPWithRTP) fInitialPortNum = static_cast<portNumBits>(fInitialPortNum & ~1u);
}

OnDemandServerMediaSubsession::~OnDemandServerMediaSubsession() {
  finishProbe();
  while (!fStreams.empty()) destroyStream(fStreams.begin()->second);
  delete[] fSDPLines;
}

char const* OnDemandServerMediaSubsession::getAuxSDPLine(RTPSink* rtpSink, FramedSource* /*inputSource*/) {
  return rtpSink == nullptr ? nullptr : rtpSink->auxSDPLine();
}

void OnDemandServerMediaSubsession::closeStreamSource(FramedSource* inputSource) { Medium::close(inputSource); }

FramedSource* OnDemandServerMediaSubsession::createDescriptionSource(unsigned& /*estBitrate*/) { return nullptr; }

void OnDemandServerMediaSubsession::buildSDPLines(RTPSink* sink, unsigned estBitrate, char const* aux) {
  std::string lines;
  char buf[200];
  std::snprintf(buf, sizeof buf, "m=%s 0 RTP/AVP %u\r\nc=IN IP4 0.0.0.0\r\nb=AS:%u\r\n", sink->sdpMediaType(),
                static_cast<unsigned>(sink->rtpPayloadType()), estBitrate);
  lines += buf;
  char* rtpmap = sink->rtpmapLine();
  if (rtpmap != nullptr) lines += rtpmap;
  delete[] rtpmap;
  if (aux != nullptr && aux[0] != '\0') {
    lines += aux;
    if (lines.size() < 2 || lines.compare(lines.size() - 2, 2, "\r\n") != 0) lines += "\r\n";
  }
  lines.append("a=control:").append(trackId()).append("\r\n");
  delete[] fSDPLines;
  fSDPLines = strDup(lines.c_str());
}

char const* OnDemandServerMediaSubsession::sdpLines() {
  if (fSDPLines != nullptr) return fSDPLines;

  // A short-lived source and sink tell what the track looks like.
  unsigned estBitrate = 0;
  FramedSource* source = createNewStreamSource(0, estBitrate);
  if (source == nullptr) return nullptr;
  Groupsock dummyGroupsock(envir(), Port(0));
  unsigned char payloadType = static_cast<unsigned char>(96 + trackNumber() - 1);
  RTPSink* sink = createNewRTPSink(&dummyGroupsock, payloadType, source);
  if (sink == nullptr) {
    closeStreamSource(source);
    return nullptr;
  }
  buildSDPLines(sink, estBitrate, fDescribeFromStream ? fAuxSDPLine.c_str() : getAuxSDPLine(sink, source));
  Medium::close(sink);
  closeStreamSource(source);
  return fSDPLines;
}

void OnDemandServerMediaSubsession::noteAuxSDPLine(RTPSink* sink, unsigned estBitrate) {
  char const* aux = sink->auxSDPLine();
  if (aux == nullptr || fAuxSDPLine == aux) return;
  fAuxSDPLine = aux;
  buildSDPLines(sink, estBitrate, aux);
}

Boolean OnDemandServerMediaSubsession::sdpLinesReady() {
  if (!fDescribeFromStream) return True;
  if (fSharedStream != nullptr && !fSharedStream->fEnded) {
    // A running stream: its latest parameter sets describe the track.
    noteAuxSDPLine(fSharedStream->fSink, fSharedStream->fEstBitrate);
    return True;
  }
  if (fProbe == nullptr) {
    // Read once: after that the lines follow the streams that run.
    if (fProbed || !fAuxSDPLine.empty()) return True;
    unsigned estBitrate = 0;
    FramedSource* source = createDescriptionSource(estBitrate);
    if (source == nullptr) return True;
    auto socket = std::make_unique<Groupsock>(envir(), Port(0));
    unsigned char payloadType = static_cast<unsigned char>(96 + trackNumber() - 1);
    RTPSink* sink = createNewRTPSink(socket.get(), payloadType, source);
    if (sink == nullptr) {
      closeStreamSource(source);
      return True;
    }
    fProbe = std::make_unique<DescriptionProbe>(source, sink, std::move(socket), estBitrate, closeProbeSource, this);
    fProbed = true;
    fProbeTimeoutTask = envir().taskScheduler().scheduleDelayedTask(kDescriptionWaitUs, probeTimeout, this);
  }
  if (fProbe->auxSDPLine() == nullptr && !fProbe->ended()) return False;
  finishProbe();
  return True;
}

void OnDemandServerMediaSubsession::finishProbe() {
  envir().taskScheduler().unscheduleDelayedTask(fProbeTimeoutTask);
  if (fProbe == nullptr) return;
  noteAuxSDPLine(fProbe->sink(), fProbe->estBitrate());
  if (fSDPLines == nullptr) buildSDPLines(fProbe->sink(), fProbe->estBitrate(), nullptr);
  fProbe.reset();
}

void OnDemandServerMediaSubsession::probeTimeout(void* clientData) {
  auto* self = static_cast<OnDemandServerMediaSubsession*>(clientData);
  self->fProbeTimeoutTask = nullptr;
  self->finishProbe();
}

void OnDemandServerMediaSubsession::closeProbeSource(void* owner, FramedSource* source) {
  static_cast<OnDemandServerMediaSubsession*>(owner)->closeStreamSource(source);
}

OnDemandServerMediaSubsession::StreamState* OnDemandServerMediaSubsession::lookupStream(void* streamToken) const {
  auto it = fStreams.find(reinterpret_cast<uintptr_t>(streamToken));
  if (it == fStreams.end() || it->second->fEnded) return nullptr;
  return it->second;
}

OnDemandServerMediaSubsession::StreamState* OnDemandServerMediaSubsession::createStream(unsigned clientSessionId) {
  UsageEnvironment& env = envir();
  std::unique_ptr<Groupsock> rtpGS, rtcpGS;
  // An RTP port (even unless RTCP shares it) and the next one for RTCP,
  // searched upwards; pairs in use by anyone are skipped.
  unsigned step = fMultiplexRTCPWithRTP ? 1 : 2;
  for (unsigned port = fInitialPortNum; port + 1 <= 0xFFFF; port += step) {
    rtpGS = std::make_unique<Groupsock>(env, Port(static_cast<portNumBits>(port)));
    if (rtpGS->socketNum() < 0) continue;
    if (fMultiplexRTCPWithRTP) break;
    rtcpGS = std::make_unique<Groupsock>(env, Port(static_cast<portNumBits>(port + 1)));
    if (rtcpGS->socketNum() >= 0) break;
    rtcpGS.reset();
  }
  if (!rtpGS || rtpGS->socketNum() < 0 || (!fMultiplexRTCPWithRTP && !rtcpGS)) return nullptr;

  unsigned estBitrate = 0;
  FramedSource* source = createNewStreamSource(clientSessionId, estBitrate);
  if (source == nullptr) {
    fSourceUnavailable = True;
    return nullptr;  // the sockets close on the way out
  }
  unsigned char payloadType = static_cast<unsigned char>(96 + trackNumber() - 1);
  RTPSink* sink = createNewRTPSink(rtpGS.get(), payloadType, source);
  if (sink == nullptr) {
    closeStreamSource(source);
    return nullptr;
  }

  unsigned bufferSize = estBitrate * kSendBufferBytesPerKbps;
  if (bufferSize < kMinRTPSendBuffer) bufferSize = kMinRTPSendBuffer;
  increaseSendBufferTo(env, rtpGS->socketNum(), bufferSize);

  char cname[101];
  if (gethostname(cname, sizeof cname - 1) != 0) cname[0] = '\0';
  cname[sizeof cname - 1] = '\0';
  Groupsock* rtcpSocket = fMultiplexRTCPWithRTP ? rtpGS.get() : rtcpGS.get();
  RTCPInstance* rtcp =
      RTCPInstance::createNew(env, rtcpSocket, estBitrate, reinterpret_cast<unsigned char const*>(cname), sink);

  uintptr_t token = fNextStreamToken++;
  auto* stream = new StreamState(*this, token);
  // The run takes the key a description offered, or a fresh one: no two runs share a key.
  stream->fKey = fPendingKey;
  stream->fKeyId = fPendingKeyId != 0 ? fPendingKeyId : newSRTPStreamKey(stream->fKey);
  fPendingKeyId = 0;
  if (stream->fKeyId != 0) sink->setSSRC(stream->fKey.ssrc);
  stream->fSource = source;
  stream->fSink = sink;
  stream->fRTCP = rtcp;
  stream->fRTPgs = std::move(rtpGS);
  stream->fRTCPgs = std::move(rtcpGS);
  stream->fEstBitrate = estBitrate;
  fStreams[token] = stream;
  return stream;
}

void OnDemandServerMediaSubsession::destroyStream(StreamState* stream) {
  if (fDescribeFromStream && stream->fSink != nullptr) noteAuxSDPLine(stream->fSink, stream->fEstBitrate);
  if (fSharedStream == stream) fSharedStream = nullptr;
  fStreams.erase(stream->fToken);
  delete stream;
}

Boolean OnDemandServerMediaSubsession::getStreamParameters(unsigned clientSessionId, ClientTransport const& transport,
                                                           Port& serverRTPPort, Port& serverRTCPPort,
                                                           void*& streamToken) {
  if (transport.streamOverTCP && transport.tcpWriter == nullptr) return False;
  StreamState* stream = nullptr;
  if (fReuseFirstSource && fSharedStream != nullptr && !fSharedStream->fEnded) stream = fSharedStream;
  fSourceUnavailable = False;
  // The client decrypts with the key its description offered: that of the
  // stream it joins, or of the run that starts now.
  fOfferedKeyGone = transport.secure && (transport.offeredKeyId == 0 ||
                                         transport.offeredKeyId != (stream != nullptr ? stream->fKeyId : fPendingKeyId));
  if (fOfferedKeyGone) return False;
  if (stream == nullptr) {
    stream = createStream(clientSessionId);
    if (stream == nullptr) return False;
    if (fReuseFirstSource) fSharedStream = stream;
  }
  std::unique_ptr<SRTCPVerifier> verifier;
  if (transport.secure) {
    verifier = std::make_unique<SRTCPVerifier>();
    if (!verifier->init(transport.clientMasterKey) || !attachSRTP(stream)) {
      if (stream->fClients.empty()) destroyStream(stream);
      return False;
    }
  }
  StreamState::Client& client = stream->fClients[clientSessionId];
  stream->detach(clientSessionId, client);  // a repeated SETUP replaces the transport
  client.transport = transport;
  serverRTPPort = stream->fRTPgs->port();
  serverRTCPPort = stream->fRTCPgs ? stream->fRTCPgs->port() : stream->fRTPgs->port();
  client.verifier = std::move(verifier);
  if (transport.secure) {
    serverRTPPort = stream->fSRTP->rtpPort();
    serverRTCPPort = stream->fSRTP->rtcpPort();
  }
  streamToken = reinterpret_cast<void*>(stream->fToken);
  return True;
}

void OnDemandServerMediaSubsession::startPlayingStream(void* clientData) {
  auto* stream = static_cast<StreamState*>(clientData);
  stream->fStartTask = nullptr;
  if (stream->fEnded || !stream->fPlaying) return;
  if (!stream->fSink->startPlaying(*stream->fSource, afterPlayingStream, stream)) {
    stream->fPlaying = false;
  }
}

void OnDemandServerMediaSubsession::startStream(unsigned clientSessionId, void* streamToken,
                                                void (*livenessFunc)(void*), void* livenessClientData,
                                                unsigned short& rtpSeqNum, unsigned& rtpTimestamp) {
  rtpSeqNum = 0;
  rtpTimestamp = 0;
  StreamState* stream = lookupStream(streamToken);
  if (stream == nullptr) return;
  auto it = stream->fClients.find(clientSessionId);
  if (it == stream->fClients.end()) return;
  stream->attach(clientSessionId, it->second, livenessFunc, livenessClientData);

  rtpSeqNum = stream->fSink->currentSeqNo();
  if (stream->fPlaying) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    rtpTimestamp = stream->fSink->convertToRTPTimestamp(now);
  } else {
    rtpTimestamp = stream->fSink->presetNextTimestamp();
  }
  // Every destination hears a report now, before the new client's first RTP packet.
  if (stream->fRTCP != nullptr) stream->fRTCP->sendReport();

  if (!stream->fPlaying) {
    // The sink starts from the event loop, so the PLAY answer goes out before
    // the first RTP packet on an interleaved connection.
    stream->fPlaying = true;
    gettimeofday(&stream->fStartTime, nullptr);
    stream->fStartTask = envir().taskScheduler().scheduleDelayedTask(0, startPlayingStream, stream);
  }
}

void OnDemandServerMediaSubsession::pauseStream(unsigned /*clientSessionId*/, void* streamToken) {
  if (fReuseFirstSource) return;  // a shared stream keeps flowing for everyone
  StreamState* stream = lookupStream(streamToken);
  if (stream == nullptr || !stream->fPlaying) return;
  envir().taskScheduler().unscheduleDelayedTask(stream->fStartTask);
  stream->fSink->stopPlaying();
  stream->fPlaying = false;
}

void OnDemandServerMediaSubsession::deleteStream(unsigned clientSessionId, void*& streamToken) {
  // An ended stream that is not yet reaped still holds the client's
  // destinations (its BYE goes to them): detach from it all the same.
  auto found = fStreams.find(reinterpret_cast<uintptr_t>(streamToken));
  streamToken = nullptr;
  if (found == fStreams.end()) return;
  StreamState* stream = found->second;
  auto it = stream->fClients.find(clientSessionId);
  if (it == stream->fClients.end()) return;
  stream->detach(clientSessionId, it->second);
  stream->fClients.erase(it);
  if (stream->fClients.empty() && !stream->fEnded) destroyStream(stream);
}

float OnDemandServerMediaSubsession::streamPosition(void* streamToken) {
  StreamState* stream = lookupStream(streamToken);
  if (stream == nullptr || !stream->fPlaying) return 0.0f;
  return static_cast<float>(secondsSince(stream->fStartTime));
}

void OnDemandServerMediaSubsession::injectInterleavedRTCP(void* streamToken, unsigned char const* packet, unsigned size,
                                                          InterleavedChannelWriter* fromWriter,
                                                          unsigned char channelId) {
  StreamState* stream = lookupStream(streamToken);
  if (stream != nullptr && stream->fSRTP && stream->fSRTP->receiver().injectReport(packet, size, fromWriter, channelId))
    return;
  if (stream != nullptr && stream->fRTCP != nullptr) stream->fRTCP->injectReport(packet, size, fromWriter, channelId);
}

void OnDemandServerMediaSubsession::afterPlayingStream(void* clientData) {
  // The source has ended. The stream is taken down from the event loop (not
  // from inside the sink's own callback); from now on it takes no clients.
  auto* stream = static_cast<StreamState*>(clientData);
  if (stream->fEnded) return;
  stream->fEnded = true;
  stream->fPlaying = false;
  OnDemandServerMediaSubsession& master = stream->fMaster;
  if (master.fSharedStream == stream) master.fSharedStream = nullptr;
  stream->fReapTask = master.envir().taskScheduler().scheduleDelayedTask(0, reapEndedStream, stream);
}

void OnDemandServerMediaSubsession::reapEndedStream(void* clientData) {
  auto* stream = static_cast<StreamState*>(clientData);
  stream->fReapTask = nullptr;
  stream->fMaster.destroyStream(stream);
}

bool OnDemandServerMediaSubsession::attachSRTP(StreamState* stream) {
  if (!stream->fSRTP && stream->fRTCP != nullptr) {
    stream->fSRTP = SRTPStreamState::create(envir(), stream->fKey, fInitialPortNum, stream->fSink->rtpInterface(),
                                            stream->fRTCP->rtcpInterface());
  }
  return stream->fSRTP != nullptr;
}

uint64_t OnDemandServerMediaSubsession::srtpOffer(std::string& keyMgmtLine) {
  keyMgmtLine.clear();
#if OSTRA_SRTP
  StreamState* running = fReuseFirstSource && fSharedStream != nullptr && !fSharedStream->fEnded ? fSharedStream : nullptr;
  // Without a running stream: the next run's key, drawn now, so that the description carries it.
  if (running == nullptr && fPendingKeyId == 0 && (fPendingKeyId = newSRTPStreamKey(fPendingKey)) == 0) return 0;
  MikeySRTPKey key = running != nullptr ? running->fKey : fPendingKey;
  if (running != nullptr) {
    if (running->fKeyId == 0) return 0;
    // A late joiner starts from the sender's current rollover counter.
    if (running->fSRTP) key.roc = running->fSRTP->rolloverCounter(key.ssrc);
  }
  keyMgmtLine = srtpOfferLine(key);
  if (keyMgmtLine.empty()) return 0;
  return running != nullptr ? running->fKeyId : fPendingKeyId;
#else
  return 0;
#endif
}
