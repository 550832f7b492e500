// The gateway's clock and its one sleep: microsecond counts of any size.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

// Deadlines are kept on the monotonic clock: setting the wall clock (an NTP
// step on a board that booted without the time) must not stretch or cut one.
inline int64_t monotonic_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// usleep() refuses a second or more on some platforms; line pauses and client
// delays are full 32-bit microsecond counts, so sleep with nanosleep and
// resume after a signal with what is left.
inline void sleep_us(uint32_t us) {
  struct timespec left = {static_cast<time_t>(us / 1000000u),
                          static_cast<long>(us % 1000000u) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Sleeps until the monotonic time `at_us`: a pause measured from a moment
// already past (the end of an exchange) keeps its length, and a wake-up
// that comes late is not added to the next one.
inline void sleep_until_us(int64_t at_us) {
  struct timespec at = {static_cast<time_t>(at_us / 1000000), static_cast<long>(at_us % 1000000) * 1000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}
