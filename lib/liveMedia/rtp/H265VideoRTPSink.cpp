#include "H265VideoRTPSink.hh"

#include <cstdio>
#include <cstring>

#include "H264VideoRTPSink.hh"  // base64Encode
#include "H265Bits.hh"
#include "H265VideoStreamFramer.hh"

namespace {
constexpr unsigned char kFUType = 49;
constexpr unsigned kNalHeaderSize = 2;
constexpr unsigned kFUHeadersSize = 3;  // payload header and FU header
}  // namespace

std::string h265FmtpLine(unsigned char payloadType, unsigned char const* vps, unsigned vpsSize,
                         unsigned char const* sps, unsigned spsSize, unsigned char const* pps, unsigned ppsSize) {
  if (vps == nullptr || sps == nullptr || pps == nullptr || vpsSize == 0 || spsSize == 0 || ppsSize == 0) {
    return std::string();
  }
  char head[32];
  std::snprintf(head, sizeof head, "a=fmtp:%d sprop-vps=", payloadType);
  std::string line(head);
  line += base64Encode(vps, vpsSize);
  line += ";sprop-sps=";
  line += base64Encode(sps, spsSize);
  line += ";sprop-pps=";
  line += base64Encode(pps, ppsSize);
  line += "\r\n";
  return line;
}

H265VideoRTPSink* H265VideoRTPSink::createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat) {
  return new H265VideoRTPSink(env, RTPgs, rtpPayloadFormat);
}

H265VideoRTPSink::H265VideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, 90000, "H265") {}

H265VideoRTPSink::~H265VideoRTPSink() = default;

char const* H265VideoRTPSink::sdpMediaType() const { return "video"; }

Boolean H265VideoRTPSink::sourceIsCompatibleWithUs(MediaSource& source) { return source.isH265VideoStreamFramer(); }

char const* H265VideoRTPSink::auxSDPLine() {
  refreshFmtpLine();
  return fFmtpLine.empty() ? nullptr : fFmtpLine.c_str();
}

void H265VideoRTPSink::refreshFmtpLine() {
  if (fSource == nullptr || !fSource->isH265VideoStreamFramer()) return;
  uint8_t const *vps = nullptr, *sps = nullptr, *pps = nullptr;
  unsigned vpsSize = 0, spsSize = 0, ppsSize = 0;
  static_cast<H265VideoStreamFramer*>(fSource)->getVPSandSPSandPPS(vps, vpsSize, sps, spsSize, pps, ppsSize);
  if (vps == nullptr || sps == nullptr || pps == nullptr) return;
  auto same = [](std::vector<unsigned char> const& kept, uint8_t const* bytes, unsigned size) {
    return kept.size() == size && std::memcmp(kept.data(), bytes, size) == 0;
  };
  // An encoder repeats the same sets before every key picture: the line is
  // rebuilt only when they change.
  if (same(fLineVPS, vps, vpsSize) && same(fLineSPS, sps, spsSize) && same(fLinePPS, pps, ppsSize)) return;
  fLineVPS.assign(vps, vps + vpsSize);
  fLineSPS.assign(sps, sps + spsSize);
  fLinePPS.assign(pps, pps + ppsSize);
  fFmtpLine = h265FmtpLine(rtpPayloadType(), vps, vpsSize, sps, spsSize, pps, ppsSize);
}

Boolean H265VideoRTPSink::frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) {
  if (fSource == nullptr || !fSource->isH265VideoStreamFramer()) return False;
  if (frameSize > 0) {
    unsigned const type = h265::nalUnitType(frame[0]);
    // A parameter set went by: keep the format line current.
    if (type >= h265::kNalVps && type <= h265::kNalPps) refreshFmtpLine();
  }
  return static_cast<H265VideoStreamFramer*>(fSource)->pictureEndMarker();
}

Boolean H265VideoRTPSink::frameIsKeyPoint(unsigned char const* frame, unsigned frameSize) {
  return frameSize > 0 && h265::isIrap(h265::nalUnitType(frame[0]));
}

unsigned H265VideoRTPSink::packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset,
                                        unsigned char* out, unsigned room, unsigned& consumed) {
  if (offset == 0 && frameSize <= room) {
    // Single NAL unit packet.
    std::memcpy(out, frame, frameSize);
    consumed = frameSize;
    return frameSize;
  }
  // Fragmentation unit: the payload header is the NAL header with type 49,
  // the FU header carries S, E and the NAL unit's type; the first fragment
  // starts after the two-byte NAL header.
  unsigned const start = offset == 0 ? kNalHeaderSize : offset;
  unsigned const remaining = frameSize > start ? frameSize - start : 0;
  unsigned const n = remaining < room - kFUHeadersSize ? remaining : room - kFUHeadersSize;
  bool const isFirst = offset == 0;
  bool const isLast = n == remaining;
  unsigned char const h0 = frame[0];
  unsigned char const h1 = frameSize > 1 ? frame[1] : 1;
  out[0] = static_cast<unsigned char>((h0 & 0x81) | (kFUType << 1));
  out[1] = h1;
  out[2] = static_cast<unsigned char>((isFirst ? 0x80 : 0) | (isLast ? 0x40 : 0) | h265::nalUnitType(h0));
  std::memcpy(out + kFUHeadersSize, frame + start, n);
  consumed = (start - offset) + n;
  return n + kFUHeadersSize;
}
