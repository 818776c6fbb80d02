#ifndef OSTRA_SRTCP_RECEIVER_HH
#define OSTRA_SRTCP_RECEIVER_HH

#include <netinet/in.h>

#include <vector>

#include "Groupsock.hh"
#include "RTPInterface.hh"
#include "SRTPCrypto.hh"

// The SRTCP that SRTP clients send: read from the stream's SRTCP socket (or
// handed over by the connection that carries it interleaved), checked with
// the sending client's own key (authentication tag, replay window) and, when
// genuine and holding a receiver report, passed to that client's handler.
// Everything else is dropped and counted.
class SRTCPReceiver {
public:
  typedef void HandlerFunc(void* clientData);
  // Starts reading 'gs' (may be null: interleaved clients only).
  SRTCPReceiver(UsageEnvironment& env, Groupsock* gs);
  ~SRTCPReceiver();

  // The newest client of an address and port hears its reports.
  void addUDPClient(NetAddress const& addr, Port port, SRTCPVerifier* verifier, HandlerFunc* handler, void* clientData);
  void addStreamClient(InterleavedChannelWriter* writer, unsigned char channelId, SRTCPVerifier* verifier,
                       HandlerFunc* handler, void* clientData);
  void removeClient(SRTCPVerifier* verifier);
  // Whether an interleaved channel belongs to a client here; if so the packet is taken.
  bool injectReport(unsigned char const* packet, unsigned size, InterleavedChannelWriter* fromWriter,
                    unsigned char channelId);

  unsigned numGenuine() const { return fNumGenuine; }
  unsigned numForged() const { return fNumForged; }
  unsigned numReplayed() const { return fNumReplayed; }

private:
  struct Client {
    NetAddress addr;  // unset for an interleaved client
    portNumBits port;  // network order; 0 for an interleaved client
    InterleavedChannelWriter* writer;
    unsigned char channelId;
    SRTCPVerifier* verifier;
    HandlerFunc* handler;
    void* clientData;
  };
  static void incomingHandler(void* clientData, int mask);
  void incomingHandler1();
  void check(Client const& client, unsigned size);

  UsageEnvironment& fEnv;
  Groupsock* fGS;
  std::vector<Client> fClients;
  unsigned fNumGenuine = 0, fNumForged = 0, fNumReplayed = 0;
  unsigned char fInBuf[1500];
};

#endif
