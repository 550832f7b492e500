// rtu_codec: Modbus RTU frames carried in a TCP stream, CRC included and
// with no header around them ("RTU over TCP"), as pure functions. Nothing
// but the function code tells where a request ends, and nothing but its CRC
// tells a request from noise, so the stream is cut by the frame module's
// request shapes and checked by the CRC, as a serial unit would; a request
// whose CRC fails gets no answer, and the stream is picked up again at the
// next byte that starts a request that checks.
#pragma once

#include <cstdint>

// The longest RTU frame Modbus allows: unit, a PDU of 253 bytes, CRC.
constexpr int kRtuMaxFrame = 256;

// The next whole request among the n bytes received, `in`: its length, CRC
// included, after the `*drop` bytes before it, which are thrown away first;
// or 0 while none is whole yet, with `*drop` set to the bytes that can no
// longer be part of one. A buffer with room for 2 * kRtuMaxFrame bytes never
// fills: after the drop at most kRtuMaxFrame - 1 bytes wait for more.
//
// In step, the request at the start is waited for until its shape's length
// is there. Out of step (a request there failed its CRC, or its length is
// one only its CRC can tell), the first later byte where a whole request
// checks is taken, and the bytes before it are dropped only then: a short
// request is not held up behind noise that claims to be a long one. Further
// on, a request whose length only its CRC tells is taken only when it is
// short and ends with the bytes at hand. A call costs one pass over the
// bytes for each offset that may hold a request.
int rtu_next_request(const uint8_t *in, int n, int *drop);

// The unit's answer (unit, function, data: n bytes without CRC) as a frame
// sealed with its CRC, into `out` (n + 2 bytes). Returns n + 2.
int rtu_response(const uint8_t *answer, int n, uint8_t *out);

// An exception frame: unit, function | 0x80, code, CRC. Returns its length.
int rtu_exception(uint8_t unit, uint8_t function, uint8_t code, uint8_t *out);
