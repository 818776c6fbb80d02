#include "ServerMediaSession.hh"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "GroupsockHelper.hh"
#include "ServerMediaSubsession.hh"
#include "liveMedia_version.hh"

ServerMediaSession* ServerMediaSession::createNew(UsageEnvironment& env, char const* streamName, char const* info,
                                                  char const* description, Boolean isSSM, char const* miscSDPLines) {
  return new ServerMediaSession(env, streamName, info, description, isSSM, miscSDPLines);
}

ServerMediaSession::ServerMediaSession(UsageEnvironment& env, char const* streamName, char const* info,
                                       char const* description, Boolean isSSM, char const* miscSDPLines)
    : Medium(env),
      fStreamName(strDup(streamName != nullptr ? streamName : "")),
      fInfoSDPString(strDup(info != nullptr ? info : LIVEMEDIA_LIBRARY_IDENTITY)),
      fDescriptionSDPString(strDup(description != nullptr ? description : fStreamName)),
      fMiscSDPLines(strDup(miscSDPLines)),
      fIsSSM(isSSM) {
  gettimeofday(&fCreationTime, nullptr);
}

ServerMediaSession::~ServerMediaSession() {
  for (ServerMediaSubsession* s : fSubsessions) Medium::close(s);
  delete[] fStreamName;
  delete[] fInfoSDPString;
  delete[] fDescriptionSDPString;
  delete[] fMiscSDPLines;
}

Boolean ServerMediaSession::isServerMediaSession() const { return True; }

Boolean ServerMediaSession::descriptionReady() {
  Boolean ready = True;
  // Every track is asked, so that all of them start finding out at once.
  for (ServerMediaSubsession* s : fSubsessions) ready = s->sdpLinesReady() && ready;
  return ready;
}

Boolean ServerMediaSession::addSubsession(ServerMediaSubsession* subsession) {
  if (subsession == nullptr || subsession->fParentSession != nullptr) return False;
  fSubsessions.push_back(subsession);
  subsession->fParentSession = this;
  subsession->fTrackNumber = static_cast<unsigned>(fSubsessions.size());
  return True;
}

ServerMediaSubsession* ServerMediaSession::lookupSubsessionByTrackId(char const* trackId) const {
  if (trackId == nullptr) return nullptr;
  for (ServerMediaSubsession* s : fSubsessions) {
    if (std::strcmp(s->trackId(), trackId) == 0) return s;
  }
  return nullptr;
}

float ServerMediaSession::duration() const {
  float result = 0.0f;
  for (ServerMediaSubsession const* s : fSubsessions) {
    float d = s->duration();
    if (d > result) result = d;
  }
  return result;
}

char* ServerMediaSession::generateSDPDescription(unsigned localAddress, SRTPOffers* srtpOffers) {
  netAddressBits ourAddress = localAddress != 0 ? localAddress : ourIPAddress(envir());
  return describe(AddressString(ourAddress), AF_INET, srtpOffers);
}

char* ServerMediaSession::generateSDPDescription(NetAddress const& localAddress, SRTPOffers* srtpOffers) {
  if (!localAddress.isIPv6()) return generateSDPDescription(0u, srtpOffers);
  return describe(localAddress.text(), AF_INET6, srtpOffers);
}

char* ServerMediaSession::describe(std::string const& ip, int addressFamily, SRTPOffers* srtpOffers) {
  char const* const in = addressFamily == AF_INET6 ? "IN IP6" : "IN IP4";
  std::string sdp;
  sdp.reserve(1024);
  char line[200];

  sdp += "v=0\r\n";
  std::snprintf(line, sizeof line, "o=- %ld%06ld 1 %s %s\r\n", static_cast<long>(fCreationTime.tv_sec),
                static_cast<long>(fCreationTime.tv_usec), in, ip.c_str());
  sdp += line;
  sdp.append("s=").append(fDescriptionSDPString).append("\r\n");
  sdp.append("i=").append(fInfoSDPString).append("\r\n");
  sdp += "t=0 0\r\n";
  sdp.append("a=tool:").append(LIVEMEDIA_LIBRARY_IDENTITY).append("\r\n");
  sdp += "a=type:broadcast\r\n";
  sdp += "a=control:*\r\n";
  if (fIsSSM) sdp.append("a=source-filter: incl ").append(in).append(" * ").append(ip).append("\r\n");
  float dur = duration();
  if (dur > 0.0f) {
    std::snprintf(line, sizeof line, "a=range:npt=0-%.3f\r\n", static_cast<double>(dur));
    sdp += line;
  } else {
    sdp += "a=range:npt=0-\r\n";
  }
  sdp.append("a=x-qt-text-nam:").append(fDescriptionSDPString).append("\r\n");
  sdp.append("a=x-qt-text-inf:").append(fInfoSDPString).append("\r\n");
  if (fMiscSDPLines != nullptr) sdp += fMiscSDPLines;

  for (ServerMediaSubsession* s : fSubsessions) {
    char const* lines = s->sdpLinesFor(addressFamily);
    if (lines == nullptr) return nullptr;
    std::string keyMgmt;
    uint64_t keyId = srtpOffers != nullptr ? s->srtpOffer(keyMgmt) : 0;
    std::string_view media(lines);
    size_t profile = media.find(" RTP/AVP ");
    if (keyId == 0 || profile == std::string_view::npos) {
      sdp += lines;
      continue;
    }
    (*srtpOffers)[s] = keyId;
    sdp.append(media.substr(0, profile)).append(" RTP/SAVP ").append(media.substr(profile + 9)).append(keyMgmt);
  }
  return strDup(sdp.c_str());
}
