#ifndef OSTRA_H265_VIDEO_RTP_SINK_HH
#define OSTRA_H265_VIDEO_RTP_SINK_HH

#include <string>
#include <vector>

#include "MultiFramedRTPSink.hh"

// RTP packetization of H.265 (RFC 7798), without DONL: single NAL unit
// packets, and fragmentation units (type 49, two-byte payload header, S and E
// bits) for NAL units that do not fit a packet. The source must be an
// H265VideoStreamFramer delivering NAL units without start codes; its
// picture-end mark sets the marker bit on the last packet of an access unit,
// and its parameter sets make the "a=fmtp:" line.
class H265VideoRTPSink : public MultiFramedRTPSink {
public:
  static H265VideoRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat);

  char const* sdpMediaType() const override;  // "video"
  // "a=fmtp:<pt> sprop-vps=<VPS>;sprop-sps=<SPS>;sprop-pps=<PPS>\r\n" once
  // the framer has held all three; null before. The line follows the latest
  // sets and outlives the framer.
  char const* auxSDPLine() override;

protected:
  H265VideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat);
  ~H265VideoRTPSink() override;

  Boolean sourceIsCompatibleWithUs(MediaSource& source) override;
  Boolean frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) override;
  // An IRAP picture (BLA, IDR, CRA): the access unit that carries it
  // (parameter sets first) is a key point.
  Boolean frameIsKeyPoint(unsigned char const* frame, unsigned frameSize) override;
  unsigned packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset, unsigned char* out,
                        unsigned room, unsigned& consumed) override;

private:
  void refreshFmtpLine();

  std::string fFmtpLine;
  // The parameter sets fFmtpLine was last built from.
  std::vector<unsigned char> fLineVPS, fLineSPS, fLinePPS;
};

// The "a=fmtp:" line for the given parameter sets (NAL units as found in the
// stream); empty when any is missing.
std::string h265FmtpLine(unsigned char payloadType, unsigned char const* vps, unsigned vpsSize,
                         unsigned char const* sps, unsigned spsSize, unsigned char const* pps, unsigned ppsSize);

#endif
