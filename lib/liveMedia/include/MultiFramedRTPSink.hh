#ifndef OSTRA_MULTI_FRAMED_RTP_SINK_HH
#define OSTRA_MULTI_FRAMED_RTP_SINK_HH

#include "RTPSink.hh"

// An RTP sink that packs frames into packets: several small frames per packet
// where the payload format allows it, a large frame split across packets, and
// sending paced by the frames' durations.
class MultiFramedRTPSink : public RTPSink {
protected:
  MultiFramedRTPSink(UsageEnvironment& env, Groupsock* rtpgs, unsigned char rtpPayloadType,
                     unsigned rtpTimestampFrequency, char const* rtpPayloadFormatName, unsigned numChannels = 1);
  ~MultiFramedRTPSink() override;
};

#endif
