#include "Credentials.hh"

#include <time.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "Settings.hh"

namespace {

void sleepMs(unsigned ms) {
  struct timespec ts {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// Reads the next white-space-separated token into 'token', whatever its
// length. False at end of file or on a read error.
bool readToken(FILE* f, std::string& token) {
  token.clear();
  int c;
  do {
    c = getc(f);
  } while (c != EOF && isspace(c));
  while (c != EOF && !isspace(c)) {
    token.push_back(static_cast<char>(c));
    c = getc(f);
  }
  return !token.empty();
}

}  // namespace

UserAuthenticationDatabase* loadCredentials() {
  Settings const builtIn;
  return loadCredentials(builtIn.credentialsFile, builtIn.credentialsAttempts, builtIn.credentialsRetryMs);
}

UserAuthenticationDatabase* loadCredentials(char const* path, unsigned attempts, unsigned retryMs) {
  FILE* f = nullptr;
  for (unsigned i = 0; i < attempts; ++i) {
    f = fopen(path, "r");
    if (f != nullptr) break;
    sleepMs(retryMs);
  }
  if (f == nullptr) return nullptr;

  UserAuthenticationDatabase* db = new UserAuthenticationDatabase(nullptr, False /*passwordsAreMD5*/);
  std::string token;
  token.reserve(128);
  while (readToken(f, token)) {
    std::string::size_type colon = token.find(':');
    if (colon == std::string::npos) continue;  // not a record
    token[colon] = '\0';
    db->addUserRecord(token.c_str(), token.c_str() + colon + 1);
  }
  fclose(f);
  return db;
}
