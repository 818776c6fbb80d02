#ifndef OSTRA_SERVER_MEDIA_SESSION_HH
#define OSTRA_SERVER_MEDIA_SESSION_HH

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Media.hh"
#include "NetAddress.hh"

class ServerMediaSubsession;

// One stream offered by the RTSP server: a name, a description and its
// tracks (subsessions), which it owns.
class ServerMediaSession : public Medium {
public:
  static ServerMediaSession* createNew(UsageEnvironment& env, char const* streamName = nullptr,
                                       char const* info = nullptr, char const* description = nullptr,
                                       Boolean isSSM = False, char const* miscSDPLines = nullptr);

  // The whole SDP text (allocated with new[]), or null when a track cannot be
  // described. 'localAddress' (network order, 0 = the host's address) goes
  // into the "o=" line.
  // With 'srtpOffers', each track that has SRTP is offered as RTP/SAVP with
  // its stream's key, whose id is noted there.
  using SRTPOffers = std::map<ServerMediaSubsession const*, uint64_t>;
  char* generateSDPDescription(unsigned localAddress = 0, SRTPOffers* srtpOffers = nullptr);
  // The SDP for a client of 'localAddress's family: for IPv6 "IN IP6" with
  // that address in "o=" and the tracks' IPv6 lines ("c=IN IP6 ::"); for
  // IPv4 the text above with the host's address.
  char* generateSDPDescription(NetAddress const& localAddress, SRTPOffers* srtpOffers = nullptr);
  // Whether every track can be described now (ServerMediaSubsession::
  // sdpLinesReady); when not, ask again a little later.
  Boolean descriptionReady();

  char const* streamName() const { return fStreamName; }
  // Adds a track named "track<N>" in order of addition; takes ownership.
  Boolean addSubsession(ServerMediaSubsession* subsession);
  unsigned numSubsessions() const { return static_cast<unsigned>(fSubsessions.size()); }
  ServerMediaSubsession* subsession(unsigned index) const { return fSubsessions[index]; }
  // The track whose id ("track1"...) is 'trackId', or null.
  ServerMediaSubsession* lookupSubsessionByTrackId(char const* trackId) const;

  Boolean isServerMediaSession() const override;
  float duration() const;  // 0 for a live stream

  // Reference count of client sessions using this stream.
  unsigned referenceCount() const { return fReferenceCount; }
  void incrementReferenceCount() { ++fReferenceCount; }
  void decrementReferenceCount() {
    if (fReferenceCount > 0) --fReferenceCount;
  }

protected:
  ServerMediaSession(UsageEnvironment& env, char const* streamName, char const* info, char const* description,
                     Boolean isSSM, char const* miscSDPLines);
  ~ServerMediaSession() override;

private:
  char* describe(std::string const& ip, int addressFamily, SRTPOffers* srtpOffers);
  char* fStreamName;
  char* fInfoSDPString;
  char* fDescriptionSDPString;
  char* fMiscSDPLines;
  Boolean fIsSSM;
  struct timeval fCreationTime;
  std::vector<ServerMediaSubsession*> fSubsessions;
  unsigned fReferenceCount = 0;
};

#endif
