#ifndef OSTRA_NET_ADDRESS_HH
#define OSTRA_NET_ADDRESS_HH

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

typedef uint16_t portNumBits;
typedef uint32_t netAddressBits;

// A port number, constructed from host order and kept in network order.
class Port {
public:
  explicit Port(portNumBits num = 0) : fPortNum(htons(num)) {}
  portNumBits num() const { return fPortNum; }  // network order
  portNumBits hostOrder() const { return ntohs(fPortNum); }

  static Port fromNetworkOrder(portNumBits netNum) {
    Port p;
    p.fPortNum = netNum;
    return p;
  }
  bool operator==(Port const& other) const { return fPortNum == other.fPortNum; }
  bool operator!=(Port const& other) const { return fPortNum != other.fPortNum; }

private:
  portNumBits fPortNum;  // network order
};

// An IPv4 or IPv6 host address (no port), kept in a sockaddr_storage and
// compared whole: family, every address byte and, for a link-local IPv6
// address, its interface (scope id). An IPv4-mapped IPv6 address (what a
// dual-stack socket reports for an IPv4 peer) is kept as the IPv4 address it
// maps, so an IPv4 client is the same address whichever socket it came
// through, and a host over IPv4 and over IPv6 are two addresses.
class NetAddress {
public:
  NetAddress();                            // no address (family AF_UNSPEC)
  NetAddress(struct in_addr const& ipv4);  // NOLINT: an IPv4 address is a NetAddress as it is
  explicit NetAddress(struct in6_addr const& ipv6, uint32_t scopeId = 0);
  // The address of a socket address (AF_INET or AF_INET6; else none); its
  // port into 'port' when given.
  static NetAddress fromSockaddr(struct sockaddr const* sa, socklen_t len, Port* port = nullptr);
  // Numeric text, either family (no zone id); none when it is neither.
  static NetAddress fromText(char const* text);

  int family() const { return fStorage.ss_family; }
  bool isIPv4() const { return family() == AF_INET; }
  bool isIPv6() const { return family() == AF_INET6; }
  bool isUnspecified() const;           // none, 0.0.0.0 or ::
  struct in_addr ipv4() const;          // 0.0.0.0 unless isIPv4()
  struct in6_addr const& ipv6() const;  // valid only if isIPv6()
  uint32_t scopeId() const;

  bool operator==(NetAddress const& other) const;
  bool operator!=(NetAddress const& other) const { return !(*this == other); }

  // Dotted quad, or the IPv6 text without a zone id ("" for none).
  std::string text() const;
  // As a URL's host: an IPv6 address in brackets.
  std::string urlHost() const;

  // The socket address to send to this address and port from a socket of
  // 'socketFamily': an IPv4 address on an AF_INET6 socket goes v4-mapped.
  // Returns its length, 0 when the socket's family cannot reach it.
  socklen_t toSockaddr(Port port, int socketFamily, struct sockaddr_storage& out) const;

private:
  struct sockaddr_storage fStorage;
};

#endif
