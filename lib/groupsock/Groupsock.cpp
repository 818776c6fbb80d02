#include "Groupsock.hh"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "GroupsockHelper.hh"

Groupsock::Groupsock(UsageEnvironment& env, Port port) : fEnv(env), fSocketNum(-1), fPort(port) {
  fSocketNum = setupDatagramSocket(env, port);
  if (fSocketNum >= 0) {
    Port bound;
    if (getSourcePort(env, fSocketNum, bound)) fPort = bound;
  }
}

Groupsock::~Groupsock() {
  if (fSocketNum >= 0) {
    fEnv.taskScheduler().disableBackgroundHandling(fSocketNum);
    ::close(fSocketNum);
  }
}

void Groupsock::addDestination(struct in_addr const& addr, Port const& port, unsigned sessionId) {
  for (Destination const& d : fDests) {
    if (d.sessionId == sessionId && d.addr.s_addr == addr.s_addr && d.port == port) return;
  }
  fDests.push_back(Destination{addr, port, sessionId});
  for (Target& t : fTargets) {
    if (t.addr.s_addr == addr.s_addr && t.port == port) {
      ++t.holders;  // already sent to for another session
      return;
    }
  }
  fTargets.push_back(Target{addr, port, 1});
  fMsgsStale = true;
}

void Groupsock::releaseTarget(struct in_addr const& addr, Port const& port) {
  for (size_t i = 0; i < fTargets.size(); ++i) {
    Target& t = fTargets[i];
    if (t.addr.s_addr != addr.s_addr || !(t.port == port)) continue;
    if (--t.holders == 0) {
      fTargets.erase(fTargets.begin() + static_cast<std::ptrdiff_t>(i));
      fMsgsStale = true;
    }
    return;
  }
}

void Groupsock::removeDestination(unsigned sessionId) {
  for (size_t i = 0; i < fDests.size();) {
    if (fDests[i].sessionId == sessionId) {
      releaseTarget(fDests[i].addr, fDests[i].port);
      fDests.erase(fDests.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void Groupsock::removeAllDestinations() {
  fDests.clear();
  fTargets.clear();
  fMsgsStale = true;
}

void Groupsock::rebuildMessages() {
  // resize() keeps the capacity: the arrays only ever grow to the largest
  // number of destinations seen.
  fAddrs.resize(fTargets.size());
  fMsgs.resize(fTargets.size());
  for (size_t i = 0; i < fTargets.size(); ++i) {
    struct sockaddr_in& to = fAddrs[i];
    to = sockaddr_in{};
    to.sin_family = AF_INET;
    to.sin_addr = fTargets[i].addr;
    to.sin_port = fTargets[i].port.num();
    struct mmsghdr& m = fMsgs[i];
    m = mmsghdr{};
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof to;
    m.msg_hdr.msg_iov = &fIov;
    m.msg_hdr.msg_iovlen = 1;
  }
  fMsgsStale = false;
}

Boolean Groupsock::output(UsageEnvironment& /*env*/, unsigned char const* data, unsigned size) {
  if (fSocketNum < 0) return False;
  if (fMsgsStale) rebuildMessages();
  fIov.iov_base = const_cast<unsigned char*>(data);
  fIov.iov_len = size;

  Boolean ok = True;
  size_t const count = fMsgs.size();
  size_t next = 0;
  unsigned interrupts = 0;
  while (next < count) {
    unsigned batch = static_cast<unsigned>(std::min<size_t>(count - next, kMaxBatch));
    int sent = ::sendmmsg(fSocketNum, &fMsgs[next], batch, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR && ++interrupts < 4) continue;
      // The first datagram of the batch could not go (full socket buffer,
      // unreachable port...): this destination loses it, the rest still get it.
      ++fNumSendFailures;
      ok = False;
      ++next;
      continue;
    }
    for (int i = 0; i < sent; ++i) {
      if (fMsgs[next + static_cast<size_t>(i)].msg_len != size) {
        ++fNumSendFailures;
        ok = False;
      }
    }
    // A short count means the datagram after the last one sent failed; the
    // next call starts with it and reports its error.
    next += static_cast<size_t>(sent);
  }
  return ok;
}
