#ifndef OSTRA_DESCRIPTION_PROBE_HH
#define OSTRA_DESCRIPTION_PROBE_HH

#include <memory>

#include "FramedSource.hh"
#include "Groupsock.hh"
#include "RTPSink.hh"

// A short-lived reader of a track's source for its description: the sink
// plays the source into a socket with no destinations, so that what the
// sink learns from the stream (the parameter sets of its format line) can be
// described before any client streams. Closing the probe closes the sink and
// the source.
class DescriptionProbe {
public:
  // Takes 'source' and 'sink' (made on 'socket'); starts playing at once.
  DescriptionProbe(FramedSource* source, RTPSink* sink, std::unique_ptr<Groupsock> socket, unsigned estBitrate,
                   void (*closeSource)(void* owner, FramedSource* source), void* owner);
  ~DescriptionProbe();

  RTPSink* sink() const { return fSink; }
  unsigned estBitrate() const { return fEstBitrate; }
  // The sink's format line, null while it has none.
  char const* auxSDPLine() const { return fSink->auxSDPLine(); }
  // The source has ended (or could not be played): nothing more will come.
  bool ended() const { return fEnded; }

private:
  static void afterPlaying(void* clientData);

  FramedSource* fSource;
  RTPSink* fSink;
  std::unique_ptr<Groupsock> fSocket;
  unsigned fEstBitrate;
  void (*fCloseSource)(void*, FramedSource*);
  void* fOwner;
  bool fEnded = false;
};

#endif
