#include "GroupsockHelper.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int bindToPort(UsageEnvironment& env, int sock, Port port) {
  // All interfaces: "::" on a dual-stack socket, 0.0.0.0 on an IPv4 one.
  int const family = socketFamilyOf(sock) == AF_INET6 ? AF_INET6 : AF_INET;
  struct in_addr any4 {};
  NetAddress const any = family == AF_INET6 ? NetAddress(in6addr_any) : NetAddress(any4);
  struct sockaddr_storage addr;
  socklen_t const len = any.toSockaddr(port, family, addr);
  if (bind(sock, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
    char msg[100];
    std::snprintf(msg, sizeof msg, "bind() error (port number: %d): ", port.hostOrder());
    env.setResultErrMsg(msg);
    return -1;
  }
  return 0;
}

// One socket for both families where the kernel has IPv6: an AF_INET6
// socket with IPV6_V6ONLY off (IPv4 peers appear v4-mapped). Where it has
// none (ipv6.disable=1) or refuses dual-stack, an AF_INET socket as before.
int openSocket(int type) {
  int sock = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
  if (sock >= 0) {
    int off = 0;
    if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) return sock;
    ::close(sock);
  }
  return socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

}  // namespace

int socketFamilyOf(int socket) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  std::memset(&addr, 0, sizeof addr);
  if (getsockname(socket, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) return AF_UNSPEC;
  return addr.ss_family;
}

int setupStreamSocket(UsageEnvironment& env, Port port, Boolean makeNonBlocking, Boolean setKeepAlive) {
  int sock = openSocket(SOCK_STREAM);
  if (sock < 0) {
    env.setResultErrMsg("unable to create stream socket: ");
    return -1;
  }
  // A restarted server must bind at once, even while old connections linger.
  int reuse = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0) {
    env.setResultErrMsg("setsockopt(SO_REUSEADDR) error: ");
    ::close(sock);
    return -1;
  }
  if (bindToPort(env, sock, port) < 0) {
    ::close(sock);
    return -1;
  }
  if (makeNonBlocking && !makeSocketNonBlocking(sock)) {
    env.setResultErrMsg("failed to make non-blocking: ");
    ::close(sock);
    return -1;
  }
  if (setKeepAlive && !setSocketKeepAlive(sock)) {
    env.setResultErrMsg("failed to set keep alive: ");
    ::close(sock);
    return -1;
  }
  return sock;
}

int setupDatagramSocket(UsageEnvironment& env, Port port) {
  int sock = openSocket(SOCK_DGRAM);
  if (sock < 0) {
    env.setResultErrMsg("unable to create datagram socket: ");
    return -1;
  }
  if (bindToPort(env, sock, port) < 0 || !makeSocketNonBlocking(sock)) {
    ::close(sock);
    return -1;
  }
  return sock;
}

Boolean makeSocketNonBlocking(int sock) {
  int flags = fcntl(sock, F_GETFL, 0);
  return flags >= 0 && fcntl(sock, F_SETFL, flags | O_NONBLOCK) >= 0;
}

Boolean setSocketKeepAlive(int sock) {
  int on = 1;
  return setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
}

static unsigned getBufferSize(UsageEnvironment& env, int bufOptName, int socket) {
  int curSize;
  socklen_t sizeSize = sizeof curSize;
  if (getsockopt(socket, SOL_SOCKET, bufOptName, &curSize, &sizeSize) < 0) {
    env.setResultErrMsg("getBufferSize() error: ");
    return 0;
  }
  return static_cast<unsigned>(curSize);
}

unsigned getSendBufferSize(UsageEnvironment& env, int socket) { return getBufferSize(env, SO_SNDBUF, socket); }

static unsigned increaseBufferTo(UsageEnvironment& env, int bufOptName, int socket, unsigned requestedSize) {
  unsigned curSize = getBufferSize(env, bufOptName, socket);
  // Ask for less and less until the system agrees, or we reach what we have.
  while (requestedSize > curSize) {
    int size = static_cast<int>(requestedSize);
    if (setsockopt(socket, SOL_SOCKET, bufOptName, &size, sizeof size) >= 0) return requestedSize;
    requestedSize = (requestedSize + curSize) / 2;
  }
  return getBufferSize(env, bufOptName, socket);
}

unsigned increaseSendBufferTo(UsageEnvironment& env, int socket, unsigned requestedSize) {
  return increaseBufferTo(env, SO_SNDBUF, socket, requestedSize);
}

Boolean getSourcePort(UsageEnvironment& env, int socket, Port& port) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  if (getsockname(socket, reinterpret_cast<struct sockaddr*>(&addr), &len) < 0) {
    env.setResultErrMsg("getsockname() error: ");
    return False;
  }
  NetAddress::fromSockaddr(reinterpret_cast<struct sockaddr*>(&addr), len, &port);
  return True;
}

NetAddress localAddressOf(int socket) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  if (getsockname(socket, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) return NetAddress();
  return NetAddress::fromSockaddr(reinterpret_cast<struct sockaddr*>(&addr), len);
}

netAddressBits ourIPAddress(UsageEnvironment& env) {
  static netAddressBits ourAddress = 0;
  if (ourAddress != 0) return ourAddress;

  // The first interface that is up, not loopback, and has an IPv4 address.
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
      if (!(ifa->ifa_flags & IFF_UP) || (ifa->ifa_flags & IFF_LOOPBACK)) continue;
      netAddressBits a = reinterpret_cast<struct sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
      if (a == 0 || (ntohl(a) >> 24) == 127) continue;
      ourAddress = a;
      break;
    }
    freeifaddrs(list);
  } else {
    env.setResultErrMsg("getifaddrs() error: ");
  }
  // Without such an interface, loopback is the only address clients can use.
  // Not cached, so an interface that comes up later is found.
  if (ourAddress == 0) return htonl(INADDR_LOOPBACK);
  return ourAddress;
}

NetAddress ourIPv6Address() {
  // The first interface that is up, not loopback, and has a global or
  // unique-local IPv6 address (fc00::/7). Link-local addresses need a zone
  // id a client cannot use in a URL; they are never announced.
  NetAddress found;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (struct ifaddrs* ifa = list; ifa != nullptr && !found.isIPv6(); ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6) continue;
    if (!(ifa->ifa_flags & IFF_UP) || (ifa->ifa_flags & IFF_LOOPBACK)) continue;
    struct in6_addr const& a = reinterpret_cast<struct sockaddr_in6*>(ifa->ifa_addr)->sin6_addr;
    bool const global = (a.s6_addr[0] & 0xe0) == 0x20;       // 2000::/3
    bool const uniqueLocal = (a.s6_addr[0] & 0xfe) == 0xfc;  // fc00::/7
    if (global || uniqueLocal) found = NetAddress(a);
  }
  freeifaddrs(list);
  return found;
}

char const* AddressString(netAddressBits addr) {
  static char buf[INET_ADDRSTRLEN];
  struct in_addr in;
  in.s_addr = addr;
  inet_ntop(AF_INET, &in, buf, sizeof buf);
  return buf;
}
