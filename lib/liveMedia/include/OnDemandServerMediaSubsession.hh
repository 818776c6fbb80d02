#ifndef OSTRA_ON_DEMAND_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_ON_DEMAND_SERVER_MEDIA_SUBSESSION_HH

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "FramedSource.hh"
#include "MikeyMessage.hh"
#include "Groupsock.hh"
#include "RTPSink.hh"
#include "ServerMediaSubsession.hh"

class DescriptionProbe;
class RTCPInstance;

// A track whose source and RTP sink are created on demand: once (short-lived)
// to build the SDP lines, and once per stream when the first client sets it
// up. With reuseFirstSource all clients share that one stream.
class OnDemandServerMediaSubsession : public ServerMediaSubsession {
public:
  char const* sdpLines() override;
  Boolean sdpLinesReady() override;
  Boolean getStreamParameters(unsigned clientSessionId, ClientTransport const& transport, Port& serverRTPPort,
                              Port& serverRTCPPort, void*& streamToken) override;
  Boolean sourceUnavailable() const override { return fSourceUnavailable; }
  Boolean offeredKeyGone() const override { return fOfferedKeyGone; }
  uint64_t srtpOffer(std::string& keyMgmtLine) override;
  void startStream(unsigned clientSessionId, void* streamToken, void (*livenessFunc)(void*), void* livenessClientData,
                   unsigned short& rtpSeqNum, unsigned& rtpTimestamp) override;
  void pauseStream(unsigned clientSessionId, void* streamToken) override;
  void deleteStream(unsigned clientSessionId, void*& streamToken) override;
  float streamPosition(void* streamToken) override;
  void injectInterleavedRTCP(void* streamToken, unsigned char const* packet, unsigned size,
                             InterleavedChannelWriter* fromWriter, unsigned char channelId) override;

protected:
  OnDemandServerMediaSubsession(UsageEnvironment& env, Boolean reuseFirstSource, portNumBits initialPortNum = 6970,
                                Boolean multiplexRTCPWithRTP = False);
  ~OnDemandServerMediaSubsession() override;

  // The track's source; 'estBitrate' (kbps) is set by the subclass. Null
  // when the source cannot be had now: the description is not built, and a
  // SETUP is refused (503 Service Unavailable) with nothing created.
  virtual FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) = 0;
  // The track's RTP sink over 'rtpGroupsock'.
  virtual RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                                    FramedSource* inputSource) = 0;
  // The "a=fmtp:" line for the description; by default the sink's auxSDPLine().
  virtual char const* getAuxSDPLine(RTPSink* rtpSink, FramedSource* inputSource);
  // Closes a source made by createNewStreamSource.
  virtual void closeStreamSource(FramedSource* inputSource);
  // A source that the description may read from (see fDescribeFromStream);
  // null (the default) when there is none that can be read now.
  virtual FramedSource* createDescriptionSource(unsigned& estBitrate);

  // With fDescribeFromStream the format line comes from what the stream
  // carries: the description follows the running stream's latest line, and
  // the first description with no stream running reads a description source
  // for up to kDescriptionWaitUs (sdpLinesReady says false meanwhile) and is
  // then given with what was found, if anything.
  Boolean fDescribeFromStream = False;
  static constexpr int64_t kDescriptionWaitUs = 2000000;

  Boolean fReuseFirstSource;
  portNumBits fInitialPortNum;
  Boolean fMultiplexRTCPWithRTP;

private:
  // One running stream: source, sink, RTP/RTCP sockets, RTCP and the clients
  // attached to it. Clients hold its token, never a pointer, so a stream that
  // has ended leaves no dangling reference behind.
  class StreamState;
  friend class StreamState;
  StreamState* lookupStream(void* streamToken) const;
  StreamState* createStream(unsigned clientSessionId);
  void destroyStream(StreamState* stream);
  static void afterPlayingStream(void* clientData);
  static void startPlayingStream(void* clientData);
  static void reapEndedStream(void* clientData);
  // fSDPLines from a sink, its source's bit rate and a format line (may be null).
  void buildSDPLines(RTPSink* sink, unsigned estBitrate, char const* aux);
  // A format line from the stream: kept, and the lines rebuilt when it is new.
  void noteAuxSDPLine(RTPSink* sink, unsigned estBitrate);
  void finishProbe();
  static void probeTimeout(void* clientData);
  static void closeProbeSource(void* owner, FramedSource* source);

  StreamState* fSharedStream = nullptr;  // with reuseFirstSource: the stream new clients join
  std::map<uintptr_t, StreamState*> fStreams;
  uintptr_t fNextStreamToken = 1;
  char* fSDPLines = nullptr;
  std::string fAuxSDPLine;  // with fDescribeFromStream: the latest format line
  std::unique_ptr<DescriptionProbe> fProbe;
  bool fProbed = false;  // a description source was read once
  TaskScheduler::TaskToken fProbeTimeoutTask = nullptr;
  Boolean fSourceUnavailable = False;  // the last stream could not be created for want of a source
  // The key the next stream runs with, once a description offered it (id 0: none yet).
  MikeySRTPKey fPendingKey;
  uint64_t fPendingKeyId = 0;
  Boolean fOfferedKeyGone = False;  // the last SRTP SETUP named a key no stream has
  // The SRTP side of a stream, made with its first SRTP client; false when it cannot be had.
  bool attachSRTP(StreamState* stream);
};

#endif
