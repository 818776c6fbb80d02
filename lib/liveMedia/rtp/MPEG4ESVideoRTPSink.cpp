#include "MPEG4ESVideoRTPSink.hh"

#include <cstdio>
#include <cstring>

#include "MPEG4VideoStreamDiscreteFramer.hh"

MPEG4ESVideoRTPSink* MPEG4ESVideoRTPSink::createNew(UsageEnvironment& env, Groupsock* RTPgs,
                                                    unsigned char rtpPayloadFormat, uint32_t rtpTimestampFrequency) {
  return new MPEG4ESVideoRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency);
}

MPEG4ESVideoRTPSink::MPEG4ESVideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat,
                                         uint32_t rtpTimestampFrequency)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, "MP4V-ES") {}

MPEG4ESVideoRTPSink::~MPEG4ESVideoRTPSink() = default;

char const* MPEG4ESVideoRTPSink::sdpMediaType() const { return "video"; }

Boolean MPEG4ESVideoRTPSink::sourceIsCompatibleWithUs(MediaSource& source) { return source.isMPEG4VideoStreamFramer(); }

Boolean MPEG4ESVideoRTPSink::frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) {
  // A frame that opens with configuration headers rather than a VOP: keep the
  // format line current (it outlives the stream).
  if (frameSize >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1 && frame[3] != 0xB6) refreshFmtpLine();
  return True;  // every frame ends with the marker bit
}

Boolean MPEG4ESVideoRTPSink::frameIsKeyPoint(unsigned char const* frame, unsigned frameSize) {
  if (frameSize < 4 || frame[0] != 0 || frame[1] != 0 || frame[2] != 1) return False;
  if (frame[3] != 0xB6) return True;              // VOS, VO, VOL or GOV headers open the frame
  return frameSize >= 5 && (frame[4] >> 6) == 0;  // vop_coding_type I
}

char const* MPEG4ESVideoRTPSink::auxSDPLine() {
  refreshFmtpLine();
  return fFmtpLine.empty() ? nullptr : fFmtpLine.c_str();
}

void MPEG4ESVideoRTPSink::refreshFmtpLine() {
  if (fSource != nullptr && fSource->isMPEG4VideoStreamFramer()) {
    auto* framer = static_cast<MPEG4VideoStreamDiscreteFramer*>(fSource);
    unsigned size = 0;
    unsigned char const* config = framer->getConfigBytes(size);
    int const profileLevel = framer->profile_and_level_indication();
    if (config != nullptr && size > 0) {
      if (profileLevel == fLineProfileLevel && fLineConfig.size() == size &&
          std::memcmp(fLineConfig.data(), config, size) == 0) {
        return;
      }
      // assign() keeps the capacity: the copy grows only to the largest configuration seen.
      fLineConfig.assign(config, config + size);
      fLineProfileLevel = profileLevel;
      char head[64];
      std::snprintf(head, sizeof head, "a=fmtp:%d profile-level-id=%d;config=", rtpPayloadType(), profileLevel);
      std::string line(head);
      static char const kHex[] = "0123456789ABCDEF";
      for (unsigned i = 0; i < size; ++i) {
        line += kHex[config[i] >> 4];
        line += kHex[config[i] & 15];
      }
      line += "\r\n";
      fFmtpLine = std::move(line);
    }
  }
}
