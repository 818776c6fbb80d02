#ifndef OSTRA_GROUPSOCK_HH
#define OSTRA_GROUPSOCK_HH

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <vector>

#include "NetAddress.hh"
#include "UsageEnvironment.hh"

// One UDP socket and the set of unicast destinations it sends to. Every
// client of a shared stream adds its address and port here under its own
// session id; output() sends one datagram to each distinct address and port.
class Groupsock {
public:
  // Binds a non-blocking UDP socket to 'port' (0: any), dual-stack where the
  // kernel has IPv6 (IPv4 destinations go v4-mapped through it). When the
  // bind fails socketNum() is -1 and env's result message says why.
  Groupsock(UsageEnvironment& env, Port port);
  ~Groupsock();

  UsageEnvironment& env() const { return fEnv; }
  int socketNum() const { return fSocketNum; }
  Port port() const { return fPort; }           // the port actually bound
  int socketFamily() const { return fFamily; }  // AF_INET6 (both families) or AF_INET

  // Adds a destination for 'sessionId'. Each session keeps its own entry:
  // an address and port that several sessions name is sent to once, for as
  // long as any of them keeps it. An IPv6 address on an IPv4-only socket is
  // not added.
  void addDestination(NetAddress const& addr, Port const& port, unsigned sessionId);
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
  // Sends 'count' datagrams to every destination, each destination's in this
  // order, in batches of up to kMaxBatch messages. Where the kernel has UDP
  // segmentation offload, consecutive datagrams of one size (the last of a
  // run may be shorter) go to a destination as one segmented message; a
  // kernel that refuses it gets plain datagrams from then on.
  Boolean outputBurst(struct iovec const* datagrams, unsigned count);

  // Most messages handed to the kernel in one call (UIO_MAXIOV).
  static constexpr unsigned kMaxBatch = 1024;
  // Most datagrams in one segmented message.
  static constexpr unsigned kMaxSegments = 64;
  // Datagrams in a large burst (a key frame): the message arrays start this large.
  static constexpr unsigned kTypicalBurst = 128;

  // Segmentation offload for every Groupsock of the process: on by default;
  // off sends plain datagrams only (tests exercise both paths).
  static void setSegmentationOffloadAllowed(bool allowed);
  // Whether this socket sends segmented messages (known after the first burst).
  bool usesSegmentationOffload() const { return fOffload == Offload::Confirmed; }
  unsigned numSegmentedSends() const { return fNumSegmentedSends; }

  struct Destination {
    NetAddress addr;
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

  // One message of a batch: which destination, which datagrams.
  struct Planned {
    size_t dest;
    unsigned first, count;
  };
  // A control message carrying the segment size.
  struct SegmentControl {
    alignas(struct cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(uint16_t))];
  };
  enum class Offload { Unknown, Off, Confirmed };

  void rebuildAddresses();
  bool offloadUsable();
  void planRuns(struct iovec const* datagrams, unsigned count);
  size_t fillBatch(struct iovec const* datagrams, unsigned count, bool segmented, size_t dest, unsigned first);

  void releaseTarget(NetAddress const& addr, Port const& port);

  UsageEnvironment& fEnv;
  int fSocketNum;
  Port fPort;
  int fFamily = AF_INET;

  // An address and port sent to, and how many session entries name it.
  struct Target {
    NetAddress addr;
    Port port;
    unsigned holders;
    bool plain = false;  // an IPv6 path too narrow for a segment: plain datagrams (fragmented by the kernel)
  };
  std::vector<Destination> fDests;
  std::vector<Target> fTargets;  // in the order first added
  unsigned fNumSendFailures = 0;
  unsigned fNumSegmentedSends = 0;
  Offload fOffload = Offload::Unknown;

  // Reused from burst to burst: they grow only with the number of
  // destinations and the size of a burst, never shrink.
  std::vector<struct sockaddr_storage> fAddrs;  // one per destination
  std::vector<socklen_t> fAddrLengths;
  bool fAddrsStale = true;
  std::vector<struct mmsghdr> fMsgs;  // one batch
  std::vector<Planned> fPlanned;      // what each message of the batch carries
  std::vector<unsigned> fRunLength;   // datagrams in the segmented message that starts at each one
  std::vector<SegmentControl> fControls;
  struct iovec fSingle {};

  static bool sOffloadAllowed;
};

#endif
