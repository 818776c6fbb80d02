#ifndef OSTRA_CREDENTIALS_HH
#define OSTRA_CREDENTIALS_HH

#include "DigestAuthentication.hh"

// Waits for the credentials file "/var/etc/httppasswd" (40 attempts, one
// second apart) and reads its "user:password" records. Null when the file
// never opened; otherwise the database, empty when the file holds no record.
// Writes nothing to any output.
UserAuthenticationDatabase* loadCredentials();

// The same with another file, number of attempts and pause between attempts.
UserAuthenticationDatabase* loadCredentials(char const* path, unsigned attempts, unsigned retryMs);

#endif
