#include "DescriptionProbe.hh"

DescriptionProbe::DescriptionProbe(FramedSource* source, RTPSink* sink, std::unique_ptr<Groupsock> socket,
                                   unsigned estBitrate, void (*closeSource)(void* owner, FramedSource* source),
                                   void* owner)
    : fSource(source),
      fSink(sink),
      fSocket(std::move(socket)),
      fEstBitrate(estBitrate),
      fCloseSource(closeSource),
      fOwner(owner) {
  if (!fSink->startPlaying(*fSource, afterPlaying, this)) fEnded = true;
}

DescriptionProbe::~DescriptionProbe() {
  fSink->stopPlaying();
  Medium::close(fSink);
  fCloseSource(fOwner, fSource);
}

void DescriptionProbe::afterPlaying(void* clientData) {
  // Only noted: the probe is closed by its owner, never from inside the sink.
  static_cast<DescriptionProbe*>(clientData)->fEnded = true;
}
