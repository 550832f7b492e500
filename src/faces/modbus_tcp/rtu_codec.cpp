// rtu_codec: RTU requests cut out of a TCP stream, and the answers sealed.
#include "rtu_codec.h"

#include <cstring>

#include "frame.h"

namespace {

// Unit, function and CRC: no request is shorter.
constexpr int kShortestRequest = 4;

enum class Found : uint8_t {
  kWhole,    // a request that checks
  kPartial,  // the start of one whose shape's length is not all there yet
  kNone,     // no request here, or none yet whose length only a CRC tells
};

struct Candidate {
  Found found;
  int length;  // CRC included, when whole
};

// Diagnostics and functions the gateway does not pass are a few bytes as a
// rule. Further on in the stream one is looked for only up to this long.
constexpr int kOpenRequestFurtherOn = 64;

// Enough bytes for the function's shape, when only the CRC tells the length.
bool shaped_enough(const uint8_t *in, int length) {
  return MRTU_RequestForm(in, length - kCrcLength).fault != RequestFault::kIncomplete;
}

// A request whose length is open. At the start of the stream it ends where
// its CRC first checks. Further on, only one that ends with the bytes at
// hand is taken: a CRC tried at every length of every offset would find
// noise that checks by chance, and cost a pass over the buffer per offset.
Candidate open_request(const uint8_t *in, int n, bool at_start) {
  if (!at_start) {
    const bool whole = n >= kShortestRequest && n <= kOpenRequestFurtherOn && MRTU_CheckFrame(in, n);
    return {whole && shaped_enough(in, n) ? Found::kWhole : Found::kNone, n};
  }
  if (n < kShortestRequest) return {Found::kPartial, 0};
  const int longest = n < kRtuMaxFrame ? n : kRtuMaxFrame;
  for (int from = kShortestRequest; from <= longest;) {
    const int length = MRTU_FindCheckedLength(in, longest, from);
    if (length == 0) break;
    if (shaped_enough(in, length)) return {Found::kWhole, length};
    from = length + 1;
  }
  return {Found::kNone, 0};
}

Candidate request_at(const uint8_t *in, int n, bool at_start) {
  const int length = MRTU_SealedRequestLength(in, n);
  if (length == kRequestLengthOpen) return open_request(in, n, at_start);
  if (length > kRtuMaxFrame) return {Found::kNone, length};  // no RTU frame is that long
  if (length == 0 || n < length) return {Found::kPartial, length};
  return {MRTU_CheckFrame(in, length) ? Found::kWhole : Found::kNone, length};
}

}  // namespace

int rtu_next_request(const uint8_t *in, int n, int *drop) {
  *drop = 0;
  const Candidate first = request_at(in, n, true);
  if (first.found == Found::kWhole) return first.length;
  if (first.found == Found::kPartial) return 0;
  for (int at = 1; at < n; ++at) {
    const Candidate later = request_at(in + at, n - at, false);
    if (later.found != Found::kWhole) continue;
    *drop = at;
    return later.length;
  }
  // Bytes further back than the longest frame begin no request that can
  // still come whole.
  if (n >= kRtuMaxFrame) *drop = n - (kRtuMaxFrame - 1);
  return 0;
}

int rtu_response(const uint8_t *answer, int n, uint8_t *out) {
  memcpy(out, answer, static_cast<size_t>(n));
  MRTU_SealFrame(out, n);
  return n + kCrcLength;
}

int rtu_exception(uint8_t unit, uint8_t function, uint8_t code, uint8_t *out) {
  const uint8_t answer[kExceptionReplyLength - kCrcLength] = {unit, static_cast<uint8_t>(function | kExceptionBit),
                                                              code};
  return rtu_response(answer, sizeof answer, out);
}
