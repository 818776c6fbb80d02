#include "RTPSink.hh"

#include <sys/time.h>

#include <cstdio>
#include <cstring>

#include "RTPConstants.hh"

RTPSink::RTPSink(UsageEnvironment& env, Groupsock* rtpGS, unsigned char rtpPayloadType, uint32_t rtpTimestampFrequency,
                 char const* rtpPayloadFormatName, unsigned numChannels)
    : MediaSink(env),
      fRTPInterface(rtpGS),
      fRTPPayloadType(rtpPayloadType),
      fSSRC(ostra_rtp::random32()),
      fSeqNo(static_cast<uint16_t>(ostra_rtp::random32())),
      fTimestampBase(ostra_rtp::random32()),
      fTimestampFrequency(rtpTimestampFrequency),
      fRTPPayloadFormatName(strDup(rtpPayloadFormatName == nullptr ? "" : rtpPayloadFormatName)),
      fNumChannels(numChannels) {}

RTPSink::~RTPSink() { delete[] fRTPPayloadFormatName; }

char const* RTPSink::sdpMediaType() const { return "data"; }

char* RTPSink::rtpmapLine() const {
  if (fRTPPayloadType < 96) return strDup("");  // static payload types need no rtpmap
  char channels[16] = "";
  if (fNumChannels > 1) std::snprintf(channels, sizeof channels, "/%u", fNumChannels);
  size_t len = std::strlen(fRTPPayloadFormatName) + 64;
  char* line = new char[len];
  std::snprintf(line, len, "a=rtpmap:%d %s/%u%s\r\n", fRTPPayloadType, fRTPPayloadFormatName, fTimestampFrequency,
                channels);
  return line;
}

char const* RTPSink::auxSDPLine() { return nullptr; }

uint32_t RTPSink::convertToRTPTimestamp(struct timeval tv) const {
  // 64-bit arithmetic: seconds times 90000 overflows 32 bits within hours.
  uint64_t const freq = fTimestampFrequency;
  uint64_t ticks =
      static_cast<uint64_t>(tv.tv_sec) * freq + (static_cast<uint64_t>(tv.tv_usec) * freq + 500000) / 1000000;
  return fTimestampBase + static_cast<uint32_t>(ticks);
}

uint32_t RTPSink::presetNextTimestamp() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return convertToRTPTimestamp(now);
}
