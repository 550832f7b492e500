#include "codec.h"

#include <cstring>

#include "frame.h"

namespace {

// An exception answer without its CRC: unit, function | 0x80, code.
constexpr int kExceptionAnswerLength = kExceptionReplyLength - kCrcLength;

uint16_t get_be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put_be16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

MbapHeader mbap_read_header(const uint8_t *adu) {
  return {get_be16(adu + kMbapTransaction), get_be16(adu + kMbapProtocol), get_be16(adu + kMbapLength),
          adu[kMbapUnit]};
}

bool mbap_header_sane(const MbapHeader &h) {
  // The length counts the unit id and the PDU, which holds a function code.
  return h.protocol == 0 && h.length >= 2 && h.length <= 1 + kMbapMaxPdu;
}

int mbap_request_length(const uint8_t *in, int n) {
  if (n < kMbapHeaderSize) return 0;
  MbapHeader h = mbap_read_header(in);
  if (!mbap_header_sane(h)) return kMbapBroken;
  int total = kMbapHeaderSize - 1 + h.length;
  return n >= total ? total : 0;
}

int mbap_response(const MbapHeader &h, const uint8_t *answer, int n, uint8_t *out) {
  put_be16(out + kMbapTransaction, h.transaction);
  put_be16(out + kMbapProtocol, 0);
  put_be16(out + kMbapLength, static_cast<uint16_t>(n));
  out[kMbapUnit] = h.unit;
  memcpy(out + kMbapHeaderSize, answer + 1, static_cast<size_t>(n - 1));
  return kMbapHeaderSize - 1 + n;
}

int mbap_exception(const MbapHeader &h, uint8_t function, uint8_t code, uint8_t *out) {
  const uint8_t answer[kExceptionAnswerLength] = {h.unit, static_cast<uint8_t>(function | kExceptionBit), code};
  return mbap_response(h, answer, kExceptionAnswerLength, out);
}
