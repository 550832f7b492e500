// Fuzz target: the RTU over TCP face's codec, on a stream of bytes as a peer
// may send them, arriving in pieces. The first input byte sets the size of
// the pieces; the rest goes, piece by piece, into a buffer exactly as large
// as the server's, and every request the codec cuts out is taken out of it
// as a connection does. What must hold:
//   - the codec never points past the bytes at hand, and a call that finds
//     no request leaves room for the next piece (the buffer never fills);
//   - a request is 4 to 256 bytes and checks by its CRC;
//   - a peer outside the write allow-list is answered as a writer is,
//     except that a request that changes the unit is refused with 0x01;
//   - answers and exceptions go out sealed, and check.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame.h"
#include "pool.h"
#include "rtu_codec.h"
#include "server.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_rtu_over_tcp: %s\n", what);
  abort();
}

// The server keeps this much of a connection's stream.
constexpr int kBufferSize = 2 * kFaceMaxMessage;
constexpr int kLongestPiece = 64;

void check_request(const uint8_t *request, int n) {
  if (n < 4 || n > kRtuMaxFrame) fail("a request outside 4 to 256 bytes");
  if (!MRTU_CheckFrame(request, n)) fail("a request whose CRC does not check");
  const int pdu_length = n - 1 - kCrcLength;
  bool writer_refused = true, reader_refused = false;
  const uint8_t writer = check_request_from(request[0], request + 1, pdu_length, true, &writer_refused);
  const uint8_t reader = check_request_from(request[0], request + 1, pdu_length, false, &reader_refused);
  if (writer_refused) fail("a writer refused");
  if (reader_refused && (reader != kExIllegalFunction || MRTU_OnlyReads(request, n - kCrcLength)))
    fail("a refusal that is not 0x01 for a change");
  if (!reader_refused && reader != writer) fail("a reader answered otherwise than a writer");
  uint8_t out[kFaceMaxMessage];
  if (rtu_exception(request[0], request[1], writer == 0 ? kExTargetNoResponse : writer, out) != 5 ||
      !MRTU_CheckFrame(out, 5) || (out[1] & kExceptionBit) == 0)
    fail("an exception frame malformed");
  // The request's own bytes stand in for a unit's answer of that length.
  if (rtu_response(request, n - kCrcLength, out) != n || memcmp(out, request, static_cast<size_t>(n)) != 0)
    fail("an answer not resealed as it came");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % kLongestPiece + 1;
  uint8_t buffer[kBufferSize];
  int length = 0;
  for (size_t at = 1;;) {
    int drop = -1;
    const int n = rtu_next_request(buffer, length, &drop);
    if (drop < 0 || n < 0 || drop + n > length) fail("past the bytes at hand");
    memmove(buffer, buffer + drop, static_cast<size_t>(length - drop));
    length -= drop;
    if (n > 0) {
      check_request(buffer, n);
      memmove(buffer, buffer + n, static_cast<size_t>(length - n));
      length -= n;
      continue;
    }
    if (length >= kRtuMaxFrame) fail("a full frame's bytes kept without a request");
    if (at >= size) break;
    const size_t take = size - at < piece ? size - at : piece;
    memcpy(buffer + length, data + at, take);
    length += static_cast<int>(take);
    at += take;
  }
  return 0;
}
