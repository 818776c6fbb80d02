#include "SimpleRTPSink.hh"

SimpleRTPSink* SimpleRTPSink::createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                                        unsigned rtpTimestampFrequency, char const* sdpMediaTypeString,
                                        char const* rtpPayloadFormatName, unsigned numChannels,
                                        Boolean allowMultipleFramesPerPacket, Boolean doNormalMBitRule) {
  return new SimpleRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString,
                           rtpPayloadFormatName, numChannels, allowMultipleFramesPerPacket, doNormalMBitRule);
}

SimpleRTPSink::SimpleRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                             unsigned rtpTimestampFrequency, char const* sdpMediaTypeString,
                             char const* rtpPayloadFormatName, unsigned numChannels,
                             Boolean allowMultipleFramesPerPacket, Boolean doNormalMBitRule)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, rtpPayloadFormatName, numChannels),
      fSDPMediaType(sdpMediaTypeString == nullptr ? "audio" : sdpMediaTypeString),
      fAllowMultipleFramesPerPacket(allowMultipleFramesPerPacket),
      fSetMarkerOnFrameEnd(doNormalMBitRule && fSDPMediaType != "audio") {}

SimpleRTPSink::~SimpleRTPSink() = default;

char const* SimpleRTPSink::sdpMediaType() const { return fSDPMediaType.c_str(); }

Boolean SimpleRTPSink::allowMultipleFramesPerPacket() const { return fAllowMultipleFramesPerPacket; }

unsigned SimpleRTPSink::frameRequestSize(unsigned roomInPacket) const {
  return fAllowMultipleFramesPerPacket ? roomInPacket : frameBufferSize();
}

Boolean SimpleRTPSink::frameEndsWithMarker(unsigned char const* /*frame*/, unsigned /*frameSize*/) {
  return fSetMarkerOnFrameEnd;
}
