#include "NetAddress.hh"

#include <arpa/inet.h>

#include <cstring>

namespace {
struct in6_addr const kNoIPv6{};
}  // namespace

NetAddress::NetAddress() { std::memset(&fStorage, 0, sizeof fStorage); }

NetAddress::NetAddress(struct in_addr const& ipv4) : NetAddress() {
  auto* sin = reinterpret_cast<struct sockaddr_in*>(&fStorage);
  sin->sin_family = AF_INET;
  sin->sin_addr = ipv4;
}

NetAddress::NetAddress(struct in6_addr const& ipv6, uint32_t scopeId) : NetAddress() {
  if (IN6_IS_ADDR_V4MAPPED(&ipv6)) {
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&fStorage);
    sin->sin_family = AF_INET;
    std::memcpy(&sin->sin_addr, ipv6.s6_addr + 12, 4);
    return;
  }
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&fStorage);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_addr = ipv6;
  // Only a link-local address names an interface.
  sin6->sin6_scope_id = IN6_IS_ADDR_LINKLOCAL(&ipv6) ? scopeId : 0;
}

NetAddress NetAddress::fromSockaddr(struct sockaddr const* sa, socklen_t len, Port* port) {
  if (sa != nullptr && sa->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
    struct sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    if (port != nullptr) *port = Port::fromNetworkOrder(sin.sin_port);
    return NetAddress(sin.sin_addr);
  }
  if (sa != nullptr && sa->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 sin6;
    std::memcpy(&sin6, sa, sizeof sin6);
    if (port != nullptr) *port = Port::fromNetworkOrder(sin6.sin6_port);
    return NetAddress(sin6.sin6_addr, sin6.sin6_scope_id);
  }
  if (port != nullptr) *port = Port(0);
  return NetAddress();
}

NetAddress NetAddress::fromText(char const* text) {
  struct in_addr a4;
  if (text != nullptr && inet_pton(AF_INET, text, &a4) == 1) return NetAddress(a4);
  struct in6_addr a6;
  if (text != nullptr && inet_pton(AF_INET6, text, &a6) == 1) return NetAddress(a6);
  return NetAddress();
}

bool NetAddress::isUnspecified() const {
  if (isIPv4()) return ipv4().s_addr == INADDR_ANY;
  if (isIPv6()) return IN6_IS_ADDR_UNSPECIFIED(&ipv6());
  return true;
}

struct in_addr NetAddress::ipv4() const {
  struct in_addr a {};
  if (isIPv4()) a = reinterpret_cast<struct sockaddr_in const*>(&fStorage)->sin_addr;
  return a;
}

struct in6_addr const& NetAddress::ipv6() const {
  return isIPv6() ? reinterpret_cast<struct sockaddr_in6 const*>(&fStorage)->sin6_addr : kNoIPv6;
}

uint32_t NetAddress::scopeId() const {
  return isIPv6() ? reinterpret_cast<struct sockaddr_in6 const*>(&fStorage)->sin6_scope_id : 0;
}

bool NetAddress::operator==(NetAddress const& other) const {
  if (family() != other.family()) return false;
  if (isIPv4()) return ipv4().s_addr == other.ipv4().s_addr;
  if (isIPv6()) {
    return std::memcmp(&ipv6(), &other.ipv6(), sizeof(struct in6_addr)) == 0 && scopeId() == other.scopeId();
  }
  return true;  // neither has an address
}

std::string NetAddress::text() const {
  char buf[INET6_ADDRSTRLEN] = "";
  if (isIPv4()) {
    struct in_addr const a = ipv4();
    if (inet_ntop(AF_INET, &a, buf, sizeof buf) == nullptr) buf[0] = '\0';
  } else if (isIPv6()) {
    if (inet_ntop(AF_INET6, &ipv6(), buf, sizeof buf) == nullptr) buf[0] = '\0';
  }
  return buf;
}

std::string NetAddress::urlHost() const { return isIPv6() ? "[" + text() + "]" : text(); }

socklen_t NetAddress::toSockaddr(Port port, int socketFamily, struct sockaddr_storage& out) const {
  std::memset(&out, 0, sizeof out);
  if (isIPv4() && socketFamily == AF_INET) {
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&out);
    sin->sin_family = AF_INET;
    sin->sin_addr = ipv4();
    sin->sin_port = port.num();
    return sizeof(struct sockaddr_in);
  }
  if (socketFamily != AF_INET6 || !(isIPv4() || isIPv6())) return 0;
  auto* sin6 = reinterpret_cast<struct sockaddr_in6*>(&out);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = port.num();
  if (isIPv4()) {  // ::ffff:a.b.c.d
    sin6->sin6_addr.s6_addr[10] = 0xff;
    sin6->sin6_addr.s6_addr[11] = 0xff;
    struct in_addr const a = ipv4();
    std::memcpy(sin6->sin6_addr.s6_addr + 12, &a, 4);
  } else {
    sin6->sin6_addr = ipv6();
    sin6->sin6_scope_id = scopeId();
  }
  return sizeof(struct sockaddr_in6);
}
