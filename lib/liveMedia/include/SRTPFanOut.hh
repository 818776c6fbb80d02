#ifndef OSTRA_SRTP_FAN_OUT_HH
#define OSTRA_SRTP_FAN_OUT_HH

#include <memory>

#include "RTPInterface.hh"
#include "SRTPCrypto.hh"

// The protection step of a fan-out: each packet staged on the plain
// interface is protected once, into a slot of a buffer kept for the life of
// the stream, and staged on the secure interface, which sends it to every
// SRTP destination of its own socket and keeps it in its own output store
// for interleaved SRTP readers. Bursts, key points and the last packet
// follow the plain interface's.
class SRTPFanOut : public RTPInterfaceTap {
public:
  // 'rtcp': the packets are RTCP (SRTCP); 'storeOwner': the RTP side's fan-out,
  // whose store the RTCP side shares.
  SRTPFanOut(SRTPProtector& protector, Groupsock* gs, bool rtcp, SRTPFanOut* storeOwner = nullptr);

  RTPInterface& secure() { return fSecure; }

  void stage(unsigned char const* packet, unsigned size, bool startsUnit, bool keyPoint) override;
  void markUnitKeyPoint() override { fSecure.markUnitKeyPoint(); }
  Boolean flush() override { return fSecure.flushBurst(); }
  Boolean sendLast(unsigned char const* packet, unsigned size) override;
  bool hasReceivers() const override { return fSecure.hasReceivers(); }

  // Packets that could not be protected (too large, or refused).
  unsigned numDropped() const { return fNumDropped; }

  // A slot holds the largest packet the store takes and its trailer.
  static constexpr unsigned kSlotSize = TrackOutputStore::kMaxPacketSize;

private:
  unsigned protect(unsigned char* slot, unsigned char const* packet, unsigned size);

  SRTPProtector& fProtector;
  bool fRTCP;
  RTPInterface fSecure;
  unsigned fNumSlots;                       // one burst's
  std::unique_ptr<unsigned char[]> fSlots;  // fNumSlots slots, and one for the last packet
  unsigned fNumDropped = 0;
};

#endif
