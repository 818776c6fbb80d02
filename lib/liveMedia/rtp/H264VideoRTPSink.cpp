#include "H264VideoRTPSink.hh"

#include <cstdio>
#include <cstring>

#include "H264VideoStreamFramer.hh"

namespace {
constexpr unsigned char kFUAType = 28;
}

std::string base64Encode(unsigned char const* data, unsigned size) {
  static char const kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  unsigned i = 0;
  for (; i + 3 <= size; i += 3) {
    unsigned v = (unsigned(data[i]) << 16) | (unsigned(data[i + 1]) << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size - i == 1) {
    unsigned v = unsigned(data[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (size - i == 2) {
    unsigned v = (unsigned(data[i]) << 16) | (unsigned(data[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string h264FmtpLine(unsigned char payloadType, unsigned char const* sps, unsigned spsSize,
                         unsigned char const* pps, unsigned ppsSize) {
  if (sps == nullptr || pps == nullptr || spsSize < 4 || ppsSize == 0) return std::string();
  // profile_idc, constraint flags and level_idc: the first three bytes after
  // the NAL header, with emulation-prevention bytes (00 00 03) removed.
  unsigned char rbsp[3];
  unsigned n = 0, zeros = 0;
  for (unsigned i = 1; i < spsSize && n < 3; ++i) {
    if (zeros >= 2 && sps[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = sps[i] == 0 ? zeros + 1 : 0;
    rbsp[n++] = sps[i];
  }
  if (n < 3) return std::string();
  char head[96];
  std::snprintf(head, sizeof head,
                "a=fmtp:%d packetization-mode=1;profile-level-id=%02X%02X%02X;sprop-parameter-sets=", payloadType,
                rbsp[0], rbsp[1], rbsp[2]);
  std::string line(head);
  line += base64Encode(sps, spsSize);
  line += ',';
  line += base64Encode(pps, ppsSize);
  line += "\r\n";
  return line;
}

H264VideoRTPSink* H264VideoRTPSink::createNew(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat) {
  return new H264VideoRTPSink(env, RTPgs, rtpPayloadFormat);
}

H264VideoRTPSink::H264VideoRTPSink(UsageEnvironment& env, Groupsock* RTPgs, unsigned char rtpPayloadFormat)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, 90000, "H264") {}

H264VideoRTPSink::~H264VideoRTPSink() = default;

char const* H264VideoRTPSink::sdpMediaType() const { return "video"; }

Boolean H264VideoRTPSink::sourceIsCompatibleWithUs(MediaSource& source) { return source.isH264VideoStreamFramer(); }

char const* H264VideoRTPSink::auxSDPLine() {
  refreshFmtpLine();
  return fFmtpLine.empty() ? nullptr : fFmtpLine.c_str();
}

void H264VideoRTPSink::refreshFmtpLine() {
  if (fSource == nullptr || !fSource->isH264VideoStreamFramer()) return;
  auto* framer = static_cast<H264VideoStreamFramer*>(fSource);
  uint8_t const* sps = nullptr;
  uint8_t const* pps = nullptr;
  unsigned spsSize = 0, ppsSize = 0;
  framer->getSPSandPPS(sps, spsSize, pps, ppsSize);
  auto same = [](std::vector<unsigned char> const& kept, uint8_t const* bytes, unsigned size) {
    return kept.size() == size && (size == 0 || std::memcmp(kept.data(), bytes, size) == 0);
  };
  if (fHaveLineSets && same(fLineSPS, sps, spsSize) && same(fLinePPS, pps, ppsSize)) return;
  // assign() keeps the capacity: the copies grow only to the largest sets seen.
  fLineSPS.assign(sps, sps + (sps != nullptr ? spsSize : 0));
  fLinePPS.assign(pps, pps + (pps != nullptr ? ppsSize : 0));
  fHaveLineSets = true;
  std::string line = h264FmtpLine(rtpPayloadType(), sps, spsSize, pps, ppsSize);
  if (!line.empty()) fFmtpLine = std::move(line);
}

Boolean H264VideoRTPSink::frameEndsWithMarker(unsigned char const* frame, unsigned frameSize) {
  if (fSource == nullptr || !fSource->isH264VideoStreamFramer()) return False;
  // A parameter set went by: keep the format line current (it outlives the
  // stream, for a description asked for later).
  if (frameSize > 0 && ((frame[0] & 0x1F) == 7 || (frame[0] & 0x1F) == 8)) refreshFmtpLine();
  return static_cast<H264VideoStreamFramer*>(fSource)->pictureEndMarker();
}

Boolean H264VideoRTPSink::frameIsKeyPoint(unsigned char const* frame, unsigned frameSize) {
  return frameSize > 0 && (frame[0] & 0x1F) == 5;
}

unsigned H264VideoRTPSink::packFragment(unsigned char const* frame, unsigned frameSize, unsigned offset,
                                        unsigned char* out, unsigned room, unsigned& consumed) {
  if (offset == 0 && frameSize <= room) {
    // Single NAL unit packet.
    std::memcpy(out, frame, frameSize);
    consumed = frameSize;
    return frameSize;
  }
  // FU-A: the NAL header byte is carried in the FU indicator and header; the
  // first fragment starts after it.
  unsigned char const nalHeader = frame[0];
  unsigned start = offset == 0 ? 1 : offset;
  unsigned remaining = frameSize - start;
  unsigned n = remaining < room - 2 ? remaining : room - 2;
  bool const isFirst = offset == 0;
  bool const isLast = n == remaining;
  out[0] = static_cast<unsigned char>((nalHeader & 0xE0) | kFUAType);
  out[1] = static_cast<unsigned char>((isFirst ? 0x80 : 0) | (isLast ? 0x40 : 0) | (nalHeader & 0x1F));
  std::memcpy(out + 2, frame + start, n);
  consumed = (start - offset) + n;
  return n + 2;
}
