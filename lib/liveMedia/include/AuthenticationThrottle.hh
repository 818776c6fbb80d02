#ifndef OSTRA_AUTHENTICATION_THROTTLE_HH
#define OSTRA_AUTHENTICATION_THROTTLE_HH

#include <cstdint>

// How soon a failed Digest check is answered, so that passwords cannot be
// guessed quickly while honest clients never wait:
// - a connection's first 401 (every protected client gets one, since the
//   connection has no nonce yet) and a 401 to a request without an
//   Authorization header (no guess was made) are answered at once;
// - a connection's first kFreeFailuresPerConnection failed Authorization
//   headers are answered at once, each later one kConnectionFailureDelayUs
//   late;
// - the failed Authorization headers of all connections together are held
//   to kFailuresPerSecond (bursts of kFailureBurst): past that, an answer
//   waits for its turn, and a connection whose turn would come more than
//   kMaxWaitUs later is closed unanswered instead.
// One throttle per server; each connection keeps its own Connection record.
// Pure bookkeeping: the caller supplies the time and holds the answers.
class AuthenticationThrottle {
public:
  static constexpr unsigned kFreeFailuresPerConnection = 3;
  static constexpr int64_t kConnectionFailureDelayUs = 50000;
  static constexpr unsigned kFailuresPerSecond = 20;
  static constexpr unsigned kFailureBurst = 20;
  static constexpr int64_t kMaxWaitUs = 5000000;

  // answerDelay()'s result for "close the connection, answer nothing".
  static constexpr int64_t kClose = -1;

  struct Connection {
    unsigned challenges = 0;  // 401s answered on the connection
    unsigned failures = 0;    // failed Authorization headers among them
  };

  // A check failed on 'connection' at 'nowUs' (a monotonic clock, in
  // microseconds); 'carriedAuthorization': the request had an Authorization
  // header. Returns how long the answer must wait (0: at once), or kClose.
  int64_t answerDelay(Connection& connection, bool carriedAuthorization, int64_t nowUs);

private:
  // When the server-wide budget has its next failure free (with the burst
  // allowance taken off): a token bucket kept as one time.
  int64_t fNextSlotUs = 0;
};

#endif
