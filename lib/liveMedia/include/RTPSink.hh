#ifndef OSTRA_RTP_SINK_HH
#define OSTRA_RTP_SINK_HH

#include <sys/time.h>

#include <cstdint>

#include "MediaSink.hh"
#include "RTPInterface.hh"

// A sink that sends its frames as RTP packets (RFC 3550).
class RTPSink : public MediaSink {
public:
  Groupsock& groupsockBeingUsed() const { return *fRTPInterface.gs(); }
  RTPInterface& rtpInterface() { return fRTPInterface; }

  unsigned char rtpPayloadType() const { return fRTPPayloadType; }
  unsigned rtpTimestampFrequency() const { return fTimestampFrequency; }
  char const* rtpPayloadFormatName() const { return fRTPPayloadFormatName; }
  unsigned numChannels() const { return fNumChannels; }
  virtual char const* sdpMediaType() const;  // "audio", "video", ...

  // "a=rtpmap:<pt> <name>/<freq>[/<channels>]\r\n" for a dynamic payload
  // type; an empty text for a static one. Allocated with new[].
  char* rtpmapLine() const;
  // The "a=fmtp:..." line, or null when the sink has none (yet).
  virtual char const* auxSDPLine();

  uint32_t SSRC() const { return fSSRC; }
  void setSSRC(uint32_t ssrc) { fSSRC = ssrc; }  // before the first packet
  uint16_t currentSeqNo() const { return fSeqNo; }  // next sequence number to send
  // The RTP timestamp of "now" on this sink's clock; also makes it the
  // timestamp that the next packet would carry for a frame presented now.
  uint32_t presetNextTimestamp();
  uint32_t convertToRTPTimestamp(struct timeval tv) const;

  // Counters for RTCP sender reports.
  unsigned packetCount() const { return fPacketCount; }
  unsigned octetCount() const { return fOctetCount; }  // payload bytes
  // Presentation time and RTP timestamp of the most recent packet sent.
  struct timeval const& lastPresentationTime() const {
    return fLastPresentationTime;
  }
  Boolean hasSentPackets() const { return fPacketCount > 0; }

  void setStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
    fRTPInterface.addStreamSocket(writer, channelId);
  }
  void removeStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
    fRTPInterface.removeStreamSocket(writer, channelId);
  }

protected:
  RTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadType, uint32_t rtpTimestampFrequency,
          char const* rtpPayloadFormatName, unsigned numChannels);
  ~RTPSink() override;

  RTPInterface fRTPInterface;
  unsigned char fRTPPayloadType;
  unsigned fPacketCount = 0, fOctetCount = 0;
  uint32_t fSSRC;
  uint16_t fSeqNo;
  uint32_t fTimestampBase;
  struct timeval fLastPresentationTime {};

private:
  uint32_t fTimestampFrequency;
  char* fRTPPayloadFormatName;
  unsigned fNumChannels;
};

#endif
