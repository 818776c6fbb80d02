#ifndef OSTRA_NET_ADDRESS_HH
#define OSTRA_NET_ADDRESS_HH

#include <netinet/in.h>

#include <cstdint>

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

#endif
