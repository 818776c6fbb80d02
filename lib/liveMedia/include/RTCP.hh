#ifndef OSTRA_RTCP_HH
#define OSTRA_RTCP_HH

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Media.hh"
#include "RTPInterface.hh"

class RTPSink;

// The RTCP side of one RTP stream (RFC 3550): sends sender reports with an
// SDES CNAME on the randomised schedule, reads receiver reports, and sends
// BYE to every destination still attached when it is closed.
class RTCPInstance : public Medium {
public:
  // 'totSessionBW' in kbps sets the RTCP bandwidth (5%). 'cname' is copied.
  // Reading of incoming reports starts at once on RTCPgs's socket.
  static RTCPInstance* createNew(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW,
                                 unsigned char const* cname, RTPSink* sink);

  Boolean isRTCPInstance() const override;

  // Sends an SR + SDES compound packet to every destination now (the regular
  // schedule goes on).
  void sendReport();
  // Sends SR + BYE to every destination now (interleaved clients get it through
  // their own queues: it outlives the output store).
  void sendBYE();

  RTPInterface& rtcpInterface() { return fRTCPInterface; }
  void addStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
    fRTCPInterface.addStreamSocket(writer, channelId);
  }
  void removeStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
    fRTCPInterface.removeStreamSocket(writer, channelId);
  }

  // Receiver-report handlers: 'handler(clientData)' runs for every RTCP
  // packet of type RR (201) that arrives from the given UDP address and port,
  // or on the given interleaved channel of the given connection. Handlers for
  // one UDP address and port are kept per 'clientData' (one per client
  // session): the newest hears the reports, and removing one leaves the
  // others in place.
  typedef void RRHandlerFunc(void* clientData);
  void setSpecificRRHandler(NetAddress const& fromAddress, Port fromPort, RRHandlerFunc* handler, void* clientData);
  void unsetSpecificRRHandler(NetAddress const& fromAddress, Port fromPort, void* clientData);
  void setStreamRRHandler(InterleavedChannelWriter* writer, unsigned char channelId, RRHandlerFunc* handler,
                          void* clientData);
  void unsetStreamRRHandler(InterleavedChannelWriter* writer, unsigned char channelId);

  // An RTCP compound packet read from an interleaved channel by the RTSP
  // connection that carries it.
  void injectReport(unsigned char const* packet, unsigned size, InterleavedChannelWriter* fromWriter,
                    unsigned char channelId);

  // Whether a compound RTCP packet is well formed (version 2, lengths add up)
  // and contains a receiver report.
  static Boolean containsReceiverReport(unsigned char const* packet, unsigned size);

  // Counters, for tests and diagnostics.
  unsigned numReportsSent() const { return fNumReportsSent; }
  unsigned numPacketsReceived() const { return fNumPacketsReceived; }
  // The interval (microseconds) chosen for the next scheduled report.
  int64_t lastScheduledInterval() const { return fLastInterval; }

protected:
  RTCPInstance(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW, unsigned char const* cname,
               RTPSink* sink);
  ~RTCPInstance() override;

  RTPInterface fRTCPInterface;

private:
  static void incomingReportHandler(void* clientData, int mask);
  void incomingReportHandler1();
  static void onExpire(void* clientData);
  void scheduleNextReport();
  unsigned addSR(unsigned char* p);
  unsigned addSDES(unsigned char* p);
  unsigned addBYE(unsigned char* p);
  void sendBuilt(unsigned size);
  uint32_t ourSSRC() const;

  struct UdpHandler {
    NetAddress addr;
    portNumBits port;  // network order
    RRHandlerFunc* handler;
    void* clientData;
  };
  struct StreamHandler {
    InterleavedChannelWriter* writer;
    unsigned char channelId;
    RRHandlerFunc* handler;
    void* clientData;
  };

  RTPSink* fSink;
  std::string fCNAME;
  double fRTCPBandwidth;  // bytes per second
  double fAvgRTCPSize;    // bytes, UDP/IP overhead included
  bool fInitialReport = true;
  uint32_t fOwnSSRC;  // when there is no sink
  TaskScheduler::TaskToken fReportTask = nullptr;
  int64_t fLastInterval = 0;
  bool fReading = false;
  unsigned fNumReportsSent = 0;
  unsigned fNumPacketsReceived = 0;
  std::vector<UdpHandler> fUdpHandlers;
  std::vector<StreamHandler> fStreamHandlers;
  unsigned char fOutBuf[512];
  unsigned char fInBuf[1500];
};

#endif
