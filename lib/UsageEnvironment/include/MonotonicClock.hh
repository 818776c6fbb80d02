#ifndef OSTRA_MONOTONIC_CLOCK_HH
#define OSTRA_MONOTONIC_CLOCK_HH

#include <time.h>

#include <cstdint>

// Microseconds on the monotonic clock: the one time base of the event loop's
// delayed tasks, the RTP sinks' pacing, the output stores' packet ages and the
// authentication throttle.
inline int64_t monotonicMicros() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

#endif
