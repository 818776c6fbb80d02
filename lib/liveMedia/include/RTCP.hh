#ifndef OSTRA_RTCP_HH
#define OSTRA_RTCP_HH

#include <netinet/in.h>

#include <vector>

#include "Media.hh"
#include "RTPInterface.hh"

class RTPSink;
class RTPSource;

// The RTCP side of one RTP stream (RFC 3550): sends sender reports with an
// SDES CNAME on the randomised schedule, reads receiver reports, and sends
// BYE to every destination still attached when it is closed.
class RTCPInstance : public Medium {
public:
  // 'totSessionBW' in kbps sets the RTCP bandwidth (5%). 'cname' is copied.
  // Reading of incoming reports starts at once on RTCPgs's socket.
  static RTCPInstance* createNew(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW,
                                 unsigned char const* cname, RTPSink* sink, RTPSource* source,
                                 Boolean isSSMSource = False);

  Boolean isRTCPInstance() const override;

  // Sends an SR + SDES compound packet to every destination now (the regular
  // schedule goes on).
  void sendReport();
  // Sends SR + BYE to every destination now.
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
  // or on the given interleaved channel of the given connection.
  typedef void RRHandlerFunc(void* clientData);
  void setSpecificRRHandler(struct in_addr fromAddress, Port fromPort, RRHandlerFunc* handler, void* clientData);
  void unsetSpecificRRHandler(struct in_addr fromAddress, Port fromPort);
  void setStreamRRHandler(InterleavedChannelWriter* writer, unsigned char channelId, RRHandlerFunc* handler,
                          void* clientData);
  void unsetStreamRRHandler(InterleavedChannelWriter* writer, unsigned char channelId);

  // An RTCP compound packet read from an interleaved channel by the RTSP
  // connection that carries it.
  void injectReport(unsigned char const* packet, unsigned size, InterleavedChannelWriter* fromWriter,
                    unsigned char channelId);

protected:
  RTCPInstance(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW, unsigned char const* cname,
               RTPSink* sink, RTPSource* source, Boolean isSSMSource);
  ~RTCPInstance() override;

  RTPInterface fRTCPInterface;
};

#endif
