#ifndef OSTRA_RTP_CONSTANTS_HH
#define OSTRA_RTP_CONSTANTS_HH

// Internal to the media library: sizes and helpers shared by the RTP sinks
// and RTCP.

#include <cstdint>

namespace ostra_rtp {

// Largest RTP packet we send (UDP or interleaved): 12 header + 1444 payload.
constexpr unsigned kMaxPacketSize = 1456;
constexpr unsigned kHeaderSize = 12;
constexpr unsigned kMaxPayloadSize = kMaxPacketSize - kHeaderSize;
// A packet that already holds at least this many bytes takes no more frames.
constexpr unsigned kPreferredPacketSize = 1000;

// A random 32-bit number from a generator seeded once from the system's
// random device.
uint32_t random32();
// A uniformly distributed number in [0, 1).
double randomUnit();

}  // namespace ostra_rtp

#endif
