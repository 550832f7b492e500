// codec: the MBAP framing of Modbus TCP, as pure functions. A request is a
// 7-byte header (transaction id, protocol id, length, unit id) and a PDU;
// its answer is the same header and the unit's answer without its unit id
// and CRC.
#pragma once

#include <cstdint>

// MBAP header: transaction id, protocol id, length (of what follows it:
// unit id and PDU), unit id; big-endian fields at these offsets.
constexpr int kMbapTransaction = 0;
constexpr int kMbapProtocol = 2;
constexpr int kMbapLength = 4;
constexpr int kMbapUnit = 6;
constexpr int kMbapHeaderSize = 7;
constexpr int kMbapMaxPdu = 253;                            // Modbus PDU limit
constexpr int kMbapMaxAdu = kMbapHeaderSize + kMbapMaxPdu;  // 260

struct MbapHeader {
  uint16_t transaction;
  uint16_t protocol;
  uint16_t length;
  uint8_t unit;
};

MbapHeader mbap_read_header(const uint8_t *adu);

// False for a header that must close the connection: protocol id not 0, or
// a length that cannot hold a function code or exceeds the PDU limit.
bool mbap_header_sane(const MbapHeader &h);

// The length of the whole request at the start of the n bytes `in`: 0
// while they do not hold it yet, kMbapBroken when its header is not sane.
constexpr int kMbapBroken = -1;
int mbap_request_length(const uint8_t *in, int n);

// The MBAP response for the unit's answer (n bytes without CRC, unit first)
// to the request with header `h`. Returns its length (6 + n).
int mbap_response(const MbapHeader &h, const uint8_t *answer, int n, uint8_t *out);

// An exception response to `function` with `code`. Returns its length (9).
int mbap_exception(const MbapHeader &h, uint8_t function, uint8_t code, uint8_t *out);
