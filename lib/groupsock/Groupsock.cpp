#include "Groupsock.hh"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (d.addr.s_addr == addr.s_addr && d.port == port) return;
  }
  fDests.push_back(Destination{addr, port, sessionId});
}

void Groupsock::removeDestination(unsigned sessionId) {
  for (size_t i = 0; i < fDests.size();) {
    if (fDests[i].sessionId == sessionId) {
      fDests.erase(fDests.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void Groupsock::removeAllDestinations() { fDests.clear(); }

Boolean Groupsock::output(UsageEnvironment& /*env*/, unsigned char const* data, unsigned size) {
  if (fSocketNum < 0) return False;
  Boolean ok = True;
  for (Destination const& d : fDests) {
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr = d.addr;
    to.sin_port = d.port.num();
    // A full socket buffer or an unreachable port loses this datagram for
    // this destination only; the others still get it.
    ssize_t n = ::sendto(fSocketNum, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
    if (n != static_cast<ssize_t>(size)) {
      ++fNumSendFailures;
      ok = False;
    }
  }
  return ok;
}
