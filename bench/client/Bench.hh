// The state of one run: the clients, their counters and the per-access-unit
// records of the latency analysis.
#ifndef OSTRA_BENCH_CLIENT_BENCH_HH
#define OSTRA_BENCH_CLIENT_BENCH_HH

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "Options.hh"

namespace ostra_bench {

inline int64_t nowNs(clockid_t clk = CLOCK_MONOTONIC) {
  timespec ts;
  clock_gettime(clk, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

enum class State { Idle, Connecting, Describe, Setup, Play, Playing, Failed };

struct Counters {
  uint64_t packets = 0, bytes = 0, gaps = 0, missing = 0;
  int64_t maxExt = -1;  // highest extended sequence number seen
};

struct Client {
  int idx = 0;
  bool tcp = false;
  bool idle = false;    // plays, then never reads
  bool paused = false;  // late reader waiting for the others
  State state = State::Idle;
  int fd = -1, rtpFd = -1, rtcpFd = -1;
  int rtpPort = 0;
  int cseq = 0;
  std::string session, control, nonce, realm;
  bool authTried = false;
  std::vector<uint8_t> in;  // RTSP (and interleaved) bytes not parsed yet
  size_t inLen = 0;
  int64_t lastKeepalive = 0;
  std::string failReason;
  // RTP
  bool haveSeq = false;
  uint16_t lastSeq = 0;
  int64_t cycles = 0;
  uint32_t unitTs = 0;  // RTP timestamp of the last packet, for the latency records
  bool haveUnit = false;
  Counters c;
  Counters atStart, atEnd;
};

struct UnitRec {
  int64_t first = 0, last = 0;
  uint32_t pkts0 = 0, nals0 = 0;
  uint64_t nalBytes0 = 0;
  uint32_t pktsAll = 0;
  bool marker = false;
  // The latest of the clients' first packets, and the earliest and latest
  // arrival of the packet with the marker bit: how long each burst of the
  // unit took to reach every client.
  int64_t firstAtLast = 0, markerFirst = 0, markerLast = 0;
};

struct Bench {
  Options o;
  int ep = -1;
  std::vector<Client> cl;
  bool windowOpen = false;
  bool recordUnits = false;
  int firstPlaying = -1;  // client whose NAL units are counted for the latency records
  std::unordered_map<uint32_t, UnitRec> units;
  std::vector<uint32_t> unitOrder;
  int nextPort;
};

// Set by SIGINT and SIGTERM: the run ends.
extern volatile sig_atomic_t gStop;

}  // namespace ostra_bench

#endif
