#include "decimal.h"

const char *parse_decimal(const char *text, uint64_t max, uint64_t &out) {
  if (*text == '\0') return "empty";
  uint64_t value = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return "not decimal digits alone";
    const uint64_t digit = static_cast<uint64_t>(*c - '0');
    // Checked before the step, so no length of digits can wrap the value.
    if (digit > max || value > (max - digit) / 10) return "too large";
    value = value * 10 + digit;
  }
  out = value;
  return nullptr;
}
