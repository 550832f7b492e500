#include "support/slowdown.h"

#include <cmath>
#include <cstdlib>

namespace vt {

namespace {

constexpr double kMaxSlowdown = 100.0;

double read_slowdown() {
  const char *text = getenv("VELKORD_TEST_SLOWDOWN");
  if (text == nullptr) return 1.0;
  char *end = nullptr;
  double f = strtod(text, &end);
  // Junk, NaN or a factor that would make things faster: no stretching.
  if (end == text || !(f >= 1.0)) return 1.0;
  return f < kMaxSlowdown ? f : kMaxSlowdown;
}

}  // namespace

double slowdown() {
  static const double factor = read_slowdown();
  return factor;
}

int slow_ms(int ms) { return static_cast<int>(std::ceil(ms * slowdown())); }

int64_t slow_us(int64_t us) { return static_cast<int64_t>(std::ceil(static_cast<double>(us) * slowdown())); }

}  // namespace vt
