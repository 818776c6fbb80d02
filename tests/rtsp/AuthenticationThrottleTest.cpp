// How soon failed Digest checks are answered, with a made-up clock.
#include <gtest/gtest.h>

#include <vector>

#include "AuthenticationThrottle.hh"

namespace {

using T = AuthenticationThrottle;
int64_t const kInterval = 1000000 / T::kFailuresPerSecond;

TEST(AuthenticationThrottle, TheFirstChallengeAndRequestsWithoutAGuessAreNeverDelayed) {
  T throttle;
  T::Connection c;
  EXPECT_EQ(throttle.answerDelay(c, true, 0), 0);  // the connection had no nonce yet
  for (int i = 0; i < 100; ++i) EXPECT_EQ(throttle.answerDelay(c, false, 0), 0);
  EXPECT_EQ(c.failures, 0u);
  EXPECT_EQ(c.challenges, 101u);
}

TEST(AuthenticationThrottle, AConnectionsLaterFailuresAreAnsweredLate) {
  T throttle;
  T::Connection c;
  int64_t now = 1000000;
  throttle.answerDelay(c, false, now);
  for (unsigned i = 1; i <= T::kFreeFailuresPerConnection; ++i) EXPECT_EQ(throttle.answerDelay(c, true, now), 0) << i;
  // From here on each failure waits, one after the other.
  int64_t total = 0;
  for (int i = 0; i < 300; ++i) {
    int64_t d = throttle.answerDelay(c, true, now);
    ASSERT_GE(d, T::kConnectionFailureDelayUs) << i;
    ASSERT_LE(d, T::kMaxWaitUs);
    now += d;
    total += d;
  }
  EXPECT_GE(total, 300 * T::kConnectionFailureDelayUs);
  // Another connection's first failures still go at once once the budget has refilled.
  T::Connection other;
  throttle.answerDelay(other, true, now);
  EXPECT_EQ(throttle.answerDelay(other, true, now + T::kFailureBurst * kInterval), 0);
}

TEST(AuthenticationThrottle, AllConnectionsTogetherAreHeldToTheBudgetAndTheQueueIsBounded) {
  T throttle;
  int64_t const now = 5000000;
  std::vector<T::Connection> connections(400);
  for (T::Connection& c : connections) throttle.answerDelay(c, true, now);  // first challenges: free
  // Failures arriving at once: a burst goes at once, the rest one interval apart.
  size_t closed = 0;
  int64_t last = 0;
  for (size_t i = 0; i < connections.size(); ++i) {
    int64_t d = throttle.answerDelay(connections[i], true, now);
    if (d == T::kClose) {
      ++closed;
      continue;
    }
    if (i < T::kFailureBurst) {
      EXPECT_EQ(d, 0) << i;
    } else {
      EXPECT_EQ(d, static_cast<int64_t>(i - T::kFailureBurst + 1) * kInterval) << i;
    }
    last = d;
  }
  EXPECT_LE(last, T::kMaxWaitUs);
  // Only the failures that would have waited past the bound close their connection.
  size_t const answered = T::kFailureBurst + static_cast<size_t>(T::kMaxWaitUs / kInterval);
  EXPECT_EQ(closed, connections.size() - answered);
  // Closing reserved nothing: once the wait is over, turns come again.
  T::Connection late;
  throttle.answerDelay(late, true, now);
  EXPECT_EQ(throttle.answerDelay(late, true, now + T::kMaxWaitUs + kInterval), 0);
}

}  // namespace
