#ifndef OSTRA_SIMPLE_RTP_SINK_HH
#define OSTRA_SIMPLE_RTP_SINK_HH

#include <string>

#include "MultiFramedRTPSink.hh"

// An RTP sink for payload formats that need no special header: frames are
// packed as they come.
//
// With allowMultipleFramesPerPacket whole frames share a packet until it
// holds 1000 bytes or the next frame does not fit, and the source is asked
// for no more than the room left in the packet (so a sample-based source such
// as u-law audio is never split across packets, and every packet's timestamp
// is that of its first sample). With doNormalMBitRule the marker bit is set
// on the packet that ends a frame, except for the media type "audio", whose
// marker bit stays clear.
class SimpleRTPSink : public MultiFramedRTPSink {
public:
  static SimpleRTPSink* createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                                  unsigned rtpTimestampFrequency, char const* sdpMediaTypeString,
                                  char const* rtpPayloadFormatName, unsigned numChannels = 1,
                                  Boolean allowMultipleFramesPerPacket = True, Boolean doNormalMBitRule = True);

  char const* sdpMediaType() const override;

protected:
  SimpleRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat, unsigned rtpTimestampFrequency,
                char const* sdpMediaTypeString, char const* rtpPayloadFormatName, unsigned numChannels,
                Boolean allowMultipleFramesPerPacket, Boolean doNormalMBitRule);
  ~SimpleRTPSink() override;

  Boolean allowMultipleFramesPerPacket() const override;
  unsigned frameRequestSize(unsigned roomInPacket) const override;
  Boolean frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) override;

private:
  std::string fSDPMediaType;
  Boolean fAllowMultipleFramesPerPacket;
  Boolean fSetMarkerOnFrameEnd;
};

#endif
