// The gateway's clocks and its sleeps: microsecond counts of any size, and
// the one conversion of such a count to the timespec the system calls take.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

// A count of microseconds (an interval, or a time on a clock) as a timespec.
inline struct timespec timespec_from_us(int64_t us) {
  return {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
}

inline int64_t clock_us(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Deadlines are kept on the monotonic clock: setting the wall clock (an NTP
// step on a board that booted without the time) must not stretch or cut one.
inline int64_t monotonic_us() { return clock_us(CLOCK_MONOTONIC); }

// The wall clock, only for what people read: when the gateway started, when
// a snapshot was taken.
inline int64_t unix_time_us() { return clock_us(CLOCK_REALTIME); }

// usleep() refuses a second or more on some platforms; line pauses and client
// delays are full 32-bit microsecond counts, so sleep with nanosleep and
// resume after a signal with what is left.
inline void sleep_us(uint32_t us) {
  struct timespec left = timespec_from_us(us);
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Sleeps until the monotonic time `at_us`: a pause measured from a moment
// already past (the end of an exchange) keeps its length, and a wake-up
// that comes late is not added to the next one.
inline void sleep_until_us(int64_t at_us) {
  const struct timespec at = timespec_from_us(at_us);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}
