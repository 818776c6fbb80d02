// Digest Authorization values (RFC 2617) on arbitrary text, and the check a
// connection makes of them against its user database: the realm and nonce
// must be ours, the user known, and the response the one computed from the
// stored password (plain or stored as MD5(user:realm:password)).
//
// Checked besides memory safety: the fields point into the value, a header
// rebuilt from the parsed fields parses back to the same fields, the right
// response is accepted and a changed one refused, and a database of MD5
// passwords decides as one of plain passwords.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "DigestAuthentication.hh"
#include "RTSPRequest.hh"

namespace {

constexpr char kRealm[] = "LIVE555 Streaming Media";
constexpr char kNonce[] = "5f2b8e1c9a7d4e3f0b6a1c2d3e4f5a6b";
constexpr char const* kMethods[] = {"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "PAUSE", "TEARDOWN", "GET_PARAMETER"};

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  uintptr_t const begin = reinterpret_cast<uintptr_t>(whole.data());
  uintptr_t const first = reinterpret_cast<uintptr_t>(part.data());
  return first >= begin && first + part.size() <= begin + whole.size();
}

struct Databases {
  UserAuthenticationDatabase plain{kRealm, False};
  UserAuthenticationDatabase hashed{kRealm, True};
  Databases() {
    static char const* const users[][2] = {{"admin", "admin"}, {"user", "secret"}, {"viewer", ""}, {"a:b", "p\"w"}};
    for (auto const& u : users) {
      plain.addUserRecord(u[0], u[1]);
      std::string a1 = std::string(u[0]) + ":" + kRealm + ":" + u[1];
      char hex[33];
      md5Hex(a1.data(), a1.size(), hex);
      hashed.addUserRecord(u[0], hex);
    }
  }
};

Databases& databases() {
  static Databases dbs;
  return dbs;
}

// The decision a connection makes for one request.
bool accepted(UserAuthenticationDatabase& db, std::string_view header, std::string_view method) {
  return digestAuthorizationAccepted(db, header, kNonce, method);
}

std::string quoted(std::string_view name, std::string_view value) {
  std::string s(name);
  s.append("=\"").append(value).append("\"");
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string_view const value(reinterpret_cast<char const*>(data), size);
  Databases& dbs = databases();
  std::string_view const method = kMethods[size % (sizeof kMethods / sizeof kMethods[0])];

  // The input as it stands; parsed or not, it goes through the whole check.
  bool const plainAccepts = accepted(dbs.plain, value, method);
  bool const hashedAccepts = accepted(dbs.hashed, value, method);

  DigestAuthorizationFields f;
  if (!parseDigestAuthorization(value, f)) return 0;
  // How passwords are stored never changes the decision.
  check(plainAccepts == hashedAccepts);
  check(inside(f.username, value) && inside(f.realm, value) && inside(f.nonce, value));
  check(inside(f.uri, value) && inside(f.response, value));

  // Quoted fields come back as they were between the quotes, so a header
  // built from them gives the same fields, unless a field was unquoted and
  // holds a quote itself.
  for (std::string_view v : {f.username, f.realm, f.nonce, f.uri, f.response}) {
    if (v.find('"') != std::string_view::npos || (!v.empty() && v.back() == '\\')) return 0;
  }
  std::string const rebuilt = "Digest " + quoted("username", f.username) + ", " + quoted("realm", f.realm) + ", " +
                              quoted("nonce", f.nonce) + ", " + quoted("uri", f.uri) + ", " +
                              quoted("response", f.response);
  DigestAuthorizationFields g;
  check(parseDigestAuthorization(rebuilt, g));
  check(g.username == f.username && g.realm == f.realm && g.nonce == f.nonce && g.uri == f.uri &&
        g.response == f.response);

  // With our realm and nonce and the right password, the computed response
  // passes (in either letter case) and a changed one does not.
  std::string const username(f.username);
  char const* password = dbs.plain.lookupPassword(username.c_str());
  // A user name with a NUL in it is looked up by its part before the NUL;
  // the two databases need not agree on it.
  if (password == nullptr || username.find('\0') != std::string::npos) return 0;
  if (f.uri.find('\\') != std::string_view::npos) return 0;
  std::string const response = computeDigestResponse(username, kRealm, password, False, kNonce, method, f.uri);
  std::string const good = "Digest " + quoted("username", username) + ", " + quoted("realm", kRealm) + ", " +
                           quoted("nonce", kNonce) + ", " + quoted("uri", f.uri) + ", " + quoted("response", response);
  check(accepted(dbs.plain, good, method) && accepted(dbs.hashed, good, method));
  std::string bad = good;
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
  check(!accepted(dbs.plain, bad, method) && !accepted(dbs.hashed, bad, method));
  return 0;
}
