// Samples of the server process under test: CPU time, memory, threads and,
// with the counting allocator, its allocation counters.
#ifndef OSTRA_BENCH_CLIENT_PROCSAMPLE_HH
#define OSTRA_BENCH_CLIENT_PROCSAMPLE_HH

#include <cstdint>

#include "Options.hh"

namespace ostra_bench {

struct ProcSample {
  double cpuSec = 0;
  unsigned long long runNs = 0;
  long rssKb = 0, hwmKb = 0;
  int threads = 0;
  uint64_t allocs = 0, frees = 0, allocBytes = 0;
  bool ok = false;
};

// The server's figures now (ok false without --pid or once it is gone).
ProcSample sampleProc(Options const& o);

}  // namespace ostra_bench

#endif
