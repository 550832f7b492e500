// frame: every rule of the Modbus RTU frame, in one place. The CRC that
// seals and checks a frame, the shape of each function's request, the
// length and shape of its answer, which bytes off the line answer which
// request, and the quantities Modbus allows. The intake, the worker and
// every face ask this module; none of them derives these rules itself.
#pragma once

#include <cstdint>

// Unit addresses a request may name: 0 is the broadcast, which no unit
// answers, and 248 to 255 are reserved.
constexpr uint8_t kFirstUnit = 1;
constexpr uint8_t kLastUnit = 247;

// Two CRC bytes close every frame on the line, low byte first.
constexpr int kCrcLength = 2;
// An exception answer carries the request's function code with this bit set.
constexpr uint8_t kExceptionBit = 0x80;

extern const uint8_t auchCRCHi[256];
extern const uint8_t auchCRCLo[256];

uint16_t MRTU_CRC(const uint8_t *buf, uint16_t len);

// Appends the CRC of the first n bytes of `frame` at frame[n] (low byte) and
// frame[n + 1] (high byte); the caller's buffer holds n + 2 bytes.
void MRTU_SealFrame(uint8_t *frame, int n);

// True when the n bytes of `reply` end in the CRC of the bytes before it.
// A reply shorter than 2 bytes fails; nothing outside the n bytes is read.
bool MRTU_CheckFrame(const uint8_t *reply, int n);

// The shortest length from `shortest` to n at which the bytes `in` end in
// the CRC of the bytes before: where a frame whose length only its CRC can
// tell ends. 0 when there is none. One pass over the bytes.
int MRTU_FindCheckedLength(const uint8_t *in, int n, int shortest);

// Length of an exception answer: unit, function | 0x80, code, CRC.
constexpr int kExceptionReplyLength = 5;

// The reads of Modbus's data model: coils, inputs, holding and input
// registers (functions 1 to 4).
inline bool MRTU_IsRead(uint8_t function) { return function >= 1 && function <= 4; }

// Whether a request of `function` carries a quantity at bytes 4-5: the
// reads and the writes of several coils or registers (1 to 4, 15, 16).
inline bool MRTU_HasQuantity(uint8_t function) { return MRTU_IsRead(function) || function == 15 || function == 16; }

// The quantities Modbus allows in one request.
constexpr unsigned kMaxReadBits = 2000;
constexpr unsigned kMaxReadRegisters = 125;
constexpr unsigned kMaxWriteCoils = 1968;
constexpr unsigned kMaxWriteRegisters = 123;
constexpr unsigned kMaxReadWriteRegisters = 121;  // the write part of function 23

// The longest frame, CRC included, a slot sends or keeps: its length is 8
// bits. A request frame without its CRC is at most 253 bytes.
constexpr int kMaxSealedFrame = 255;
constexpr int kMaxRequestFrame = kMaxSealedFrame - 2;

// What is wrong with a request frame, as Modbus shapes each function.
enum class RequestFault : uint8_t {
  kNone,
  kUnknownFunction,  // not a function that a gateway passes to a serial unit
  kIncomplete,       // fewer bytes than the function's shape needs
  kTooLong,          // a sealed frame longer than kMaxSealedFrame
  kInconsistent,     // a byte count that does not fit the quantity or what it counts
  kBadValue,         // a field holds a value Modbus does not define (a coil value, a sub-code)
  kOutOfLimits,      // a quantity outside Modbus's limits; only found when nothing else is wrong
};

struct RequestForm {
  int length;  // frame bytes without CRC the function's shape takes; 0 until known
  RequestFault fault;
};

// The shape of the request `frame` (unit, function, data; no CRC) of which
// `carried` bytes are at hand: functions 1 to 8, 11, 12, 15 to 17, 20 to 24
// and 43 with MEI type 14 (read device identification). Diagnostics (8)
// takes all `carried` bytes: its length is not in the frame.
RequestForm MRTU_RequestForm(const uint8_t *frame, int carried);

// Where a sealed request that arrives in a stream of bytes ends: the
// length, CRC included, that the shape of the request at the start of the n
// bytes `in` fixes; 0 while they are too few to tell; kRequestLengthOpen
// when the shape leaves it open (diagnostics, whose data run up to the CRC,
// and functions the gateway does not pass), so that only a CRC that checks
// can end it.
constexpr int kRequestLengthOpen = -1;
int MRTU_SealedRequestLength(const uint8_t *in, int n);

// Whether the request (n bytes from its unit on) only reads: functions 1 to
// 4, 7, 11, 12, 17, 20, 24 and 43 with MEI type 14. Every other request may
// change the unit: its coils, registers, files, counters or its state
// (diagnostics can restart it).
bool MRTU_OnlyReads(const uint8_t *frame, int n);

// Length, CRC included, of the normal answer to the sealed request of
// `request_length` bytes. Where the request fixes it, that length; where the
// answer carries it (a byte count, a list of objects), the length the first
// n bytes of `reply` announce, or kReplyLengthOpen while they are too few to
// tell. 0 when no normal answer can exist (a function the gateway does not
// pass, a quantity outside Modbus's limits, one longer than
// kMaxSealedFrame), or when `reply` does not begin like one.
constexpr int kReplyLengthOpen = -1;
int MRTU_ReplyLength(const uint8_t *request, int request_length, const uint8_t *reply = nullptr, int n = 0);

// True when the n bytes of `reply` answer the sealed request: a good CRC,
// the request's unit, its function (or an exception to it of exactly 5
// bytes), the length MRTU_ReplyLength gives, and the fields the function
// echoes or counts.
bool MRTU_ReplyMatches(const uint8_t *request, int request_length, const uint8_t *reply, int n);

// Where the answer to the request begins among the n bytes collected, when
// they end with one; else -1. A late reply to another request that arrives
// right before the answer is in front of it in the same read.
int MRTU_FindReply(const uint8_t *request, int request_length, const uint8_t *bytes, int n);
