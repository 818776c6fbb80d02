#ifndef OSTRA_H264_VIDEO_RTP_SINK_HH
#define OSTRA_H264_VIDEO_RTP_SINK_HH

#include "MultiFramedRTPSink.hh"

// RTP packetization of H.264 (RFC 6184): single NAL unit packets and FU-A.
class H264VideoRTPSink : public MultiFramedRTPSink {
public:
  static H264VideoRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat);

protected:
  H264VideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat);
  ~H264VideoRTPSink() override;
};

#endif
