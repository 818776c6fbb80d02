#ifndef OSTRA_MPEG4ES_VIDEO_RTP_SINK_HH
#define OSTRA_MPEG4ES_VIDEO_RTP_SINK_HH

#include "MultiFramedRTPSink.hh"

// RTP packetization of MPEG-4 part 2 video elementary streams (RFC 6416).
class MPEG4ESVideoRTPSink : public MultiFramedRTPSink {
public:
  static MPEG4ESVideoRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                                        uint32_t rtpTimestampFrequency = 90000);

protected:
  MPEG4ESVideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                      uint32_t rtpTimestampFrequency);
  ~MPEG4ESVideoRTPSink() override;
};

#endif
