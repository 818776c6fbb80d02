#ifndef OSTRA_ON_DEMAND_SERVER_MEDIA_SUBSESSION_HH
#define OSTRA_ON_DEMAND_SERVER_MEDIA_SUBSESSION_HH

#include <cstdint>
#include <map>

#include "FramedSource.hh"
#include "Groupsock.hh"
#include "RTPSink.hh"
#include "ServerMediaSubsession.hh"

class RTCPInstance;

// A track whose source and RTP sink are created on demand: once (short-lived)
// to build the SDP lines, and once per stream when the first client sets it
// up. With reuseFirstSource all clients share that one stream.
class OnDemandServerMediaSubsession : public ServerMediaSubsession {
public:
  char const* sdpLines() override;
  Boolean getStreamParameters(unsigned clientSessionId, ClientTransport const& transport, Port& serverRTPPort,
                              Port& serverRTCPPort, void*& streamToken) override;
  Boolean sourceUnavailable() const override { return fSourceUnavailable; }
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

  StreamState* fSharedStream = nullptr;  // with reuseFirstSource: the stream new clients join
  std::map<uintptr_t, StreamState*> fStreams;
  uintptr_t fNextStreamToken = 1;
  char* fSDPLines = nullptr;
  Boolean fSourceUnavailable = False;  // the last stream could not be created for want of a source
};

#endif
