#include "DigestAuthentication.hh"

#include "RTSPRequest.hh"

// MD5 through its own functions, not EVP: EVP_Digest brings OpenSSL's whole
// provider framework along (1.6 MB of a static ARM daemon) for one digest.
// Those functions are marked deprecated from OpenSSL 3.0 on; this file asks
// for the 1.1.1 interface, which still has them.
#define OPENSSL_API_COMPAT 10101
#include <openssl/md5.h>

#include "SystemRandom.hh"

namespace {
constexpr char kDefaultRealm[] = "LIVE555 Streaming Media";
constexpr char kHex[] = "0123456789abcdef";

void toHex(unsigned char const* bytes, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 0x0F];
  }
  out[2 * n] = '\0';
}

std::string md5HexOf(std::string const& text) {
  char hex[33];
  md5Hex(text.data(), text.size(), hex);
  return std::string(hex, 32);
}
}  // namespace

UserAuthenticationDatabase::UserAuthenticationDatabase(char const* realm, Boolean passwordsAreMD5)
    : fRealm(realm != nullptr ? realm : kDefaultRealm), fPasswordsAreMD5(passwordsAreMD5) {}

UserAuthenticationDatabase::~UserAuthenticationDatabase() = default;

void UserAuthenticationDatabase::addUserRecord(char const* username, char const* password) {
  if (username == nullptr || password == nullptr) return;
  fTable[username] = password;
}

void UserAuthenticationDatabase::removeUserRecord(char const* username) {
  if (username != nullptr) fTable.erase(username);
}

char const* UserAuthenticationDatabase::lookupPassword(char const* username) {
  if (username == nullptr) return nullptr;
  auto it = fTable.find(username);
  return it == fTable.end() ? nullptr : it->second.c_str();
}

void md5Hex(void const* data, size_t size, char out[33]) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5_CTX context;
  if (MD5_Init(&context) != 1 || MD5_Update(&context, data, size) != 1 || MD5_Final(digest, &context) != 1) {
    out[0] = '\0';
    return;
  }
  toHex(digest, MD5_DIGEST_LENGTH, out);
}

std::string computeDigestResponse(std::string_view username, std::string_view realm, std::string_view password,
                                  Boolean passwordIsMD5, std::string_view nonce, std::string_view method,
                                  std::string_view uri) {
  std::string ha1;
  if (passwordIsMD5) {
    ha1.assign(password);
  } else {
    std::string a1;
    a1.append(username).append(":").append(realm).append(":").append(password);
    ha1 = md5HexOf(a1);
  }
  std::string a2;
  a2.append(method).append(":").append(uri);
  std::string ha2 = md5HexOf(a2);
  std::string all;
  all.append(ha1).append(":").append(nonce).append(":").append(ha2);
  return md5HexOf(all);
}

std::string makeDigestNonce() {
  unsigned char bytes[16];
  if (!systemRandomBytes(bytes, sizeof bytes)) return std::string();
  char hex[33];
  toHex(bytes, sizeof bytes, hex);
  return std::string(hex, 32);
}

bool digestAuthorizationAccepted(UserAuthenticationDatabase& db, std::string_view authorization, std::string_view nonce,
                                 std::string_view method) {
  DigestAuthorizationFields f;
  if (nonce.empty() || !parseDigestAuthorization(authorization, f)) return false;
  if (f.realm != db.realm() || f.nonce != nonce) return false;
  // The database is keyed by C strings: a name with a NUL in it would be
  // looked up as its first part but hashed whole.
  if (f.username.find('\0') != std::string_view::npos) return false;
  std::string const username(f.username);
  char const* password = db.lookupPassword(username.c_str());
  if (password == nullptr) return false;
  std::string const expected =
      computeDigestResponse(username, db.realm(), password, db.passwordsAreMD5(), nonce, method, f.uri);
  return equalsIgnoreCase(expected, f.response);
}
