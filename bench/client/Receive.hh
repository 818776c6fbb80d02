// The streams a client receives: RTP packets counted (packets, bytes,
// sequence gaps) and, for the latency analysis, grouped into access units.
#ifndef OSTRA_BENCH_CLIENT_RECEIVE_HH
#define OSTRA_BENCH_CLIENT_RECEIVE_HH

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "Bench.hh"

namespace ostra_bench {

// One RTP packet of the client's stream, arrived at 'arrivalNs' (CLOCK_REALTIME).
void onRtp(Bench& b, Client& c, uint8_t const* p, size_t len, int64_t arrivalNs);

// Reads the client's RTSP connection (answers and interleaved packets).
void readTcp(Bench& b, Client& c, int64_t now);

constexpr int kBatch = 32;
constexpr int kPktSize = 2048;

struct RecvBatch {
  uint8_t data[kBatch][kPktSize];
  char ctrl[kBatch][64];
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
};

// Reads the client's RTP (or RTCP) socket in batches.
void readUdp(Bench& b, Client& c, int fd, bool rtp, RecvBatch& rb);

}  // namespace ostra_bench

#endif
