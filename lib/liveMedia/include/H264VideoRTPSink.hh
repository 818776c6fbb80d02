#ifndef OSTRA_H264_VIDEO_RTP_SINK_HH
#define OSTRA_H264_VIDEO_RTP_SINK_HH

#include <string>
#include <vector>

#include "MultiFramedRTPSink.hh"

// RTP packetization of H.264 (RFC 6184): single NAL unit packets and FU-A.
// The source must be an H264VideoStreamFramer delivering NAL units without
// start codes; its picture-end mark sets the marker bit on the last packet of
// an access unit, and its parameter sets make the "a=fmtp:" line.
class H264VideoRTPSink : public MultiFramedRTPSink {
public:
  static H264VideoRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat);

  char const* sdpMediaType() const override;  // "video"
  // "a=fmtp:<pt> packetization-mode=1;profile-level-id=XXXXXX;
  // sprop-parameter-sets=<SPS>,<PPS>\r\n" once the framer holds both
  // parameter sets; null before.
  char const* auxSDPLine() override;

protected:
  H264VideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat);
  ~H264VideoRTPSink() override;

  Boolean sourceIsCompatibleWithUs(MediaSource& source) override;
  Boolean frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) override;
  // An IDR picture: the access unit that carries it (parameter sets first) is a key point.
  Boolean frameIsKeyPoint(unsigned char const* frame, unsigned frameSize) override;
  unsigned packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset, unsigned char* out,
                        unsigned room, unsigned& consumed) override;

private:
  void refreshFmtpLine();

  std::string fFmtpLine;
  // The parameter sets fFmtpLine was last built from: the line is rebuilt only
  // when they change (an encoder repeats the same ones before every key frame).
  std::vector<unsigned char> fLineSPS, fLinePPS;
  bool fHaveLineSets = false;
};

// The "a=fmtp:" line for the given parameter sets (with or without
// emulation-prevention bytes as found in the stream); empty when either is
// missing or the SPS is shorter than 4 bytes.
std::string h264FmtpLine(unsigned char payloadType, unsigned char const* sps, unsigned spsSize,
                         unsigned char const* pps, unsigned ppsSize);
// Standard base64 (RFC 4648) with padding.
std::string base64Encode(unsigned char const* data, unsigned size);

#endif
