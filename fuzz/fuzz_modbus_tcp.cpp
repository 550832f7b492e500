// Fuzz target: the Modbus TCP face's codec, on a stream of bytes as a peer
// may send them. The input is cut into ADUs the way a connection does; each
// request is checked and, when it may go to the line, turned into its RTU
// frame; the bytes after it serve as the unit's answer. Every buffer is
// exactly as large as the server's, so AddressSanitizer sees any access past
// what a peer can make the face use, and what the codec reports must hold:
//   - a header that is not sane ends the stream (the server closes there);
//   - a request that passes check_request has a frame of unit + PDU;
//   - an answer the engine takes for its request makes a response whose MBAP length
//     matches its size, with the transaction id echoed;
//   - an exception response is 9 bytes with the function's exception bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decimal.h"
#include "frame.h"
#include "modbustcp.h"
#include "net.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_modbus_tcp: %s\n", what);
  abort();
}

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The answer a unit might give: up to a frame of the bytes that follow the
// request in the input, or none.
int take_answer(const uint8_t *rest, size_t size, uint8_t *answer) {
  if (size == 0) return 0;
  size_t n = rest[0] % kFaceFrameSize;
  if (n > size - 1) n = size - 1;
  memcpy(answer, rest + 1, n);
  return static_cast<int>(n);
}

void check_response(const MbapHeader &h, const uint8_t *out, int length) {
  if (length < kMbapHeaderSize + 1 || length > kMbapMaxAdu) fail("response length outside an ADU");
  if (be16(out + kMbapTransaction) != h.transaction) fail("transaction id not echoed");
  if (be16(out + kMbapProtocol) != 0) fail("protocol id not 0");
  if (be16(out + kMbapLength) != length - (kMbapHeaderSize - 1)) fail("MBAP length does not match the response");
}

// One request of `total` bytes from `adu`; the rest of the input follows it.
void one_request(const uint8_t *adu, int total, const uint8_t *rest, size_t rest_size) {
  const MbapHeader h = mbap_read_header(adu);
  const uint8_t *pdu = adu + kMbapHeaderSize;
  const int pdu_length = total - kMbapHeaderSize;
  uint8_t out[kMbapMaxAdu];
  uint8_t code = check_request(h.unit, pdu, pdu_length);
  if (code != 0) {
    int n = mbap_exception(h, pdu[0], code, out);
    check_response(h, out, n);
    if (n != 9 || (out[kMbapHeaderSize] & 0x80) == 0) fail("exception response malformed");
    return;
  }
  uint8_t frame[kFaceFrameSize];
  if (rtu_request_frame(h.unit, pdu, pdu_length, frame) != pdu_length + 1 || frame[0] != h.unit)
    fail("RTU frame is not unit + PDU");
  // The worker checks the unit's reply against the sealed request, CRC and
  // all; the face relays it without the CRC.
  uint8_t sealed[kFaceFrameSize];
  memcpy(sealed, frame, static_cast<size_t>(pdu_length + 1));
  MRTU_SealFrame(sealed, pdu_length + 1);
  uint8_t answer[kFaceFrameSize];
  int n = take_answer(rest, rest_size, answer);
  if (n > 2 && MRTU_ReplyMatches(sealed, pdu_length + 3, answer, n))
    check_response(h, out, mbap_response(h, answer, n - 2, out));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The server's input buffer holds two ADUs; a request never spans more.
  size_t at = 0;
  while (size - at >= static_cast<size_t>(kMbapHeaderSize)) {
    const MbapHeader h = mbap_read_header(data + at);
    if (!mbap_header_sane(h)) break;
    const size_t total = kMbapHeaderSize - 1 + h.length;
    if (total > static_cast<size_t>(kMbapMaxAdu)) fail("a sane header announces more than an ADU");
    if (size - at < total) break;
    uint8_t adu[kMbapMaxAdu];  // copied out, as the server does, to an ADU-sized buffer
    memcpy(adu, data + at, total);
    at += total;
    one_request(adu, static_cast<int>(total), data + at, size - at);
  }
  // The settings parsers take text from the environment.
  char text[64];
  size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
  memcpy(text, data, n);
  text[n] = '\0';
  NetEndpoint endpoint;
  if (net_parse_endpoint(text, endpoint) == EndpointFault::kNone && endpoint.port == 0)
    fail("an endpoint without a port");
  char shown[kEndpointTextSize];
  net_format_endpoint(endpoint, shown, sizeof shown);
  uint64_t count;
  if (parse_decimal(text, kFaceWaitMsLimit, count) == nullptr && (count > kFaceWaitMsLimit || text[0] == '\0'))
    fail("a count out of its range");
  return 0;
}
