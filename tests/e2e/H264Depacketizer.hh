// The client's side of the H.264 RTP payload format in the end-to-end tests:
// NAL units rebuilt from single NAL unit packets, STAP-A and FU-A, with the
// sequence checked on the way; with 'h265' the H.265 format (RFC 7798: single
// NAL unit packets and fragmentation units, no DONL).
#ifndef OSTRA_E2E_H264_DEPACKETIZER_HH
#define OSTRA_E2E_H264_DEPACKETIZER_HH

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace e2e {

// One NAL unit as the client rebuilt it from the RTP packets (RFC 6184).
struct Nal {
  std::string const& bytes;  // header byte included
  uint32_t timestamp;        // RTP timestamp of its packets
  bool marker;               // the packet that completed it carried the marker bit
};

// Depacketizes an H.264 RTP stream: single NAL unit packets, STAP-A and FU-A,
// with the sequence checked on the way.
class H264Depacketizer {
public:
  std::function<void(Nal const&)> onNal;
  std::function<void(uint32_t timestamp, int64_t arrivalNs)> onMarker;  // last packet of an access unit

  int sequenceGaps = 0;     // packets missing (TCP: must stay 0)
  int brokenFragments = 0;  // FU-A without start, or a new start before the end
  int otherPayloads = 0;    // payload types this sink never sends (STAP-B, MTAP, FU-B)
  int packets = 0;
  bool h265 = false;

  void packet(unsigned char const* p, size_t len, int64_t arrivalNs) {
    if (len < 12 || (p[0] >> 6) != 2) {
      ++otherPayloads;
      return;
    }
    ++packets;
    uint16_t const seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
    if (fHaveSeq && seq != static_cast<uint16_t>(fLastSeq + 1)) {
      sequenceGaps += static_cast<uint16_t>(seq - fLastSeq - 1);
      if (fInFragment) ++brokenFragments;
      fInFragment = false;
    }
    fHaveSeq = true;
    fLastSeq = seq;
    bool const marker = (p[1] & 0x80) != 0;
    uint32_t const ts = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
    size_t off = 12 + 4 * (p[0] & 0x0F);
    if ((p[0] & 0x10) != 0 && off + 4 <= len) off += 4 + 4 * ((p[off + 2] << 8) | p[off + 3]);
    if ((p[0] & 0x20) != 0 && len > 12) len -= p[len - 1];
    if (off >= len) {
      ++otherPayloads;
      return;
    }
    unsigned char const* payload = p + off;
    size_t const size = len - off;
    if (h265) {
      if (packet265(payload, size, ts, marker) && marker && onMarker) onMarker(ts, arrivalNs);
      return;
    }
    unsigned const type = payload[0] & 0x1F;
    if (type >= 1 && type <= 23) {
      fNal.assign(reinterpret_cast<char const*>(payload), size);
      deliver(ts, marker);
    } else if (type == 24) {  // STAP-A: 16-bit sizes, each followed by a NAL unit
      for (size_t i = 1; i + 2 <= size;) {
        size_t n = (payload[i] << 8) | payload[i + 1];
        i += 2;
        if (n == 0 || i + n > size) {
          ++brokenFragments;
          break;
        }
        fNal.assign(reinterpret_cast<char const*>(payload + i), n);
        i += n;
        deliver(ts, marker && i == size);
      }
    } else if (type == 28 && size >= 2) {  // FU-A
      bool const startBit = (payload[1] & 0x80) != 0, endBit = (payload[1] & 0x40) != 0;
      if (startBit) {
        if (fInFragment) ++brokenFragments;
        fNal.assign(1, static_cast<char>((payload[0] & 0xE0) | (payload[1] & 0x1F)));
        fInFragment = true;
      } else if (!fInFragment) {
        ++brokenFragments;
        return;
      }
      fNal.append(reinterpret_cast<char const*>(payload + 2), size - 2);
      if (endBit) {
        fInFragment = false;
        deliver(ts, marker);
      } else if (marker) {
        ++brokenFragments;  // the marker belongs on the last fragment only
      }
    } else {
      ++otherPayloads;
    }
    if (marker && onMarker) onMarker(ts, arrivalNs);
  }

private:
  // One H.265 payload; false when it was not one this sink sends.
  bool packet265(unsigned char const* payload, size_t size, uint32_t ts, bool marker) {
    unsigned const type = (payload[0] >> 1) & 0x3F;
    if (size >= 2 && type < 48) {
      fNal.assign(reinterpret_cast<char const*>(payload), size);
      deliver(ts, marker);
      return true;
    }
    if (type != 49 || size < 3) {
      ++otherPayloads;
      return false;
    }
    bool const startBit = (payload[2] & 0x80) != 0, endBit = (payload[2] & 0x40) != 0;
    if (startBit) {
      if (fInFragment) ++brokenFragments;
      fNal.assign({static_cast<char>((payload[0] & 0x81) | ((payload[2] & 0x3F) << 1)), static_cast<char>(payload[1])});
      fInFragment = true;
    } else if (!fInFragment) {
      ++brokenFragments;
      return true;
    }
    fNal.append(reinterpret_cast<char const*>(payload + 3), size - 3);
    if (endBit) {
      fInFragment = false;
      deliver(ts, marker);
    } else if (marker) {
      ++brokenFragments;
    }
    return true;
  }

  void deliver(uint32_t ts, bool marker) {
    if (onNal) onNal(Nal{fNal, ts, marker});
  }

  std::string fNal;  // reused for every NAL unit
  bool fInFragment = false;
  bool fHaveSeq = false;
  uint16_t fLastSeq = 0;
};

}  // namespace e2e

#endif
