#include "ServerMediaSubsession.hh"

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
