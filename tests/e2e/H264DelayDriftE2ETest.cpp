// The H.264 track through the daemon, a measurement (run by hand:
// --gtest_also_run_disabled_tests --gtest_filter='*DelayDrift*';
// OSTRA_DRIFT_SECONDS sets the length of each run, 60 by default): how the
// delay from the producer's write to the client's receipt evolves at 25 and at
// 30 frames per second. For each access unit, the delay from the producer's
// first write of it (CLOCK_REALTIME) to the arrival of the RTP packet with the
// marker bit that ends it at an interleaved client on loopback; units are
// matched by order from the first key frame on. Also the delay from the
// unit's place on the producer's timeline (when it was due), which includes
// any time it waited in the producer's backlog. Prints figures only.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "H264E2ESupport.hh"

using namespace e2e;
using namespace e2e::h264;

namespace {

struct Written {
  unsigned long long index;
  int64_t ns;
};

// Least-squares slope of y over x.
double slope(std::vector<double> const& x, std::vector<double> const& y) {
  double n = static_cast<double>(x.size()), sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    sxy += x[i] * y[i];
  }
  double d = n * sxx - sx * sx;
  return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

double medianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

int measureDrift(int fps, int seconds) {
  Checks check;
  std::string const tsFile = "/var/tmp/producer-timestamps";
  unlink(tsFile.c_str());
  auto producer = startProducer({"--fps", std::to_string(fps), "--timestamps", tsFile});
  check(waitListening(13032, *producer, 60000), "producer listening\n" + producer->err());
  auto daemon = startDaemon();
  if (!check(daemon->waitForText("/ch01\n", 10000), "URL\n" + daemon->err())) return check.failures;
  // No DESCRIBE: its short-lived producer connection would add units to the file.
  RtspClient c;
  if (!playInterleaved(check, c)) return check.failures;
  std::vector<int64_t> arrivals;
  arrivals.reserve(static_cast<size_t>(fps * (seconds + 5)));
  H264Depacketizer rtp;
  rtp.onMarker = [&](uint32_t, int64_t ns) { arrivals.push_back(ns); };
  int64_t const end = daemontest::nowMs() + seconds * 1000;
  receive(
      c, rtp, [&] { return daemontest::nowMs() >= end; }, seconds * 1000 + 5000);
  producer->kill(SIGTERM);
  producer->waitExit(5000);

  std::vector<Written> written;
  std::istringstream lines(readFile(tsFile));
  for (std::string line; std::getline(lines, line);) {
    Written w{};
    long long ns = 0;
    size_t bytes = 0;
    if (sscanf(line.c_str(), "%llu %lld %zu", &w.index, &ns, &bytes) == 3) {
      w.ns = ns;
      written.push_back(w);
    }
  }
  size_t const n = std::min(written.size(), arrivals.size());
  if (!check(n > static_cast<size_t>(fps * 10), "enough units: written " + std::to_string(written.size()) +
                                                    ", received " + std::to_string(arrivals.size()))) {
    return check.failures;
  }
  double const period = 1e9 / fps;
  std::vector<double> t, fromWrite, fromDue;
  for (size_t k = 0; k < n; ++k) {
    double due = static_cast<double>(written[0].ns) + static_cast<double>(written[k].index - written[0].index) * period;
    t.push_back(static_cast<double>(written[k].ns - written[0].ns) / 1e9);
    fromWrite.push_back(static_cast<double>(arrivals[k] - written[k].ns) / 1e6);
    fromDue.push_back(static_cast<double>(arrivals[k]) / 1e6 - due / 1e6);
  }
  size_t const w = static_cast<size_t>(fps);  // one second of units at each end
  auto head = [&](std::vector<double> const& v) { return medianOf({v.begin(), v.begin() + static_cast<long>(w)}); };
  auto tail = [&](std::vector<double> const& v) { return medianOf({v.end() - static_cast<long>(w), v.end()}); };
  unsigned long long const dropped = written[n - 1].index - written[0].index + 1 - n;
  printf("figure: %d fps, %.0f s: delay from write %.1f ms at start, %.1f ms at the end, slope %.1f ms/min\n", fps,
         t.back(), head(fromWrite), tail(fromWrite), 60 * slope(t, fromWrite));
  printf(
      "figure: %d fps, %.0f s: delay from the producer timeline %.1f ms at start, %.1f ms at the end, slope %.1f "
      "ms/min; %llu units dropped by the producer; %zu units received\n",
      fps, t.back(), head(fromDue), tail(fromDue), 60 * slope(t, fromDue), dropped, n);
  check(rtp.sequenceGaps == 0, "no RTP packet lost");
  return check.failures;
}

TEST(H264E2E, DISABLED_DelayDriftAt25And30Fps) {
  int const seconds = envSeconds("OSTRA_DRIFT_SECONDS", 60);
  for (int fps : {25, 30}) {
    runScenario([fps, seconds] { return measureDrift(fps, seconds); }, (seconds + 90) * 1000);
  }
}

}  // namespace
