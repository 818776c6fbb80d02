#include "AuthenticationThrottle.hh"

#include <algorithm>

int64_t AuthenticationThrottle::answerDelay(Connection& connection, bool carriedAuthorization, int64_t nowUs) {
  bool first = connection.challenges++ == 0;
  if (first || !carriedAuthorization) return 0;
  ++connection.failures;

  // Each failure takes the budget's next slot, one every 1/kFailuresPerSecond
  // seconds; a burst of kFailureBurst may come before their time.
  int64_t const interval = 1000000 / kFailuresPerSecond;
  int64_t const burst = static_cast<int64_t>(kFailureBurst - 1) * interval;
  int64_t slot = std::max(fNextSlotUs, nowUs);
  int64_t wait = std::max<int64_t>(slot - burst - nowUs, 0);
  if (wait > kMaxWaitUs) return kClose;
  fNextSlotUs = slot + interval;

  int64_t own = connection.failures > kFreeFailuresPerConnection ? kConnectionFailureDelayUs : 0;
  return std::max(wait, own);
}
