// Idle connections held beside the clients, and the probe that times an
// OPTIONS round trip.
#ifndef OSTRA_BENCH_CLIENT_IDLECONNECTIONS_HH
#define OSTRA_BENCH_CLIENT_IDLECONNECTIONS_HH

#include <cstdint>
#include <vector>

#include "Options.hh"

namespace ostra_bench {

// Opens 'n' connections, 16 at a time, and sends an OPTIONS on each; those
// answered 200 are kept (returned), the others closed.
std::vector<int> openIdle(Options const& o, int n);

// One OPTIONS round trip on a blocking connection, in nanoseconds (-1 on failure).
int64_t probeOnce(Options const& o, int& fd, int cseq);

}  // namespace ostra_bench

#endif
