#include "SRTPFanOut.hh"

#include <cstring>

SRTPFanOut::SRTPFanOut(SRTPProtector& protector, Groupsock* gs, bool rtcp, SRTPFanOut* storeOwner)
    : fProtector(protector),
      fRTCP(rtcp),
      fSecure(gs, rtcp ? TrackOutputStore::Kind::RTCP : TrackOutputStore::Kind::RTP,
              storeOwner != nullptr ? &storeOwner->fSecure : nullptr),
      fSlots(new unsigned char[(RTPInterface::kMaxBurst + 1) * kSlotSize]) {}

unsigned SRTPFanOut::protect(unsigned char* slot, unsigned char const* packet, unsigned size) {
  unsigned const trailer = fRTCP ? srtp::kRTCPTrailer : srtp::kRTPTrailer;
  if (size + trailer > kSlotSize) return 0;
  std::memcpy(slot, packet, size);
  return fRTCP ? fProtector.protectRTCP(slot, size, kSlotSize) : fProtector.protectRTP(slot, size, kSlotSize);
}

void SRTPFanOut::stage(unsigned char const* packet, unsigned size, bool startsUnit, bool keyPoint) {
  // The secure interface flushes a full burst itself; the slots then start over.
  if (fSecure.numStagedPackets() == RTPInterface::kMaxBurst) fSecure.flushBurst();
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
  unsigned char* slot = fSlots.get() + RTPInterface::kMaxBurst * kSlotSize;
  unsigned protectedSize = protect(slot, packet, size);
  if (protectedSize == 0) {
    ++fNumDropped;
    return False;
  }
  return fSecure.sendLastPacket(slot, protectedSize);
}
