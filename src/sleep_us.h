// The one sleep of the gateway: microsecond counts of any size.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

// usleep() refuses a second or more on some platforms; line pauses and client
// delays are full 32-bit microsecond counts, so sleep with nanosleep and
// resume after a signal with what is left.
inline void sleep_us(uint32_t us) {
  struct timespec left = {static_cast<time_t>(us / 1000000u),
                          static_cast<long>(us % 1000000u) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// A point on the monotonic clock, for pauses that must not add up the
// wake-up latency of each sleep (a run of character-time polls).
inline struct timespec monotonic_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// Moves `t` on by `us` microseconds and sleeps until then; returns at once
// when that moment has already passed.
inline void sleep_until_us_after(struct timespec &t, uint32_t us) {
  t.tv_sec += static_cast<time_t>(us / 1000000u);
  t.tv_nsec += static_cast<long>(us % 1000000u) * 1000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}
