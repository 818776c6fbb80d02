#ifndef OSTRA_SIMPLE_RTP_SINK_HH
#define OSTRA_SIMPLE_RTP_SINK_HH

#include "MultiFramedRTPSink.hh"

// An RTP sink for payload formats that need no special header: frames are
// packed as they come.
class SimpleRTPSink : public MultiFramedRTPSink {
public:
  static SimpleRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                                  unsigned rtpTimestampFrequency, char const* sdpMediaTypeString,
                                  char const* rtpPayloadFormatName, unsigned numChannels = 1,
                                  Boolean allowMultipleFramesPerPacket = True,
                                  Boolean doNormalMBitRule = True);

protected:
  SimpleRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                unsigned rtpTimestampFrequency, char const* sdpMediaTypeString, char const* rtpPayloadFormatName,
                unsigned numChannels, Boolean allowMultipleFramesPerPacket, Boolean doNormalMBitRule);
  ~SimpleRTPSink() override;
};

#endif
