#include "MikeyMessage.hh"

#include <cstring>

// Payload types (RFC 3830, 6.1) and the values this profile uses.
namespace {
constexpr unsigned char kLast = 0, kKEMAC = 1, kT = 5, kSP = 10, kRAND = 11, kKeyData = 20;
constexpr unsigned char kVersion = 1, kDataTypePSKInit = 0, kMapTypeSRTP = 0, kProtSRTP = 0;
constexpr unsigned char kTSNtpUtc = 0, kTSNtp = 1, kTSCounter = 2;
constexpr unsigned char kKeyTEK = 2, kKeyTEKSalt = 3;

// Security policy parameters for SRTP (RFC 3830, 6.10.1) and AES_CM_128_HMAC_SHA1_80's values.
struct PolicyParam {
  unsigned char type, value;
};
constexpr PolicyParam kPolicy[] = {
    {0, 1},   // encryption: AES-CM
    {1, 16},  // session encryption key length
    {2, 1},   // authentication: HMAC-SHA-1
    {3, 20},  // session authentication key length
    {4, 14},  // session salt key length
    {7, 1},   // SRTP encryption on
    {8, 1},   // SRTCP encryption on
    {10, 1},  // SRTP authentication on
    {11, 10}, // authentication tag length
};

void put16(std::string& out, unsigned v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}
void put32(std::string& out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xFFFF);
}

// A bounded reader: every read past the end fails and stays failed.
class Reader {
public:
  Reader(unsigned char const* p, size_t n) : fP(p), fLeft(n) {}
  bool ok() const { return fOK; }
  size_t left() const { return fLeft; }
  unsigned char const* take(size_t n) {
    if (!fOK || n > fLeft) {
      fOK = false;
      return nullptr;
    }
    unsigned char const* at = fP;
    fP += n;
    fLeft -= n;
    return at;
  }
  unsigned u8() {
    unsigned char const* p = take(1);
    return p ? p[0] : 0;
  }
  unsigned u16() {
    unsigned char const* p = take(2);
    return p ? (p[0] << 8 | p[1]) : 0;
  }
  uint32_t u32() {
    uint32_t hi = u16();
    return hi << 16 | u16();
  }

private:
  unsigned char const* fP;
  size_t fLeft;
  bool fOK = true;
};

// The policy's parameters: each one this profile sets must have its value;
// others may appear with any value (the PRF, the key derivation rate...).
bool policyAcceptable(Reader& r) {
  unsigned length = r.u16();
  unsigned char const* params = r.take(length);
  if (params == nullptr) return false;
  Reader p(params, length);
  while (p.ok() && p.left() > 0) {
    unsigned type = p.u8(), size = p.u8();
    unsigned char const* value = p.take(size);
    if (value == nullptr) return false;
    // The session authentication key length is not checked: HMAC-SHA-1's is
    // 20, and GStreamer writes the tag length (10) there.
    for (PolicyParam const& want : kPolicy) {
      if (want.type == type && type != 3 && (size != 1 || value[0] != want.value)) return false;
    }
  }
  return p.ok();
}

// The KEMAC payload after its next-payload byte: NULL encryption, one TEK
// (with or without a separate salt), NULL MAC.
bool readKEMAC(Reader& r, MikeySRTPKey& out) {
  if (r.u8() != 0) return false;  // encryption algorithm NULL
  unsigned length = r.u16();
  unsigned char const* sub = r.take(length);
  if (sub == nullptr || r.u8() != 0) return false;  // MAC algorithm NULL: no MAC follows
  Reader k(sub, length);
  bool found = false;
  unsigned next = kKeyData;
  while (k.ok() && k.left() > 0 && next == kKeyData) {
    next = k.u8();
    unsigned typeKV = k.u8(), type = typeKV >> 4, kv = typeKV & 0x0F;
    unsigned keyLen = k.u16();
    unsigned char const* key = k.take(keyLen);
    unsigned char const* salt = nullptr;
    unsigned saltLen = 0;
    if (type == kKeyTEKSalt) {
      saltLen = k.u16();
      salt = k.take(saltLen);
    }
    if (kv == 1) {  // SPI/MKI
      k.take(k.u8());
    } else if (kv == 2) {  // validity interval
      k.take(k.u8());
      k.take(k.u8());
    } else if (kv != 0) {
      return false;
    }
    if (!k.ok() || found || (type != kKeyTEK && type != kKeyTEKSalt)) return false;
    if (keyLen + saltLen != MikeySRTPKey::kMasterSize || (salt != nullptr && keyLen != MikeySRTPKey::kKeySize))
      return false;
    std::memcpy(out.master, key, keyLen);
    if (salt != nullptr) std::memcpy(out.master + keyLen, salt, saltLen);
    found = true;
  }
  return k.ok() && found && next == kLast;
}
}  // namespace

std::string buildMikeyMessage(MikeySRTPKey const& key, unsigned char const rand[16], uint64_t ntpTime) {
  std::string m;
  m += static_cast<char>(kVersion);
  m += static_cast<char>(kDataTypePSKInit);
  m += static_cast<char>(kT);  // next payload
  m += '\0';                   // V = 0 (no verification message), PRF MIKEY-1
  put32(m, key.csbId);
  m += '\1';  // one crypto session
  m += static_cast<char>(kMapTypeSRTP);
  m += '\0';  // its policy number
  put32(m, key.ssrc);
  put32(m, key.roc);

  m += static_cast<char>(kRAND);
  m += static_cast<char>(kTSNtpUtc);
  put32(m, static_cast<uint32_t>(ntpTime >> 32));
  put32(m, static_cast<uint32_t>(ntpTime));

  m += static_cast<char>(kSP);
  m += '\x10';
  m.append(reinterpret_cast<char const*>(rand), 16);

  m += static_cast<char>(kKEMAC);
  m += '\0';  // policy number
  m += static_cast<char>(kProtSRTP);
  put16(m, 3 * (sizeof kPolicy / sizeof kPolicy[0]));
  for (PolicyParam const& p : kPolicy) {
    m += static_cast<char>(p.type);
    m += '\1';
    m += static_cast<char>(p.value);
  }

  m += static_cast<char>(kLast);
  m += '\0';  // encryption algorithm NULL
  put16(m, 4 + MikeySRTPKey::kMasterSize);
  m += static_cast<char>(kLast);        // the only key data sub-payload
  m += static_cast<char>(kKeyTEK << 4);  // TEK, no key validity data
  put16(m, MikeySRTPKey::kMasterSize);
  m.append(reinterpret_cast<char const*>(key.master), MikeySRTPKey::kMasterSize);
  m += '\0';  // MAC algorithm NULL
  return m;
}

bool parseMikeyMessage(unsigned char const* data, size_t size, MikeySRTPKey& out) {
  Reader r(data, size);
  MikeySRTPKey key;
  if (r.u8() != kVersion || r.u8() != kDataTypePSKInit) return false;
  unsigned next = r.u8();
  r.u8();  // V and PRF: no verification message is sent back either way
  key.csbId = r.u32();
  unsigned numCS = r.u8();
  if (r.u8() != kMapTypeSRTP || numCS == 0) return false;
  for (unsigned i = 0; i < numCS; ++i) {
    r.u8();  // policy number
    uint32_t ssrc = r.u32(), roc = r.u32();
    if (i == 0) {
      key.ssrc = ssrc;
      key.roc = roc;
    }
  }
  bool haveKey = false, havePolicy = false;
  while (r.ok() && next != kLast) {
    unsigned type = next;
    next = r.u8();
    if (type == kT) {
      unsigned ts = r.u8();
      r.take(ts == kTSCounter ? 4 : (ts == kTSNtpUtc || ts == kTSNtp) ? 8 : size + 1);
    } else if (type == kRAND) {
      r.take(r.u8());
    } else if (type == kSP) {
      r.u8();  // policy number
      if (r.u8() != kProtSRTP || !policyAcceptable(r)) return false;
      havePolicy = true;
    } else if (type == kKEMAC) {
      // KEMAC's next payload comes first like every other; it must be the last.
      if (haveKey || !readKEMAC(r, key)) return false;
      haveKey = true;
    } else {
      return false;  // nothing else belongs in this kind of message
    }
  }
  // A message without a policy means the default policy: AES-CM 128, HMAC-SHA-1 80.
  (void)havePolicy;
  if (!r.ok() || !haveKey || r.left() != 0) return false;
  out = key;
  return true;
}
