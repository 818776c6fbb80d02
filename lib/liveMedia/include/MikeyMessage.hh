#ifndef OSTRA_MIKEY_MESSAGE_HH
#define OSTRA_MIKEY_MESSAGE_HH

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The MIKEY messages (RFC 3830) that carry SRTP keys inside a TLS-protected
// RTSP exchange (RFC 4567): a pre-shared-key initiation whose key data is
// sent unencrypted (encryption and MAC algorithm NULL), for one crypto
// session, crypto suite AES_CM_128_HMAC_SHA1_80. The server offers its
// sender key this way in the SDP ("a=key-mgmt:mikey <base64>"); a client
// sends its own in its SETUP ("KeyMgmt:" header). Pure: no I/O.
struct MikeySRTPKey {
  static constexpr unsigned kKeySize = 16, kSaltSize = 14, kMasterSize = kKeySize + kSaltSize;
  uint32_t csbId = 0;  // crypto session bundle id
  uint32_t ssrc = 0;   // the crypto session's SSRC (0: any)
  uint32_t roc = 0;    // its rollover counter
  unsigned char master[kMasterSize] = {};  // master key, then master salt
};

// The message as bytes; 'rand' (16 bytes) and 'ntpTime' fill the RAND and T payloads.
std::string buildMikeyMessage(MikeySRTPKey const& key, unsigned char const rand[16], uint64_t ntpTime);

// Reads a message of that kind. Returns false for anything else: another
// version or data type, no SRTP crypto session, encrypted key data or a MAC,
// a security policy other than AES_CM_128_HMAC_SHA1_80, a key or salt of
// another size, or lengths that do not add up.
bool parseMikeyMessage(unsigned char const* data, size_t size, MikeySRTPKey& out);

// "a=key-mgmt:mikey <base64>\r\n" for an SDP media description.
std::string keyMgmtSDPLine(std::string const& mikey);

// The MIKEY message of a KeyMgmt header value (RFC 4567:
// 'prot=mikey; uri="..."; data="<base64>"', several specs comma-separated;
// the first MIKEY one counts). Returns false when there is none or its data
// is not base64.
bool parseKeyMgmtHeader(std::string_view value, std::string& mikey);

// Decodes base64 (RFC 4648) text whole; false on a character outside the alphabet.
bool base64Decode(std::string_view text, std::string& out);

#endif
