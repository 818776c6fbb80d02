#ifndef OSTRA_SRTP_CRYPTO_HH
#define OSTRA_SRTP_CRYPTO_HH

#include <cstdint>

#include "MikeyMessage.hh"

// SRTP and SRTCP (RFC 3711) with AES_CM_128_HMAC_SHA1_80, by libsrtp2.
// Protection and checks work in place in the caller's buffer, which must
// have room for the trailer: no allocation per packet.
namespace srtp {
// Bytes a protected packet grows by: the tag, and for SRTCP the index before it.
constexpr unsigned kRTPTrailer = 10, kRTCPTrailer = 14;
}  // namespace srtp

// One stream's sender context: one master key for its RTP and RTCP.
class SRTPProtector {
public:
  SRTPProtector() = default;
  ~SRTPProtector();
  // False when libsrtp2 refuses (it should not for a key of the right size).
  bool init(unsigned char const master[MikeySRTPKey::kMasterSize]);
  // 'size' bytes at 'packet' become the protected packet, whose size is
  // returned (0 when it cannot be protected; 'capacity' bounds it).
  unsigned protectRTP(unsigned char* packet, unsigned size, unsigned capacity);
  unsigned protectRTCP(unsigned char* packet, unsigned size, unsigned capacity);
  // The rollover counter of 'ssrc' (0 before its first packet).
  uint32_t rolloverCounter(uint32_t ssrc) const;

private:
  SRTPProtector(SRTPProtector const&) = delete;
  SRTPProtector& operator=(SRTPProtector const&) = delete;
  void* fSession = nullptr;  // srtp_t
};

// One client's receiving context for the SRTCP it sends (its receiver
// reports): authentication and replay checks against its own key.
class SRTCPVerifier {
public:
  enum class Result { Genuine, Forged, Replayed };
  SRTCPVerifier() = default;
  ~SRTCPVerifier();
  bool init(unsigned char const master[MikeySRTPKey::kMasterSize]);
  // On Genuine, 'size' becomes that of the plain RTCP packet.
  Result unprotect(unsigned char* packet, unsigned& size);

private:
  SRTCPVerifier(SRTCPVerifier const&) = delete;
  SRTCPVerifier& operator=(SRTCPVerifier const&) = delete;
  void* fSession = nullptr;
};

#endif
