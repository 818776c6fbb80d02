#ifndef OSTRA_MPEG4ES_VIDEO_RTP_SINK_HH
#define OSTRA_MPEG4ES_VIDEO_RTP_SINK_HH

#include <string>
#include <vector>

#include "MultiFramedRTPSink.hh"

// RTP packetization of MPEG-4 part 2 video elementary streams (RFC 6416):
// each frame in its own packet(s), the marker bit on the last packet of a
// frame. The configuration for "a=fmtp:" comes from the source when it is an
// MPEG4VideoStreamDiscreteFramer.
class MPEG4ESVideoRTPSink : public MultiFramedRTPSink {
public:
  static MPEG4ESVideoRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                                        uint32_t rtpTimestampFrequency = 90000);

  char const* sdpMediaType() const override;  // "video"
  // "a=fmtp:<pt> profile-level-id=<n>;config=<hex>\r\n" once a configuration
  // has been seen; null before.
  char const* auxSDPLine() override;

protected:
  MPEG4ESVideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                      uint32_t rtpTimestampFrequency);
  ~MPEG4ESVideoRTPSink() override;

  Boolean sourceIsCompatibleWithUs(MediaSource& source) override;
  Boolean frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) override;
  // Configuration headers (a decoder starts there) or an intra-coded VOP.
  Boolean frameIsKeyPoint(unsigned char const* frame, unsigned frameSize) override;

private:
  void refreshFmtpLine();

  std::string fFmtpLine;
  // The configuration fFmtpLine was last built from: the line is rebuilt only
  // when it changes (an encoder repeats the same one before every key frame).
  std::vector<unsigned char> fLineConfig;
  int fLineProfileLevel = -1;
};

#endif
