// ostra-bench-client: many lightweight RTSP/RTP clients in one process.
//
// Each client does DESCRIBE (answering a 401 with Digest when credentials are
// given), SETUP of the first video track (UDP client ports or RTP/AVP/TCP
// interleaved), PLAY, and then counts RTP packets, bytes and sequence gaps.
// All clients share one epoll loop. After every client plays (or the set-up
// deadline passes) and a warm-up, the measurement window opens: packet
// counters, the server's CPU time (/proc/<pid>/stat), RSS and, when the server
// runs with the counting allocator, its allocation counters are sampled at both
// ends of the window. One JSON line with the results goes to standard output.
//
// --late: every client stops reading once it plays and starts again only when
// all of them play (all handshakes first, then the streams). --idle-clients M:
// M more clients over TCP that set up, play and then never read; they are not
// measured (what the N measured clients lose beside them is).
//
// With --idle N, N more connections are opened first, each answered one
// OPTIONS and then left silent for the whole run; during the window a probe
// connection sends an OPTIONS every 100 ms and its round-trip times are
// reported.
//
// With --units-out FILE every packet received in the window is also grouped by
// RTP timestamp (one access unit) across all clients: earliest and latest
// arrival (CLOCK_REALTIME; the kernel's receive time for UDP), the marker bit
// and, from the first client, the NAL units and their bytes. bench/analyze.py
// matches those units with the producer's --timestamps file for the latency.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Bench.hh"
#include "Handshake.hh"
#include "IdleConnections.hh"
#include "Options.hh"
#include "ProcSample.hh"
#include "Receive.hh"
#include "Report.hh"

namespace ostra_bench {

volatile sig_atomic_t gStop = 0;

}  // namespace ostra_bench

using namespace ostra_bench;

namespace {

void onSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
  Bench b;
  Options& o = b.o;
  int const status = parseOptions(argc, argv, o);
  if (status >= 0) return status;
  // Three descriptors per UDP client, one per TCP client, plus headroom.
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  int const total = o.clients + o.idleClients;
  rlim_t want = rlim_t(total) * 3 + rlim_t(o.idle) + 64;
  if (rl.rlim_cur < want) {
    rl.rlim_cur = std::min(want, rl.rlim_max);
    if (rl.rlim_max < want && geteuid() == 0) rl.rlim_max = rl.rlim_cur = want;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  b.ep = epoll_create1(0);
  b.recordUnits = !o.unitsOut.empty();
  b.nextPort = o.basePort;
  b.cl.resize(size_t(total));
  for (int i = 0; i < total; ++i) {
    Client& c = b.cl[size_t(i)];
    c.idx = i;
    c.idle = i >= o.clients;
    c.tcp = o.tcp || c.idle;
  }

  std::vector<int> idleFds = openIdle(o, o.idle);
  int probeFd = -1, probeCseq = 0, probeFailures = 0;
  int64_t lastProbe = 0;
  std::vector<int64_t> rtts;

  auto recvBatch = std::make_unique<RecvBatch>();
  std::vector<epoll_event> evs(1024);
  const int64_t t0 = nowNs();
  int64_t allPlayingAt = 0, windowStart = 0, windowEnd = 0;
  ProcSample p0, p1;
  int started = 0;
  double setupSec = 0;

  while (!gStop) {
    int64_t now = nowNs();
    // Keep `concurrency` handshakes in flight until every client is started.
    int inFlight = 0, playing = 0, failed = 0;
    for (auto& c : b.cl) {
      if (c.state == State::Connecting || c.state == State::Describe || c.state == State::Setup ||
          c.state == State::Play)
        inFlight++;
      else if (c.state == State::Playing)
        playing++;
      else if (c.state == State::Failed)
        failed++;
    }
    while (started < total && inFlight < o.concurrency) {
      startClient(b, b.cl[size_t(started++)]);
      inFlight++;
    }
    if (!allPlayingAt && (playing + failed == total || now - t0 > int64_t(o.setupTimeout * 1e9))) {
      allPlayingAt = now;
      setupSec = double(now - t0) / 1e9;
      for (auto& c : b.cl)  // late readers: every handshake is done, now the streams
        if (c.paused && !c.idle && c.state == State::Playing) setReading(b, c, true);
    }
    if (allPlayingAt && !windowStart && now - allPlayingAt >= int64_t(o.warmup * 1e9)) {
      windowStart = now;
      for (auto& c : b.cl) c.atStart = c.c;
      p0 = sampleProc(o);
      b.windowOpen = true;
    }
    if (windowStart && now - windowStart >= int64_t(o.duration * 1e9)) {
      windowEnd = now;
      p1 = sampleProc(o);
      for (auto& c : b.cl) c.atEnd = c.c;
      b.windowOpen = false;
      break;
    }
    if (b.windowOpen && o.idle > 0 && now - lastProbe >= 100000000) {
      lastProbe = now;
      int64_t rtt = probeOnce(o, probeFd, ++probeCseq);
      if (rtt >= 0)
        rtts.push_back(rtt);
      else
        ++probeFailures;
    }
    // Keep-alives.
    if (o.keepaliveSec > 0)
      for (auto& c : b.cl)
        if (c.state == State::Playing && now - c.lastKeepalive > int64_t(o.keepaliveSec) * 1000000000) {
          c.lastKeepalive = now;
          sendRequest(b, c, "OPTIONS", o.url, "");
        }

    int n = epoll_wait(b.ep, evs.data(), int(evs.size()), 20);
    now = nowNs();
    for (int i = 0; i < n; ++i) {
      uint64_t k = evs[size_t(i)].data.u64;
      Client& c = b.cl[size_t(k >> 2)];
      int kind = int(k & 3);
      if (c.state == State::Failed) continue;
      if (kind == 0) {
        if (c.state == State::Connecting) {
          if (!(evs[size_t(i)].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) continue;
          int err = 0;
          socklen_t el = sizeof err;
          getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &el);
          if (err) {
            fail(b, c, std::string("connect: ") + std::strerror(err));
            continue;
          }
          epoll_event ev{};
          ev.events = EPOLLIN;
          ev.data.u64 = k;
          epoll_ctl(b.ep, EPOLL_CTL_MOD, c.fd, &ev);
          sendDescribe(b, c);
          continue;
        }
        readTcp(b, c, now);
      } else {
        readUdp(b, c, kind == 1 ? c.rtpFd : c.rtcpFd, kind == 1, *recvBatch);
      }
    }
  }

  // Tear down politely, then close everything.
  for (auto& c : b.cl)
    if (c.state == State::Playing && !c.idle) sendRequest(b, c, "TEARDOWN", o.url, "");
  int64_t tdEnd = nowNs() + 300000000;
  while (nowNs() < tdEnd) {
    int n = epoll_wait(b.ep, evs.data(), int(evs.size()), 20);
    for (int i = 0; i < n; ++i) {
      uint64_t k = evs[size_t(i)].data.u64;
      Client& c = b.cl[size_t(k >> 2)];
      if (c.state == State::Failed) continue;
      if ((k & 3) == 0)
        readTcp(b, c, nowNs());
      else
        readUdp(b, c, (k & 3) == 1 ? c.rtpFd : c.rtcpFd, false, *recvBatch);
    }
  }

  RunFigures figures{setupSec, windowStart, windowEnd, p0, p1, idleFds.size(), rtts, probeFailures};
  int const measured = printResults(b, figures);
  writeUnits(b);
  for (auto& c : b.cl)
    for (int fd : {c.fd, c.rtpFd, c.rtcpFd})
      if (fd >= 0) close(fd);
  for (int fd : idleFds) close(fd);
  if (probeFd >= 0) close(probeFd);
  close(b.ep);
  return measured > 0 ? 0 : 1;
}
