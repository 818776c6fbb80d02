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

// Three descriptors per UDP client, one per TCP client, one per idle
// connection, plus headroom.
void raiseDescriptorLimit(Options const& o, int total) {
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  rlim_t want = rlim_t(total) * 3 + rlim_t(o.idle) + 64;
  if (rl.rlim_cur < want) {
    rl.rlim_cur = std::min(want, rl.rlim_max);
    if (rl.rlim_max < want && geteuid() == 0) rl.rlim_max = rl.rlim_cur = want;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

void initClients(Bench& b, int total) {
  b.ep = epoll_create1(0);
  b.recordUnits = !b.o.unitsOut.empty();
  b.nextPort = b.o.basePort;
  b.cl.resize(size_t(total));
  for (int i = 0; i < total; ++i) {
    Client& c = b.cl[size_t(i)];
    c.idx = i;
    c.idle = i >= b.o.clients;
    c.tcp = b.o.tcp || c.idle;
  }
}

// A connect that completed: on to DESCRIBE, or the client fails.
void finishConnect(Bench& b, Client& c, epoll_event const& e) {
  if (!(e.events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
  int err = 0;
  socklen_t el = sizeof err;
  getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &el);
  if (err) {
    fail(b, c, std::string("connect: ") + std::strerror(err));
    return;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = e.data.u64;
  epoll_ctl(b.ep, EPOLL_CTL_MOD, c.fd, &ev);
  sendDescribe(b, c);
}

// One epoll wait and the events it returned. 'counting' is false while the
// clients tear down (RTP that still arrives is read, not counted).
void dispatchEvents(Bench& b, std::vector<epoll_event>& evs, RecvBatch& batch, bool counting) {
  int n = epoll_wait(b.ep, evs.data(), int(evs.size()), 20);
  int64_t now = nowNs();
  for (int i = 0; i < n; ++i) {
    uint64_t k = evs[size_t(i)].data.u64;
    Client& c = b.cl[size_t(k >> 2)];
    int kind = int(k & 3);
    if (c.state == State::Failed) continue;
    if (kind != 0) {
      readUdp(b, c, kind == 1 ? c.rtpFd : c.rtcpFd, counting && kind == 1, batch);
    } else if (counting && c.state == State::Connecting) {
      finishConnect(b, c, evs[size_t(i)]);
    } else {
      readTcp(b, c, now);
    }
  }
}

// Keeps `concurrency` handshakes in flight until every client is started.
// True when every client plays or has failed.
bool startMoreClients(Bench& b, int& started) {
  int const total = int(b.cl.size());
  int inFlight = 0, playing = 0, failed = 0;
  for (auto& c : b.cl) {
    if (c.state == State::Connecting || c.state == State::Describe || c.state == State::Setup || c.state == State::Play)
      inFlight++;
    else if (c.state == State::Playing)
      playing++;
    else if (c.state == State::Failed)
      failed++;
  }
  while (started < total && inFlight < b.o.concurrency) {
    startClient(b, b.cl[size_t(started++)]);
    inFlight++;
  }
  return playing + failed == total;
}

void sendKeepalives(Bench& b, int64_t now) {
  if (b.o.keepaliveSec <= 0) return;
  for (auto& c : b.cl)
    if (c.state == State::Playing && now - c.lastKeepalive > int64_t(b.o.keepaliveSec) * 1000000000) {
      c.lastKeepalive = now;
      sendRequest(b, c, "OPTIONS", b.o.url, "");
    }
}

}  // namespace

int main(int argc, char** argv) {
  Bench b;
  Options& o = b.o;
  int const status = parseOptions(argc, argv, o);
  if (status >= 0) return status;
  int const total = o.clients + o.idleClients;
  raiseDescriptorLimit(o, total);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  initClients(b, total);

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
    bool const allSettled = startMoreClients(b, started);
    if (!allPlayingAt && (allSettled || now - t0 > int64_t(o.setupTimeout * 1e9))) {
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
    sendKeepalives(b, now);
    dispatchEvents(b, evs, *recvBatch, true);
  }

  // Tear down politely, then close everything.
  for (auto& c : b.cl)
    if (c.state == State::Playing && !c.idle) sendRequest(b, c, "TEARDOWN", o.url, "");
  int64_t tdEnd = nowNs() + 300000000;
  while (nowNs() < tdEnd) dispatchEvents(b, evs, *recvBatch, false);

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
