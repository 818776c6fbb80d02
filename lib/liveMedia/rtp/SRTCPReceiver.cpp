#include "SRTCPReceiver.hh"

#include <sys/socket.h>

#include <cstring>

#include "RTCP.hh"

SRTCPReceiver::SRTCPReceiver(UsageEnvironment& env, Groupsock* gs) : fEnv(env), fGS(gs) {
  if (fGS != nullptr && fGS->socketNum() >= 0) {
    env.taskScheduler().setBackgroundHandling(fGS->socketNum(), SOCKET_READABLE, incomingHandler, this);
  }
}

SRTCPReceiver::~SRTCPReceiver() {
  if (fGS != nullptr && fGS->socketNum() >= 0) fEnv.taskScheduler().disableBackgroundHandling(fGS->socketNum());
}

void SRTCPReceiver::addUDPClient(NetAddress const& addr, Port port, SRTCPVerifier* verifier, HandlerFunc* handler,
                                 void* clientData) {
  removeClient(verifier);
  fClients.push_back(Client{addr, port.num(), nullptr, 0, verifier, handler, clientData});
}

void SRTCPReceiver::addStreamClient(InterleavedChannelWriter* writer, unsigned char channelId,
                                    SRTCPVerifier* verifier, HandlerFunc* handler, void* clientData) {
  removeClient(verifier);
  fClients.push_back(Client{NetAddress(), 0, writer, channelId, verifier, handler, clientData});
}

void SRTCPReceiver::removeClient(SRTCPVerifier* verifier) {
  for (size_t i = 0; i < fClients.size(); ++i) {
    if (fClients[i].verifier == verifier) {
      fClients.erase(fClients.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void SRTCPReceiver::check(Client const& client, unsigned size) {
  switch (client.verifier->unprotect(fInBuf, size)) {
    case SRTCPVerifier::Result::Forged:
      ++fNumForged;
      return;
    case SRTCPVerifier::Result::Replayed:
      ++fNumReplayed;
      return;
    case SRTCPVerifier::Result::Genuine:
      ++fNumGenuine;
      break;
  }
  // The handler may end this receiver's stream: nothing is touched after it.
  if (client.handler != nullptr && RTCPInstance::containsReceiverReport(fInBuf, size)) client.handler(client.clientData);
}

bool SRTCPReceiver::injectReport(unsigned char const* packet, unsigned size, InterleavedChannelWriter* fromWriter,
                                 unsigned char channelId) {
  for (size_t i = fClients.size(); i-- > 0;) {
    Client const c = fClients[i];
    if (c.writer != nullptr && c.writer == fromWriter && c.channelId == channelId) {
      if (packet != nullptr && size <= sizeof fInBuf) {
        std::memcpy(fInBuf, packet, size);
        check(c, size);
      } else {
        ++fNumForged;
      }
      return true;
    }
  }
  return false;
}

void SRTCPReceiver::incomingHandler(void* clientData, int /*mask*/) {
  static_cast<SRTCPReceiver*>(clientData)->incomingHandler1();
}

void SRTCPReceiver::incomingHandler1() {
  struct sockaddr_storage from {};
  socklen_t fromLen = sizeof from;
  ssize_t n =
      ::recvfrom(fGS->socketNum(), fInBuf, sizeof fInBuf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
  if (n <= 0) return;
  Port fromPort;
  NetAddress const fromAddress = NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), fromLen, &fromPort);
  for (size_t i = fClients.size(); i-- > 0;) {
    Client const c = fClients[i];
    if (c.writer == nullptr && c.addr == fromAddress && c.port == fromPort.num()) {
      check(c, static_cast<unsigned>(n));
      return;
    }
  }
  ++fNumForged;  // from no client of this stream
}
