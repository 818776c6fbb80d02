// The results of a run: one JSON line on standard output and, with
// --units-out, the access-unit records.
#ifndef OSTRA_BENCH_CLIENT_REPORT_HH
#define OSTRA_BENCH_CLIENT_REPORT_HH

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Bench.hh"
#include "ProcSample.hh"

namespace ostra_bench {

// What the run measured besides the clients' own counters.
struct RunFigures {
  double setupSec = 0;
  int64_t windowStart = 0, windowEnd = 0;
  ProcSample p0, p1;  // the server at both ends of the window
  size_t idleHeld = 0;
  std::vector<int64_t> rtts;  // the probe's round trips
  int probeFailures = 0;
};

// Prints the JSON line; returns the number of clients measured.
int printResults(Bench const& b, RunFigures const& f);
// Writes the access-unit records (with --units-out).
void writeUnits(Bench& b);

}  // namespace ostra_bench

#endif
