#include "Groupsock.hh"

#include <errno.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "GroupsockHelper.hh"

Groupsock::Groupsock(UsageEnvironment& env, Port port) : fEnv(env), fSocketNum(-1), fPort(port) {
  fSocketNum = setupDatagramSocket(env, port);
  if (fSocketNum >= 0) {
    Port bound;
    if (getSourcePort(env, fSocketNum, bound)) fPort = bound;
    fFamily = socketFamilyOf(fSocketNum);
  }
}

Groupsock::~Groupsock() {
  if (fSocketNum >= 0) {
    fEnv.taskScheduler().disableBackgroundHandling(fSocketNum);
    ::close(fSocketNum);
  }
}

bool Groupsock::sOffloadAllowed = true;

void Groupsock::setSegmentationOffloadAllowed(bool allowed) { sOffloadAllowed = allowed; }

void Groupsock::addDestination(NetAddress const& addr, Port const& port, unsigned sessionId) {
  struct sockaddr_storage reachable;
  if (addr.toSockaddr(port, fFamily, reachable) == 0) return;
  for (Destination const& d : fDests) {
    if (d.sessionId == sessionId && d.addr == addr && d.port == port) return;
  }
  fDests.push_back(Destination{addr, port, sessionId});
  for (Target& t : fTargets) {
    if (t.addr == addr && t.port == port) {
      ++t.holders;  // already sent to for another session
      return;
    }
  }
  fTargets.push_back(Target{addr, port, 1, false});
  fAddrsStale = true;
}

void Groupsock::releaseTarget(NetAddress const& addr, Port const& port) {
  for (size_t i = 0; i < fTargets.size(); ++i) {
    Target& t = fTargets[i];
    if (t.addr != addr || !(t.port == port)) continue;
    if (--t.holders == 0) {
      fTargets.erase(fTargets.begin() + static_cast<std::ptrdiff_t>(i));
      fAddrsStale = true;
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
  fAddrsStale = true;
}

void Groupsock::rebuildAddresses() {
  // resize() keeps the capacity: the array only ever grows to the largest
  // number of destinations seen.
  fAddrs.resize(fTargets.size());
  fAddrLengths.resize(fTargets.size());
  for (size_t i = 0; i < fTargets.size(); ++i) {
    fAddrLengths[i] = fTargets[i].addr.toSockaddr(fTargets[i].port, fFamily, fAddrs[i]);
  }
  fAddrsStale = false;
}

bool Groupsock::offloadUsable() {
  if (!sOffloadAllowed || fOffload == Offload::Off) return false;
  if (fOffload == Offload::Unknown) {
    // Kernels before 4.18 know no UDP_SEGMENT and would send a segmented
    // message as one large datagram: ask first.
    int size = 0;
    socklen_t len = sizeof size;
    if (getsockopt(fSocketNum, SOL_UDP, UDP_SEGMENT, &size, &len) != 0) fOffload = Offload::Off;
  }
  return fOffload != Offload::Off;
}

void Groupsock::planRuns(struct iovec const* datagrams, unsigned count) {
  if (fRunLength.size() < count) {
    fRunLength.resize(std::max(count, kTypicalBurst));
    fControls.resize(std::max(count, kTypicalBurst));
  }
  unsigned const kMaxUDPPayload = 65507;
  for (unsigned i = 0; i < count;) {
    size_t const segment = datagrams[i].iov_len;
    size_t total = segment;
    unsigned n = 1;
    while (segment > 0 && i + n < count && n < kMaxSegments) {
      size_t const next = datagrams[i + n].iov_len;
      if (next == 0 || next > segment || total + next > kMaxUDPPayload) break;
      total += next;
      ++n;
      if (next < segment) break;  // only the last segment may be shorter
    }
    fRunLength[i] = n;
    if (n > 1) {
      struct cmsghdr* cm = reinterpret_cast<struct cmsghdr*>(fControls[i].bytes);
      cm->cmsg_level = SOL_UDP;
      cm->cmsg_type = UDP_SEGMENT;
      cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      uint16_t const size = static_cast<uint16_t>(segment);
      std::memcpy(CMSG_DATA(cm), &size, sizeof size);
    }
    i += n;
  }
}

size_t Groupsock::fillBatch(struct iovec const* datagrams, unsigned count, bool segmented, size_t dest,
                            unsigned first) {
  size_t k = 0;
  while (k < kMaxBatch && dest < fTargets.size()) {
    unsigned const n = segmented && !fTargets[dest].plain ? fRunLength[first] : 1;
    struct mmsghdr& m = fMsgs[k];
    m = mmsghdr{};
    m.msg_hdr.msg_name = &fAddrs[dest];
    m.msg_hdr.msg_namelen = fAddrLengths[dest];
    m.msg_hdr.msg_iov = const_cast<struct iovec*>(datagrams + first);
    m.msg_hdr.msg_iovlen = n;
    if (n > 1) {
      m.msg_hdr.msg_control = fControls[first].bytes;
      m.msg_hdr.msg_controllen = CMSG_SPACE(sizeof(uint16_t));
    }
    fPlanned[k] = Planned{dest, first, n};
    ++k;
    first += n;
    if (first == count) {
      first = 0;
      ++dest;
    }
  }
  return k;
}

Boolean Groupsock::output(UsageEnvironment& /*env*/, unsigned char const* data, unsigned size) {
  fSingle.iov_base = const_cast<unsigned char*>(data);
  fSingle.iov_len = size;
  return outputBurst(&fSingle, 1);
}

Boolean Groupsock::outputBurst(struct iovec const* datagrams, unsigned count) {
  if (fSocketNum < 0) return False;
  if (count == 0 || fTargets.empty()) return True;
  if (fAddrsStale) rebuildAddresses();
  // Sized for bursts of a key frame from the start, so the arrays grow only
  // with the number of destinations.
  size_t const messages = std::min<size_t>(kMaxBatch, fTargets.size() * std::max(count, kTypicalBurst));
  if (fMsgs.size() < messages) {
    fMsgs.resize(messages);
    fPlanned.resize(messages);
  }
  bool segmented = count > 1 && offloadUsable();
  if (segmented) planRuns(datagrams, count);

  Boolean ok = True;
  size_t dest = 0;
  unsigned first = 0;
  unsigned interrupts = 0;
  auto advancePast = [&](Planned const& p) {
    dest = p.dest;
    first = p.first + p.count;
    if (first == count) {
      first = 0;
      ++dest;
    }
  };
  while (dest < fTargets.size()) {
    size_t const batch = fillBatch(datagrams, count, segmented, dest, first);
    int sent = ::sendmmsg(fSocketNum, fMsgs.data(), static_cast<unsigned>(batch), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent <= 0) {
      int const err = sent < 0 ? errno : 0;
      if (err == EINTR && ++interrupts < 4) continue;
      Planned const failed = fPlanned[0];
      Target& target = fTargets[failed.dest];
      if (failed.count > 1 && (err == EINVAL || err == EMSGSIZE) && target.addr.isIPv6()) {
        // IPv6 adds 20 header bytes: where the path's MTU leaves no room for
        // a whole segment, the kernel refuses segmented messages to it, and
        // only this destination gets plain datagrams from here on.
        target.plain = true;
        continue;
      }
      if (failed.count > 1 && fOffload != Offload::Confirmed &&
          (err == EIO || err == EINVAL || err == ENOPROTOOPT || err == EOPNOTSUPP)) {
        // The kernel or the device refuses segmentation: plain datagrams from
        // here on, starting again with this message.
        fOffload = Offload::Off;
        segmented = false;
        continue;
      }
      // This message could not go (full socket buffer, unreachable port...):
      // its destination loses its datagrams, the rest still get theirs.
      fNumSendFailures += failed.count;
      ok = False;
      advancePast(failed);
      continue;
    }
    for (int i = 0; i < sent; ++i) {
      Planned const& p = fPlanned[static_cast<size_t>(i)];
      size_t expected = 0;
      for (unsigned j = 0; j < p.count; ++j) expected += datagrams[p.first + j].iov_len;
      if (fMsgs[static_cast<size_t>(i)].msg_len != expected) {
        fNumSendFailures += p.count;
        ok = False;
      }
      if (p.count > 1) {
        fOffload = Offload::Confirmed;
        ++fNumSegmentedSends;
      }
    }
    // A short count means the message after the last one sent failed; the
    // next call starts with it and reports its error.
    advancePast(fPlanned[static_cast<size_t>(sent) - 1]);
  }
  return ok;
}
