#ifndef OSTRA_DIGEST_AUTHENTICATION_HH
#define OSTRA_DIGEST_AUTHENTICATION_HH

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "Boolean.hh"

// User names and passwords for RTSP Digest authentication (RFC 2617).
class UserAuthenticationDatabase {
public:
  // A null realm means "LIVE555 Streaming Media". With passwordsAreMD5 the
  // stored passwords are MD5(user:realm:password) in hex.
  explicit UserAuthenticationDatabase(char const* realm = nullptr, Boolean passwordsAreMD5 = False);
  virtual ~UserAuthenticationDatabase();

  // Adds a record; a later record for the same user replaces the earlier one.
  virtual void addUserRecord(char const* username, char const* password);
  virtual void removeUserRecord(char const* username);
  // The password of 'username', or null.
  virtual char const* lookupPassword(char const* username);

  char const* realm() const { return fRealm.c_str(); }
  Boolean passwordsAreMD5() const { return fPasswordsAreMD5; }
  unsigned numUsers() const { return static_cast<unsigned>(fTable.size()); }

private:
  std::map<std::string, std::string> fTable;
  std::string fRealm;
  Boolean fPasswordsAreMD5;
};

// MD5 of 'data' as 32 lower-case hex digits (plus terminator) into 'out'.
void md5Hex(void const* data, size_t size, char out[33]);

// The Digest "response" of RFC 2617 without qop:
// MD5(HA1:nonce:MD5(method:uri)), where HA1 is MD5(username:realm:password),
// or 'password' itself when it is stored as that digest already.
std::string computeDigestResponse(std::string_view username, std::string_view realm, std::string_view password,
                                  Boolean passwordIsMD5, std::string_view nonce, std::string_view method,
                                  std::string_view uri);

// Whether an "Authorization: Digest ..." header value passes the check for a
// request 'method' on a connection that last issued 'nonce': username, realm,
// nonce, uri and response present, realm and nonce equal to ours, a known
// user (named exactly: a name with a NUL in it is nobody), and the response
// that user's password gives.
bool digestAuthorizationAccepted(UserAuthenticationDatabase& db, std::string_view authorization, std::string_view nonce,
                                 std::string_view method);

// 32 lower-case hex digits from the kernel's random source (SystemRandom.hh);
// empty when that source cannot give them now.
std::string makeDigestNonce();

#endif
