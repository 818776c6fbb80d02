#include "SRTPCrypto.hh"

#if OSTRA_SRTP
#include <srtp2/srtp.h>

#include <cstring>

namespace {
bool libraryReady() {
  static bool const ready = srtp_init() == srtp_err_status_ok;
  return ready;
}

srtp_t create(unsigned char const master[MikeySRTPKey::kMasterSize], srtp_ssrc_type_t direction) {
  if (!libraryReady()) return nullptr;
  srtp_policy_t policy;
  std::memset(&policy, 0, sizeof policy);
  srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
  srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
  policy.ssrc.type = direction;
  policy.key = const_cast<unsigned char*>(master);
  policy.window_size = 128;
  srtp_t session = nullptr;
  return srtp_create(&session, &policy) == srtp_err_status_ok ? session : nullptr;
}
}  // namespace

SRTPProtector::~SRTPProtector() {
  if (fSession != nullptr) srtp_dealloc(static_cast<srtp_t>(fSession));
}

bool SRTPProtector::init(unsigned char const master[MikeySRTPKey::kMasterSize]) {
  if (fSession != nullptr) srtp_dealloc(static_cast<srtp_t>(fSession));
  fSession = create(master, ssrc_any_outbound);
  return fSession != nullptr;
}

unsigned SRTPProtector::protectRTP(unsigned char* packet, unsigned size, unsigned capacity) {
  if (fSession == nullptr || size + srtp::kRTPTrailer > capacity) return 0;
  int len = static_cast<int>(size);
  if (srtp_protect(static_cast<srtp_t>(fSession), packet, &len) != srtp_err_status_ok) return 0;
  return static_cast<unsigned>(len);
}

unsigned SRTPProtector::protectRTCP(unsigned char* packet, unsigned size, unsigned capacity) {
  if (fSession == nullptr || size + srtp::kRTCPTrailer > capacity) return 0;
  int len = static_cast<int>(size);
  if (srtp_protect_rtcp(static_cast<srtp_t>(fSession), packet, &len) != srtp_err_status_ok) return 0;
  return static_cast<unsigned>(len);
}

uint32_t SRTPProtector::rolloverCounter(uint32_t ssrc) const {
  uint32_t roc = 0;
  if (fSession == nullptr || srtp_get_stream_roc(static_cast<srtp_t>(fSession), ssrc, &roc) != srtp_err_status_ok)
    return 0;
  return roc;
}

SRTCPVerifier::~SRTCPVerifier() {
  if (fSession != nullptr) srtp_dealloc(static_cast<srtp_t>(fSession));
}

bool SRTCPVerifier::init(unsigned char const master[MikeySRTPKey::kMasterSize]) {
  if (fSession != nullptr) srtp_dealloc(static_cast<srtp_t>(fSession));
  fSession = create(master, ssrc_any_inbound);
  return fSession != nullptr;
}

SRTCPVerifier::Result SRTCPVerifier::unprotect(unsigned char* packet, unsigned& size) {
  if (fSession == nullptr || size < 8 + srtp::kRTCPTrailer) return Result::Forged;
  int len = static_cast<int>(size);
  srtp_err_status_t status = srtp_unprotect_rtcp(static_cast<srtp_t>(fSession), packet, &len);
  if (status == srtp_err_status_replay_fail || status == srtp_err_status_replay_old) return Result::Replayed;
  if (status != srtp_err_status_ok) return Result::Forged;
  size = static_cast<unsigned>(len);
  return Result::Genuine;
}

#else
// Built without SRTP: no context can be made, so no track offers it.
SRTPProtector::~SRTPProtector() = default;
bool SRTPProtector::init(unsigned char const*) { return false; }
unsigned SRTPProtector::protectRTP(unsigned char*, unsigned, unsigned) { return 0; }
unsigned SRTPProtector::protectRTCP(unsigned char*, unsigned, unsigned) { return 0; }
uint32_t SRTPProtector::rolloverCounter(uint32_t) const { return 0; }
SRTCPVerifier::~SRTCPVerifier() = default;
bool SRTCPVerifier::init(unsigned char const*) { return false; }
SRTCPVerifier::Result SRTCPVerifier::unprotect(unsigned char*, unsigned&) { return Result::Forged; }
#endif
