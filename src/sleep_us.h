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
