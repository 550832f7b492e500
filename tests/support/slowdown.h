// How much slower than usual the tests run: sanitizer builds, ThreadSanitizer
// above all, make the gateway and the tests several times slower, and a
// tolerance that holds on a plain build would fail there. The factor comes
// from VELKORD_TEST_SLOWDOWN (a number, 1 when unset or unreadable); timing
// tolerances and deadlines are multiplied by it, never the values a test
// asserts must hold exactly.
#pragma once

#include <cstdint>

namespace vt {

// The factor, at least 1 and at most 100.
double slowdown();

// A tolerance or deadline stretched by slowdown(), rounded up.
int slow_ms(int ms);
int64_t slow_us(int64_t us);

}  // namespace vt
