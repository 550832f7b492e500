// decimal: the one reader of the plain decimal numbers in the gateway's
// settings (ports, prefix lengths, microseconds, milliseconds).
#pragma once

#include <cstdint>

// Reads `text` as decimal digits only (no sign, no blanks, nothing after
// them; leading zeros count for nothing) of a value of at most `max`.
// Returns nullptr with the value in `out`, or the reason the text is refused
// (`out` untouched then).
const char *parse_decimal(const char *text, uint64_t max, uint64_t &out);
