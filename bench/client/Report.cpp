// The JSON line of a run and the access-unit records.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Report.hh"

namespace ostra_bench {

namespace {

double percentileMs(std::vector<int64_t> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return double(v[std::min(v.size() - 1, size_t(q * double(v.size())))]) / 1e6;
}

}  // namespace

int printResults(Bench const& b, RunFigures const& f) {
  Options const& o = b.o;
  double const setupSec = f.setupSec;
  int64_t const windowStart = f.windowStart, windowEnd = f.windowEnd;
  ProcSample const& p0 = f.p0;
  ProcSample const& p1 = f.p1;
  std::vector<int64_t> const& rtts = f.rtts;
  int const probeFailures = f.probeFailures;
  int playingAtEnd = 0;
  for (auto& c : b.cl)
    if (c.state == State::Playing && !c.idle) playingAtEnd++;

  // Results.
  double win = windowEnd > windowStart ? double(windowEnd - windowStart) / 1e9 : 0;
  uint64_t pk = 0, by = 0, lost = 0, expected = 0, gaps = 0;
  double lossMax = 0, lossSum = 0;
  int measured = 0, starved = 0, failed = 0;
  std::string firstFail;
  uint64_t gapsTotal = 0, missingTotal = 0;
  for (auto& c : b.cl) {
    if (c.idle) continue;
    if (c.state == State::Failed && c.atEnd.packets == 0) {
      failed++;
      if (firstFail.empty()) firstFail = c.failReason;
      continue;
    }
    uint64_t dp = c.atEnd.packets - c.atStart.packets;
    int64_t de = c.atEnd.maxExt - c.atStart.maxExt;
    if (dp == 0) {
      starved++;
      continue;
    }
    measured++;
    pk += dp;
    by += c.atEnd.bytes - c.atStart.bytes;
    gaps += c.atEnd.gaps - c.atStart.gaps;
    gapsTotal += c.atEnd.gaps;
    missingTotal += c.atEnd.missing;
    uint64_t exp = uint64_t(std::max<int64_t>(de, int64_t(dp)));
    expected += exp;
    uint64_t l = exp - dp;
    lost += l;
    double frac = exp ? double(l) / double(exp) : 0;
    lossSum += frac;
    lossMax = std::max(lossMax, frac);
  }
  // CPU of the server in the window: scheduler run time when available (ns), else clock ticks.
  double cpuTicks = (p0.ok && p1.ok) ? p1.cpuSec - p0.cpuSec : -1;
  double cpu = (p0.ok && p1.ok && p1.runNs > 0) ? double(p1.runNs - p0.runNs) / 1e9 : cpuTicks;
  std::printf(
      "{\"label\":\"%s\",\"transport\":\"%s\",\"clients\":%d,\"playing\":%d,\"measured\":%d,\"failed\":%d,"
      "\"starved\":%d,\"setup_s\":%.2f,\"window_s\":%.3f,\"packets\":%" PRIu64 ",\"bytes\":%" PRIu64
      ",\"pkts_per_s\":%.0f,\"bytes_per_s\":%.0f,\"mbit_per_s\":%.2f,\"lost\":%" PRIu64 ",\"expected\":%" PRIu64
      ",\"gaps\":%" PRIu64 ",\"gaps_total\":%" PRIu64 ",\"missing_total\":%" PRIu64
      ",\"idle_clients\":%d,\"late\":%s"
      ",\"loss_pct_avg\":%.4f,\"loss_pct_max\":%.4f,\"cpu_s\":%.4f,\"cpu_ticks_s\":%.2f,\"cpu_pct\":%.1f,"
      "\"cpu_us_per_pkt\":%.3f,\"rss_kb\":%ld,\"hwm_kb\":%ld,\"threads\":%d,\"allocs\":%" PRIu64
      ",\"allocs_per_s\":%.1f,\"alloc_bytes_per_s\":%.0f,\"idle_requested\":%d,\"idle_held\":%zu,"
      "\"rtt_n\":%zu,\"rtt_failed\":%d,\"rtt_p50_ms\":%.3f,\"rtt_p99_ms\":%.3f,\"rtt_max_ms\":%.3f,"
      "\"first_failure\":\"%s\"}\n",
      o.label.c_str(), o.tcp ? "tcp" : "udp", o.clients, playingAtEnd, measured, failed, starved, setupSec, win, pk, by,
      win > 0 ? double(pk) / win : 0, win > 0 ? double(by) / win : 0, win > 0 ? double(by) * 8 / win / 1e6 : 0, lost,
      expected, gaps, gapsTotal, missingTotal, o.idleClients, o.late ? "true" : "false",
      measured ? 100.0 * lossSum / measured : 0, 100.0 * lossMax, cpu, cpuTicks,
      (cpu >= 0 && win > 0) ? 100.0 * cpu / win : -1, (cpu >= 0 && pk) ? cpu * 1e6 / double(pk) : -1, p1.rssKb,
      p1.hwmKb, p1.threads, p1.allocs - p0.allocs, win > 0 ? double(p1.allocs - p0.allocs) / win : 0,
      win > 0 ? double(p1.allocBytes - p0.allocBytes) / win : 0, o.idle, f.idleHeld, rtts.size(), probeFailures,
      percentileMs(rtts, 0.5), percentileMs(rtts, 0.99), percentileMs(rtts, 1.0), firstFail.c_str());
  std::fflush(stdout);
  return measured;
}

void writeUnits(Bench& b) {
  Options const& o = b.o;
  if (b.recordUnits) {
    FILE* f = std::fopen(o.unitsOut.c_str(), "w");
    if (f) {
      std::fprintf(f,
                   "# rtp_ts first_ns last_ns marker nals nal_bytes pkts_client0 pkts_all first_at_last_client_ns"
                   " marker_first_ns marker_last_ns\n");
      for (uint32_t ts : b.unitOrder) {
        UnitRec const& u = b.units[ts];
        std::fprintf(f, "%u %lld %lld %d %u %llu %u %u %lld %lld %lld\n", ts, (long long)u.first, (long long)u.last,
                     u.marker ? 1 : 0, u.nals0, (unsigned long long)u.nalBytes0, u.pkts0, u.pktsAll,
                     (long long)u.firstAtLast, (long long)u.markerFirst, (long long)u.markerLast);
      }
      std::fclose(f);
    }
  }
}

}  // namespace ostra_bench
