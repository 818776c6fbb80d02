#include "SRTPFanOut.hh"

#include <cstring>

SRTPFanOut::SRTPFanOut(SRTPProtector& protector, Groupsock* gs, bool rtcp, SRTPFanOut* storeOwner)
    : fProtector(protector),
      fRTCP(rtcp),
      fSecure(gs, rtcp ? TrackOutputStore::Kind::RTCP : TrackOutputStore::Kind::RTP,
              storeOwner != nullptr ? &storeOwner->fSecure : nullptr),
      // RTCP goes out one packet at a time.
      fNumSlots(rtcp ? 1 : RTPInterface::kMaxBurst),
      fSlots(new unsigned char[(fNumSlots + 1) * kSlotSize]) {}

unsigned SRTPFanOut::protect(unsigned char* slot, unsigned char const* packet, unsigned size) {
  unsigned const trailer = fRTCP ? srtp::kRTCPTrailer : srtp::kRTPTrailer;
  if (size + trailer > kSlotSize) return 0;
  std::memcpy(slot, packet, size);
  return fRTCP ? fProtector.protectRTCP(slot, size, kSlotSize) : fProtector.protectRTP(slot, size, kSlotSize);
}

void SRTPFanOut::stage(unsigned char const* packet, unsigned size, bool startsUnit, bool keyPoint) {
  // A full burst goes out first; the slots then start over.
  if (fSecure.numStagedPackets() >= fNumSlots) fSecure.flushBurst();
  unsigned char* slot = fSlots.get() + fSecure.numStagedPackets() * kSlotSize;
  unsigned protectedSize = protect(slot, packet, size);
  if (protectedSize == 0) {
    ++fNumDropped;
    return;
  }
  fSecure.stagePacket(slot, protectedSize, startsUnit, keyPoint);
}

Boolean SRTPFanOut::sendLast(unsigned char const* packet, unsigned size) {
  if (fSecure.numStagedPackets() > 0) fSecure.flushBurst();
  unsigned char* slot = fSlots.get() + fNumSlots * kSlotSize;
  unsigned protectedSize = protect(slot, packet, size);
  if (protectedSize == 0) {
    ++fNumDropped;
    return False;
  }
  return fSecure.sendLastPacket(slot, protectedSize);
}
