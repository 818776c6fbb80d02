#include "RTPInterface.hh"

RTPInterface::RTPInterface(Groupsock* gs, TrackOutputStore::Kind kind, RTPInterface* storeOwner)
    : fGS(gs), fKind(kind), fStoreOwner(storeOwner) {}

RTPInterface::~RTPInterface() {
  // The store tells its readers when it goes; our own channels leave first.
  TrackOutputStore* store = outputStore();
  if (store != nullptr) {
    for (Stream const& s : fStreams) s.writer->detachStore(*store, fKind, s.channelId);
  }
}

bool RTPInterface::hasReceivers() const {
  return (fGS != nullptr && fGS->numDestinations() > 0) || !fStreams.empty() || (fTap != nullptr && fTap->hasReceivers());
}

TrackOutputStore* RTPInterface::outputStore() const {
  return fStoreOwner != nullptr ? fStoreOwner->outputStore() : fStore.get();
}

TrackOutputStore& RTPInterface::ensureStore() {
  if (fStoreOwner != nullptr) return fStoreOwner->ensureStore();
  if (!fStore) fStore = std::make_unique<TrackOutputStore>();
  return *fStore;
}

void RTPInterface::addStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
  if (writer == nullptr) return;
  for (Stream const& s : fStreams) {
    if (s.writer == writer && s.channelId == channelId) return;
  }
  fStreams.push_back(Stream{writer, channelId});
  writer->attachStore(ensureStore(), fKind, channelId);
}

void RTPInterface::removeStreamSocket(InterleavedChannelWriter* writer, unsigned char channelId) {
  TrackOutputStore* store = outputStore();
  for (size_t i = 0; i < fStreams.size();) {
    Stream const s = fStreams[i];
    if (s.writer == writer && s.channelId == channelId) {
      fStreams.erase(fStreams.begin() + static_cast<std::ptrdiff_t>(i));
      if (store != nullptr) writer->detachStore(*store, fKind, s.channelId);
    } else {
      ++i;
    }
  }
}

void RTPInterface::stagePacket(unsigned char const* packet, unsigned size, bool startsUnit, bool keyPoint) {
  if (fNumStaged == kMaxBurst) flushBurst();
  fStaged[fNumStaged].iov_base = const_cast<unsigned char*>(packet);
  fStaged[fNumStaged].iov_len = size;
  ++fNumStaged;
  if (fTap != nullptr) fTap->stage(packet, size, startsUnit, keyPoint);
  if (fStreams.empty()) return;
  TrackOutputStore* store = outputStore();
  if (store != nullptr && size <= TrackOutputStore::kMaxPacketSize) {
    store->append(fKind, packet, size, startsUnit, keyPoint);
    return;
  }
  // Too large for the store: each client gets its own copy.
  if (!writeToEachChannel(packet, size)) fBurstOK = False;
}

Boolean RTPInterface::writeToEachChannel(unsigned char const* packet, unsigned size) {
  Boolean ok = True;
  // Indexed loop: a writer may drop its own channel from inside the call.
  for (size_t i = 0; i < fStreams.size(); ++i) {
    Stream s = fStreams[i];
    if (!s.writer->writeInterleavedFrame(s.channelId, packet, size)) ok = False;
  }
  return ok;
}

void RTPInterface::markUnitKeyPoint() {
  if (fTap != nullptr) fTap->markUnitKeyPoint();
  TrackOutputStore* store = outputStore();
  if (store != nullptr && !fStreams.empty()) store->markOpenUnitKeyPoint();
}

Boolean RTPInterface::flushBurst() {
  Boolean ok = fBurstOK;
  fBurstOK = True;
  if (fNumStaged > 0 && fGS != nullptr && fGS->numDestinations() > 0) {
    if (!fGS->outputBurst(fStaged, fNumStaged)) ok = False;
  }
  fNumStaged = 0;
  TrackOutputStore* store = outputStore();
  if (store != nullptr && !fStreams.empty()) store->commit();
  if (fTap != nullptr && !fTap->flush()) ok = False;
  return ok;
}

Boolean RTPInterface::sendLastPacket(unsigned char const* packet, unsigned size) {
  if (fNumStaged > 0) flushBurst();
  Boolean ok = True;
  if (fGS != nullptr && fGS->numDestinations() > 0 && !fGS->output(fGS->env(), packet, size)) ok = False;
  if (!writeToEachChannel(packet, size)) ok = False;
  if (fTap != nullptr && !fTap->sendLast(packet, size)) ok = False;
  return ok;
}

Boolean RTPInterface::sendPacket(unsigned char const* packet, unsigned size) {
  if (fNumStaged > 0) flushBurst();  // keep the order of what was staged before
  // A lone RTP packet is a point a decoder can start at; RTCP never is.
  bool const rtp = fKind == TrackOutputStore::Kind::RTP;
  stagePacket(packet, size, rtp, rtp);
  return flushBurst();
}
