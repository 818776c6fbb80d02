// The one ppoll() loop of ostra-producer: frame clocks, listening sockets and connections, until the end of the run.
#include "EventLoop.hh"

#include "Connection.hh"
#include "Listener.hh"
#include "Report.hh"
#include "Timeline.hh"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ostra_producer {

namespace {

int64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void addPoll(Producer& p, int fd, short events, Connection* c) {
  p.pfds.push_back(pollfd{fd, events, 0});
  p.pconns.push_back(c);
}

volatile sig_atomic_t gStop = 0;

// SIGINT and SIGTERM stay blocked except while ppoll() waits, so a stop request cannot slip in between the check of
// gStop and the wait. Returns the mask to wait with.
sigset_t blockStopSignals() {
  sigset_t blocked, waitMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  return waitMask;
}

// Frame clocks: a fixed schedule; after a stall of more than a second the schedule restarts from now. Returns when
// the loop next has to wake: the next tick, at most a second from now, never after the deadline.
int64_t advanceClocks(Producer& p, std::vector<Medium*> const& media, int64_t now, int64_t deadline) {
  for (Medium* m : media) {
    if (now - m->nextTick > 1000000000) m->nextTick = now;
    while (now >= m->nextTick) {
      tick(p, *m);
      m->nextTick += m->periodNs;
    }
  }
  int64_t wake = deadline ? deadline : now + 1000000000;
  for (Medium* m : media) wake = std::min(wake, m->nextTick);
  return wake;
}

// The descriptors to wait on: the listening sockets, and every connection (for writing too when it has a backlog).
void collectPollFds(Producer& p, std::vector<Medium*> const& media) {
  p.pfds.clear();
  p.pconns.clear();
  for (Medium* m : media) {
    addPoll(p, m->listenFd, POLLIN, nullptr);
    for (auto& c : m->conns) addPoll(p, c->fd, static_cast<short>(POLLIN | (c->count ? POLLOUT : 0)), c.get());
  }
}

void handleReadiness(Producer& p, std::vector<Medium*> const& media) {
  for (size_t i = 0; i < p.pfds.size(); ++i) {
    pollfd const& pf = p.pfds[i];
    if (!pf.revents) continue;
    Connection* c = p.pconns[i];
    if (!c) {
      for (Medium* m : media)
        if (m->listenFd == pf.fd) acceptConnections(p, *m);
      continue;
    }
    if (pf.revents & (POLLIN | POLLHUP | POLLERR)) readConnection(p, *c);
    if (!c->dead && (pf.revents & (POLLHUP | POLLERR))) closeConnection(p, *c, "peer-closed");
    if (!c->dead && (pf.revents & POLLOUT)) flush(p, *c);
  }
  for (Medium* m : media) reapConnections(*m);
}

void shutDown(Producer& p, std::vector<Medium*> const& media) {
  for (Medium* m : media) {
    for (auto& c : m->conns) closeConnection(p, *c, "shutdown");
    reapConnections(*m);
    close(m->listenFd);
    reportLine(p, "ostra-producer: summary %s conns=%llu units=%llu bytes=%llu dropped=%llu\n", m->name.c_str(),
               m->totalConns, m->totalUnits, m->totalBytes, m->totalDropped);
  }
}

}  // namespace

void onSignal(int) { gStop = 1; }

int run(Producer& p) {
  Options const& o = p.opt;
  std::vector<Medium*> media;
  for (auto& v : p.videos) media.push_back(v.get());
  if (o.audio) media.push_back(&p.audio);

  const int64_t start = monotonicNs();
  const int64_t deadline = o.duration > 0 ? start + static_cast<int64_t>(o.duration * 1e9) : 0;
  for (Medium* m : media) m->nextTick = start;
  sigset_t const waitMask = blockStopSignals();

  while (!gStop) {
    int64_t now = monotonicNs();
    if (deadline && now >= deadline) break;
    int64_t const wake = advanceClocks(p, media, now, deadline);
    collectPollFds(p, media);
    now = monotonicNs();
    const int64_t waitNs = std::max<int64_t>(0, wake - now);
    timespec ts{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
    int const r = ppoll(p.pfds.data(), p.pfds.size(), &ts, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "ostra-producer: ppoll: %s\n", std::strerror(errno));
      break;
    }
    handleReadiness(p, media);
  }
  shutDown(p, media);
  return 0;
}

}  // namespace ostra_producer
