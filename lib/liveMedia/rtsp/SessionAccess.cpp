#include "SessionAccess.hh"

SessionAccess sessionAccessFor(SessionOrigin const& session, SessionOrigin const& request, bool credentialsRequired) {
  if (session.connection != nullptr && session.connection == request.connection) return SessionAccess::Granted;
  if (session.address != request.address) return SessionAccess::Refused;
  return credentialsRequired ? SessionAccess::NeedsDigest : SessionAccess::Granted;
}
