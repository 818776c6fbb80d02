#ifndef OSTRA_GROUPSOCK_HH
#define OSTRA_GROUPSOCK_HH

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <vector>

#include "NetAddress.hh"
#include "UsageEnvironment.hh"

// One UDP socket and the set of unicast destinations it sends to. Every
// client of a shared stream adds its address and port here under its own
// session id; output() sends one datagram to each distinct address and port.
class Groupsock {
public:
  // Binds a non-blocking UDP socket to 'port' (0: any). When the bind fails
  // socketNum() is -1 and env's result message says why.
  Groupsock(UsageEnvironment& env, Port port);
  ~Groupsock();

  UsageEnvironment& env() const { return fEnv; }
  int socketNum() const { return fSocketNum; }
  Port port() const { return fPort; }  // the port actually bound

  // Adds a destination for 'sessionId'. Each session keeps its own entry:
  // an address and port that several sessions name is sent to once, for as
  // long as any of them keeps it.
  void addDestination(struct in_addr const& addr, Port const& port, unsigned sessionId);
  // Removes every destination added under 'sessionId' (and no other session's).
  void removeDestination(unsigned sessionId);
  void removeAllDestinations();
  // Distinct addresses and ports sent to.
  unsigned numDestinations() const { return static_cast<unsigned>(fTargets.size()); }

  // Sends 'data' to every destination, in order, with as few system calls as
  // the kernel allows (batches of up to kMaxBatch datagrams). Never blocks: a
  // destination whose datagram cannot be sent now (full socket buffer,
  // unreachable...) loses this datagram only. Returns false if any send failed.
  Boolean output(UsageEnvironment& env, unsigned char const* data, unsigned size);

  // Most datagrams handed to the kernel in one call (UIO_MAXIOV).
  static constexpr unsigned kMaxBatch = 1024;

  struct Destination {
    struct in_addr addr;
    Port port;
    unsigned sessionId;
  };
  // Every session's entry, in the order they were added.
  std::vector<Destination> const& destinations() const { return fDests; }

  // Datagrams that could not be sent (full socket buffer, unreachable port...).
  unsigned numSendFailures() const { return fNumSendFailures; }

private:
  Groupsock(Groupsock const&) = delete;
  Groupsock& operator=(Groupsock const&) = delete;

  UsageEnvironment& fEnv;
  int fSocketNum;
  Port fPort;
  void rebuildMessages();
  void releaseTarget(struct in_addr const& addr, Port const& port);

  // An address and port sent to, and how many session entries name it.
  struct Target {
    struct in_addr addr;
    Port port;
    unsigned holders;
  };
  std::vector<Destination> fDests;
  std::vector<Target> fTargets;  // in the order first added
  unsigned fNumSendFailures = 0;

  // One message per destination, all pointing at the same iovec; rebuilt only
  // when the destinations change, grown only when there are more of them.
  std::vector<struct mmsghdr> fMsgs;
  std::vector<struct sockaddr_in> fAddrs;
  struct iovec fIov {};
  bool fMsgsStale = true;
};

#endif
