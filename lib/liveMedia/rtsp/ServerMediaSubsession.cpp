#include "ServerMediaSubsession.hh"

#include <sys/socket.h>

#include <cstdio>

ServerMediaSubsession::ServerMediaSubsession(UsageEnvironment& env) : Medium(env) {}

ServerMediaSubsession::~ServerMediaSubsession() { delete[] fTrackId; }

char const* ServerMediaSubsession::trackId() {
  if (fTrackId == nullptr) {
    char id[32];
    std::snprintf(id, sizeof id, "track%u", fTrackNumber);
    fTrackId = strDup(id);
  }
  return fTrackId;
}

Boolean ServerMediaSubsession::sdpLinesReady() { return True; }

char const* ServerMediaSubsession::sdpLinesFor(int addressFamily) {
  char const* lines = sdpLines();
  if (lines == nullptr || addressFamily != AF_INET6) return lines;
  if (fIPv6Lines.empty() || fIPv4LinesSeen != lines) {
    fIPv4LinesSeen = lines;
    fIPv6Lines = lines;
    static std::string const kIPv4("c=IN IP4 0.0.0.0\r\n"), kIPv6("c=IN IP6 ::\r\n");
    for (size_t at = fIPv6Lines.find(kIPv4); at != std::string::npos; at = fIPv6Lines.find(kIPv4, at)) {
      fIPv6Lines.replace(at, kIPv4.size(), kIPv6);
      at += kIPv6.size();
    }
  }
  return fIPv6Lines.c_str();
}

void ServerMediaSubsession::pauseStream(unsigned /*clientSessionId*/, void* /*streamToken*/) {}

Boolean ServerMediaSubsession::sourceUnavailable() const { return False; }

Boolean ServerMediaSubsession::offeredKeyGone() const { return False; }

uint64_t ServerMediaSubsession::srtpOffer(std::string& keyMgmtLine) {
  keyMgmtLine.clear();
  return 0;
}

float ServerMediaSubsession::streamPosition(void* /*streamToken*/) { return 0.0f; }

void ServerMediaSubsession::injectInterleavedRTCP(void* /*streamToken*/, unsigned char const* /*packet*/,
                                                  unsigned /*size*/, InterleavedChannelWriter* /*fromWriter*/,
                                                  unsigned char /*channelId*/) {}

float ServerMediaSubsession::duration() const { return 0.0f; }
