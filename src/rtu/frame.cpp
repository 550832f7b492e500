// frame: the Modbus RTU frame rules, as pure functions over byte buffers.
#include "frame.h"

#include <cstring>

// CRC-16/MODBUS (reflected polynomial 0xA001, start 0xFFFF), split in the
// byte that goes first on the line (Hi table) and the one that follows.
const uint8_t auchCRCHi[256] = {
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40,
};

const uint8_t auchCRCLo[256] = {
    0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2, 0xC6, 0x06, 0x07, 0xC7,
    0x05, 0xC5, 0xC4, 0x04, 0xCC, 0x0C, 0x0D, 0xCD, 0x0F, 0xCF, 0xCE, 0x0E,
    0x0A, 0xCA, 0xCB, 0x0B, 0xC9, 0x09, 0x08, 0xC8, 0xD8, 0x18, 0x19, 0xD9,
    0x1B, 0xDB, 0xDA, 0x1A, 0x1E, 0xDE, 0xDF, 0x1F, 0xDD, 0x1D, 0x1C, 0xDC,
    0x14, 0xD4, 0xD5, 0x15, 0xD7, 0x17, 0x16, 0xD6, 0xD2, 0x12, 0x13, 0xD3,
    0x11, 0xD1, 0xD0, 0x10, 0xF0, 0x30, 0x31, 0xF1, 0x33, 0xF3, 0xF2, 0x32,
    0x36, 0xF6, 0xF7, 0x37, 0xF5, 0x35, 0x34, 0xF4, 0x3C, 0xFC, 0xFD, 0x3D,
    0xFF, 0x3F, 0x3E, 0xFE, 0xFA, 0x3A, 0x3B, 0xFB, 0x39, 0xF9, 0xF8, 0x38,
    0x28, 0xE8, 0xE9, 0x29, 0xEB, 0x2B, 0x2A, 0xEA, 0xEE, 0x2E, 0x2F, 0xEF,
    0x2D, 0xED, 0xEC, 0x2C, 0xE4, 0x24, 0x25, 0xE5, 0x27, 0xE7, 0xE6, 0x26,
    0x22, 0xE2, 0xE3, 0x23, 0xE1, 0x21, 0x20, 0xE0, 0xA0, 0x60, 0x61, 0xA1,
    0x63, 0xA3, 0xA2, 0x62, 0x66, 0xA6, 0xA7, 0x67, 0xA5, 0x65, 0x64, 0xA4,
    0x6C, 0xAC, 0xAD, 0x6D, 0xAF, 0x6F, 0x6E, 0xAE, 0xAA, 0x6A, 0x6B, 0xAB,
    0x69, 0xA9, 0xA8, 0x68, 0x78, 0xB8, 0xB9, 0x79, 0xBB, 0x7B, 0x7A, 0xBA,
    0xBE, 0x7E, 0x7F, 0xBF, 0x7D, 0xBD, 0xBC, 0x7C, 0xB4, 0x74, 0x75, 0xB5,
    0x77, 0xB7, 0xB6, 0x76, 0x72, 0xB2, 0xB3, 0x73, 0xB1, 0x71, 0x70, 0xB0,
    0x50, 0x90, 0x91, 0x51, 0x93, 0x53, 0x52, 0x92, 0x96, 0x56, 0x57, 0x97,
    0x55, 0x95, 0x94, 0x54, 0x9C, 0x5C, 0x5D, 0x9D, 0x5F, 0x9F, 0x9E, 0x5E,
    0x5A, 0x9A, 0x9B, 0x5B, 0x99, 0x59, 0x58, 0x98, 0x88, 0x48, 0x49, 0x89,
    0x4B, 0x8B, 0x8A, 0x4A, 0x4E, 0x8E, 0x8F, 0x4F, 0x8D, 0x4D, 0x4C, 0x8C,
    0x44, 0x84, 0x85, 0x45, 0x87, 0x47, 0x46, 0x86, 0x82, 0x42, 0x43, 0x83,
    0x41, 0x81, 0x80, 0x40,
};

namespace {

// One byte into the CRC's two registers: `first` becomes the byte that goes
// first on the line, `second` the one after it.
void crc_add(uint8_t &first, uint8_t &second, uint8_t byte) {
  uint8_t index = first ^ byte;
  first = second ^ auchCRCHi[index];
  second = auchCRCLo[index];
}

}  // namespace

uint16_t MRTU_CRC(const uint8_t *buf, uint16_t len) {
  uint8_t first = 0xFF;
  uint8_t second = 0xFF;
  for (uint16_t i = 0; i < len; ++i) crc_add(first, second, buf[i]);
  return static_cast<uint16_t>(second << 8 | first);
}

int MRTU_FindCheckedLength(const uint8_t *in, int n, int shortest) {
  uint8_t first = 0xFF;  // the CRC of the length - 2 bytes before the two
  uint8_t second = 0xFF;
  for (int length = 2; length <= n; ++length) {
    if (length >= shortest && in[length - 2] == first && in[length - 1] == second) return length;
    crc_add(first, second, in[length - 2]);
  }
  return 0;
}

void MRTU_SealFrame(uint8_t *frame, int n) {
  uint16_t crc = MRTU_CRC(frame, static_cast<uint16_t>(n));
  frame[n] = static_cast<uint8_t>(crc);  // low byte first on the line
  frame[n + 1] = static_cast<uint8_t>(crc >> 8);
}

bool MRTU_CheckFrame(const uint8_t *reply, int n) {
  if (n < 2) return false;
  uint16_t carried = static_cast<uint16_t>(reply[n - 2] | reply[n - 1] << 8);
  return MRTU_CRC(reply, static_cast<uint16_t>(n - 2)) == carried;
}

// ---- Request shapes and which reply answers which request ---------------

namespace {

// Function codes of the standard functions a serial unit answers.
namespace fc {
constexpr uint8_t kReadCoils = 1;
constexpr uint8_t kReadInputs = 2;
constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kReadInputRegisters = 4;
constexpr uint8_t kWriteCoil = 5;
constexpr uint8_t kWriteRegister = 6;
constexpr uint8_t kReadExceptionStatus = 7;
constexpr uint8_t kDiagnostics = 8;
constexpr uint8_t kCommEventCounter = 11;
constexpr uint8_t kCommEventLog = 12;
constexpr uint8_t kWriteCoils = 15;
constexpr uint8_t kWriteRegisters = 16;
constexpr uint8_t kReportServerId = 17;
constexpr uint8_t kReadFileRecord = 20;
constexpr uint8_t kWriteFileRecord = 21;
constexpr uint8_t kMaskWrite = 22;
constexpr uint8_t kReadWriteRegisters = 23;
constexpr uint8_t kReadFifo = 24;
constexpr uint8_t kEncapsulated = 43;
}  // namespace fc

// Request and reply fields, at the offsets Modbus lays them out.
constexpr int kUnitAt = 0;
constexpr int kFunctionAt = 1;
constexpr int kByteCountAt = 2;   // replies that count their data; 20 and 21 requests
constexpr int kQuantityAt = 4;    // reads, 15, 16, the read part of 23; 5, 6: the value
constexpr int kWriteCountAt = 6;  // 15, 16: byte count of the values
constexpr int kRwWriteQuantityAt = 8;
constexpr int kRwWriteCountAt = 10;
constexpr int kEchoAt = 2;        // 5, 6, 15, 16: address and value or quantity
constexpr int kEchoLength = 4;
constexpr int kSubFunctionLength = 2;  // 8: the sub-function the answer repeats
constexpr int kMaskEchoLength = 6;     // 22: address, and-mask, or-mask
constexpr uint16_t kCoilOn = 0xFF00;
constexpr uint16_t kCoilOff = 0x0000;

// Fixed request lengths without CRC.
constexpr int kShortRequest = 2;       // 7, 11, 12, 17: unit and function alone
constexpr int kFieldsRequest = 6;      // 1 to 6: two 16-bit fields
constexpr int kFifoRequest = 4;        // 24: the FIFO's address
constexpr int kMaskRequest = 8;        // 22: address and two masks
constexpr int kWriteHead = 7;          // 15, 16 before the values
constexpr int kReadWriteHead = 11;     // 23 before the values
constexpr int kFileHead = 3;           // 20, 21 before the sub-requests
constexpr int kDiagnosticsShortest = 6;  // sub-function and one data word
constexpr int kDeviceIdRequest = 5;    // 43/14: MEI type, code, object id

// Files: a sub-request names reference type 6, a file, a record and a
// length (and for 21 carries that many registers).
constexpr int kFileSubRequest = 7;
constexpr uint8_t kFileReferenceType = 6;
constexpr int kReadFileCountLowest = 7;
constexpr int kReadFileCountHighest = 0xF5;
constexpr int kWriteFileCountLowest = 9;

// 43 with MEI type 14 reads the device identification: read code 1 to 4.
constexpr uint8_t kMeiDeviceId = 14;
constexpr int kMeiTypeAt = 2;
constexpr int kDeviceIdCodeAt = 3;
constexpr uint8_t kDeviceIdCodeLast = 4;
constexpr int kObjectCountAt = 7;  // its answer: the objects follow, each id, length, value
constexpr int kObjectsAt = 8;

// 24: the answer counts its bytes in two and holds at most 31 registers.
constexpr int kFifoCountAt = 4;
constexpr unsigned kMaxFifoRegisters = 31;
// 12: the answer holds a status and two counts before its events.
constexpr int kEventLogLeast = 6;

// Answer lengths, CRC included.
constexpr int kCountedOverhead = 5;  // unit, function, byte count, CRC
constexpr int kFifoOverhead = 6;     // unit, function, two-byte count, CRC
constexpr int kWriteReplyLength = 8;
constexpr int kExceptionStatusReply = 5;
constexpr int kEventCounterReply = 8;
constexpr int kMaskReplyLength = 10;

unsigned field16(const uint8_t *frame, int at) { return static_cast<unsigned>(frame[at] << 8 | frame[at + 1]); }

bool within(unsigned quantity, unsigned most) { return quantity >= 1 && quantity <= most; }

// Data bytes that `quantity` items take: bits eight to a byte, registers two.
unsigned data_bytes(bool bits, unsigned quantity) { return bits ? (quantity + 7) / 8 : 2 * quantity; }

RequestForm fixed_request(int carried, int length) {
  return {length, carried < length ? RequestFault::kIncomplete : RequestFault::kNone};
}

RequestForm read_request(const uint8_t *f, int carried, unsigned most) {
  if (carried < kFieldsRequest) return {kFieldsRequest, RequestFault::kIncomplete};
  return {kFieldsRequest, within(field16(f, kQuantityAt), most) ? RequestFault::kNone : RequestFault::kOutOfLimits};
}

RequestForm coil_write_request(const uint8_t *f, int carried) {
  if (carried < kFieldsRequest) return {kFieldsRequest, RequestFault::kIncomplete};
  unsigned value = field16(f, kQuantityAt);
  return {kFieldsRequest, value == kCoilOn || value == kCoilOff ? RequestFault::kNone : RequestFault::kBadValue};
}

// A request of `head` bytes, then a byte count `count` and the values: the
// count must be the `needed` one, and the values must be there.
RequestForm counted_request(int carried, int count, unsigned needed, int head) {
  const int length = head + count;
  if (length > kMaxRequestFrame) return {length, RequestFault::kTooLong};
  if (static_cast<unsigned>(count) != needed) return {length, RequestFault::kInconsistent};
  if (carried < length) return {length, RequestFault::kIncomplete};
  return {length, RequestFault::kNone};
}

RequestForm write_multiple_request(const uint8_t *f, int carried) {
  if (carried < kWriteHead) return {0, RequestFault::kIncomplete};
  const bool coils = f[kFunctionAt] == fc::kWriteCoils;
  const unsigned quantity = field16(f, kQuantityAt);
  RequestForm form = counted_request(carried, f[kWriteCountAt], data_bytes(coils, quantity), kWriteHead);
  if (form.fault == RequestFault::kNone && !within(quantity, coils ? kMaxWriteCoils : kMaxWriteRegisters))
    form.fault = RequestFault::kOutOfLimits;
  return form;
}

RequestForm read_write_request(const uint8_t *f, int carried) {
  if (carried < kReadWriteHead) return {0, RequestFault::kIncomplete};
  const unsigned writes = field16(f, kRwWriteQuantityAt);
  RequestForm form = counted_request(carried, f[kRwWriteCountAt], data_bytes(false, writes), kReadWriteHead);
  if (form.fault == RequestFault::kNone &&
      !(within(field16(f, kQuantityAt), kMaxReadRegisters) && within(writes, kMaxReadWriteRegisters)))
    form.fault = RequestFault::kOutOfLimits;
  return form;
}

// Its length is not in the frame: all that came is the request, and its
// data are whole 16-bit words.
RequestForm diagnostics_request(int carried) {
  if (carried < kDiagnosticsShortest) return {kDiagnosticsShortest, RequestFault::kIncomplete};
  if (carried > kMaxRequestFrame) return {carried, RequestFault::kTooLong};
  return {carried, carried % 2 == 0 ? RequestFault::kNone : RequestFault::kInconsistent};
}

RequestForm read_file_request(const uint8_t *f, int carried) {
  if (carried < kFileHead) return {0, RequestFault::kIncomplete};
  const int count = f[kByteCountAt];
  const int length = kFileHead + count;
  if (count < kReadFileCountLowest || count > kReadFileCountHighest || count % kFileSubRequest != 0)
    return {length, RequestFault::kInconsistent};
  if (carried < length) return {length, RequestFault::kIncomplete};
  for (int at = kFileHead; at < length; at += kFileSubRequest)
    if (f[at] != kFileReferenceType) return {length, RequestFault::kBadValue};
  return {length, RequestFault::kNone};
}

RequestForm write_file_request(const uint8_t *f, int carried) {
  if (carried < kFileHead) return {0, RequestFault::kIncomplete};
  const int count = f[kByteCountAt];
  const int length = kFileHead + count;
  if (length > kMaxRequestFrame) return {length, RequestFault::kTooLong};
  if (count < kWriteFileCountLowest) return {length, RequestFault::kInconsistent};
  if (carried < length) return {length, RequestFault::kIncomplete};
  constexpr int kRecordLengthAt = 5;  // within a sub-request
  int at = kFileHead;
  while (at + kFileSubRequest <= length) {
    if (f[at] != kFileReferenceType) return {length, RequestFault::kBadValue};
    at += kFileSubRequest + 2 * static_cast<int>(field16(f, at + kRecordLengthAt));
  }
  return {length, at == length ? RequestFault::kNone : RequestFault::kInconsistent};
}

// Of the encapsulated interfaces only reading the device identification
// has an answer whose end can be told; any other MEI type is not passed.
RequestForm device_id_request(const uint8_t *f, int carried) {
  if (carried <= kMeiTypeAt) return {kDeviceIdRequest, RequestFault::kIncomplete};
  if (f[kMeiTypeAt] != kMeiDeviceId) return {0, RequestFault::kUnknownFunction};
  if (carried < kDeviceIdRequest) return {kDeviceIdRequest, RequestFault::kIncomplete};
  const uint8_t code = f[kDeviceIdCodeAt];
  return {kDeviceIdRequest, code >= 1 && code <= kDeviceIdCodeLast ? RequestFault::kNone : RequestFault::kBadValue};
}

// The answer's length where the request fixes it; kReplyLengthOpen where
// the answer counts its own bytes; 0 when no normal answer can exist.
int length_from_request(const uint8_t *request, int request_length) {
  const RequestForm form = MRTU_RequestForm(request, request_length - kCrcLength);
  const uint8_t function = request[kFunctionAt];
  // A quantity beyond Modbus's limits leaves a read without a normal
  // answer; a write's answer is an echo all the same.
  const bool limits_bind = MRTU_IsRead(function) || function == fc::kReadWriteRegisters;
  if (form.fault != RequestFault::kNone && (form.fault != RequestFault::kOutOfLimits || limits_bind)) return 0;
  switch (function) {
    case fc::kReadCoils: case fc::kReadInputs: case fc::kReadHolding: case fc::kReadInputRegisters:
      return kCountedOverhead +
             static_cast<int>(data_bytes(function <= fc::kReadInputs, field16(request, kQuantityAt)));
    case fc::kReadWriteRegisters:
      return kCountedOverhead + static_cast<int>(data_bytes(false, field16(request, kQuantityAt)));
    case fc::kWriteCoil: case fc::kWriteRegister: case fc::kWriteCoils: case fc::kWriteRegisters:
      return kWriteReplyLength;
    case fc::kReadExceptionStatus:
      return kExceptionStatusReply;
    case fc::kCommEventCounter:
      return kEventCounterReply;
    case fc::kMaskWrite:
      return kMaskReplyLength;
    case fc::kDiagnostics: case fc::kWriteFileRecord:
      return request_length;  // the answer has the request's shape
    default:  // 12, 17, 20, 24, 43/14
      return kReplyLengthOpen;
  }
}

// 43/14: the answer's length once its object list is in.
int device_id_length(const uint8_t *request, const uint8_t *reply, int n) {
  if (n < kObjectsAt) return kReplyLengthOpen;
  if (reply[kMeiTypeAt] != kMeiDeviceId || reply[kDeviceIdCodeAt] != request[kDeviceIdCodeAt]) return 0;
  int at = kObjectsAt;
  for (int k = 0; k < reply[kObjectCountAt]; ++k) {
    if (at + 2 > n) return kReplyLengthOpen;
    at += 2 + reply[at + 1];  // id, length, value
    if (at + kCrcLength > kMaxSealedFrame) return 0;
  }
  return at + kCrcLength;
}

// The length the first n bytes of an answer that counts its own bytes
// announce; kReplyLengthOpen while they are too few.
int length_from_reply(const uint8_t *request, const uint8_t *reply, int n) {
  if (n <= kFunctionAt) return kReplyLengthOpen;
  if (reply[kUnitAt] != request[kUnitAt] || reply[kFunctionAt] != request[kFunctionAt]) return 0;
  switch (request[kFunctionAt]) {
    case fc::kReadFifo:
      return n < kFifoCountAt ? kReplyLengthOpen : kFifoOverhead + static_cast<int>(field16(reply, kByteCountAt));
    case fc::kEncapsulated:
      return device_id_length(request, reply, n);
    default:  // 12, 17, 20
      return n <= kByteCountAt ? kReplyLengthOpen : kCountedOverhead + reply[kByteCountAt];
  }
}

// The fields of a normal answer of the right length that its function
// echoes or counts.
bool answer_fields_fit(const uint8_t *request, int request_length, const uint8_t *reply, int n) {
  const uint8_t function = request[kFunctionAt];
  switch (function) {
    case fc::kReadCoils: case fc::kReadInputs: case fc::kReadHolding: case fc::kReadInputRegisters:
      // An RS-485 adapter that hears its own transmission hands the request
      // back; a read of 17 to 24 bits from an address 0x03xx has an
      // answer's shape, but it is the echo. The functions that do answer
      // with the request's bytes (8, 21, 22) are not read here.
      if (n == request_length && memcmp(reply, request, static_cast<size_t>(n)) == 0) return false;
      return reply[kByteCountAt] == n - kCountedOverhead;
    case fc::kReadWriteRegisters:
      return reply[kByteCountAt] == n - kCountedOverhead;
    case fc::kWriteCoil: case fc::kWriteRegister: case fc::kWriteCoils: case fc::kWriteRegisters:
      return memcmp(reply + kEchoAt, request + kEchoAt, kEchoLength) == 0;
    case fc::kDiagnostics:
      return memcmp(reply + kEchoAt, request + kEchoAt, kSubFunctionLength) == 0;
    case fc::kWriteFileRecord:
      return memcmp(reply, request, static_cast<size_t>(n)) == 0;
    case fc::kMaskWrite:
      return memcmp(reply + kEchoAt, request + kEchoAt, kMaskEchoLength) == 0;
    case fc::kCommEventLog:
      return reply[kByteCountAt] >= kEventLogLeast;
    case fc::kReadFifo: {
      unsigned registers = field16(reply, kFifoCountAt);
      return registers <= kMaxFifoRegisters && field16(reply, kByteCountAt) == 2 + 2 * registers;
    }
    default:  // 7, 11, 17, 20, 43/14: the length says it all
      return true;
  }
}

// Where an answer that counts its own bytes, and so may be of any length,
// begins among the n bytes when it ends them. Each place where the
// request's unit and function stand and whose count ends right at the end
// is a candidate; only the first few get their CRC checked, so noise full
// of such headers costs little under the lock.
constexpr int kCountedCandidates = 4;

int find_counted_reply(const uint8_t *request, int request_length, const uint8_t *bytes, int n) {
  int checked = 0;
  for (int at = 0; at + kExceptionReplyLength <= n && checked < kCountedCandidates; ++at) {
    if (bytes[at + kUnitAt] != request[kUnitAt] || bytes[at + kFunctionAt] != request[kFunctionAt]) continue;
    if (MRTU_ReplyLength(request, request_length, bytes + at, n - at) != n - at) continue;
    ++checked;
    if (MRTU_ReplyMatches(request, request_length, bytes + at, n - at)) return at;
  }
  return -1;
}

}  // namespace

RequestForm MRTU_RequestForm(const uint8_t *frame, int carried) {
  if (carried < kShortRequest) return {0, RequestFault::kIncomplete};
  switch (frame[kFunctionAt]) {
    case fc::kReadCoils: case fc::kReadInputs:
      return read_request(frame, carried, kMaxReadBits);
    case fc::kReadHolding: case fc::kReadInputRegisters:
      return read_request(frame, carried, kMaxReadRegisters);
    case fc::kWriteCoil:
      return coil_write_request(frame, carried);
    case fc::kWriteRegister:
      return fixed_request(carried, kFieldsRequest);
    case fc::kReadExceptionStatus: case fc::kCommEventCounter: case fc::kCommEventLog: case fc::kReportServerId:
      return fixed_request(carried, kShortRequest);
    case fc::kDiagnostics:
      return diagnostics_request(carried);
    case fc::kWriteCoils: case fc::kWriteRegisters:
      return write_multiple_request(frame, carried);
    case fc::kReadFileRecord:
      return read_file_request(frame, carried);
    case fc::kWriteFileRecord:
      return write_file_request(frame, carried);
    case fc::kMaskWrite:
      return fixed_request(carried, kMaskRequest);
    case fc::kReadWriteRegisters:
      return read_write_request(frame, carried);
    case fc::kReadFifo:
      return fixed_request(carried, kFifoRequest);
    case fc::kEncapsulated:
      return device_id_request(frame, carried);
    default:
      return {0, RequestFault::kUnknownFunction};
  }
}

int MRTU_SealedRequestLength(const uint8_t *in, int n) {
  if (n < kShortRequest) return 0;
  const RequestForm form = MRTU_RequestForm(in, n);
  if (in[kFunctionAt] == fc::kDiagnostics || form.fault == RequestFault::kUnknownFunction) return kRequestLengthOpen;
  return form.length == 0 ? 0 : form.length + kCrcLength;
}

bool MRTU_OnlyReads(const uint8_t *frame, int n) {
  if (n < kShortRequest) return false;
  switch (frame[kFunctionAt]) {
    case fc::kReadCoils: case fc::kReadInputs: case fc::kReadHolding: case fc::kReadInputRegisters:
    case fc::kReadExceptionStatus: case fc::kCommEventCounter: case fc::kCommEventLog: case fc::kReportServerId:
    case fc::kReadFileRecord: case fc::kReadFifo:
      return true;
    case fc::kEncapsulated:
      return n > kMeiTypeAt && frame[kMeiTypeAt] == kMeiDeviceId;
    default:
      return false;
  }
}

int MRTU_ReplyLength(const uint8_t *request, int request_length, const uint8_t *reply, int n) {
  if (request_length < kShortRequest + kCrcLength) return 0;
  int length = length_from_request(request, request_length);
  if (length == kReplyLengthOpen) {
    if (reply == nullptr) return kReplyLengthOpen;
    length = length_from_reply(request, reply, n);
  }
  // No slot holds more: such an answer could only be cut.
  return length > kMaxSealedFrame ? 0 : length;
}

bool MRTU_ReplyMatches(const uint8_t *request, int request_length, const uint8_t *reply, int n) {
  if (request_length < kShortRequest + kCrcLength || n < kExceptionReplyLength || !MRTU_CheckFrame(reply, n))
    return false;
  const uint8_t function = request[kFunctionAt];
  if (reply[kUnitAt] != request[kUnitAt]) return false;
  if (reply[kFunctionAt] == (function | kExceptionBit)) {
    // A unit refuses a quantity outside Modbus's limits with an exception,
    // so a request without a normal answer still has this one.
    RequestFault fault = MRTU_RequestForm(request, request_length - kCrcLength).fault;
    return n == kExceptionReplyLength && fault != RequestFault::kUnknownFunction &&
           fault != RequestFault::kIncomplete;
  }
  if (reply[kFunctionAt] != function || n != MRTU_ReplyLength(request, request_length, reply, n)) return false;
  return answer_fields_fit(request, request_length, reply, n);
}

int MRTU_FindReply(const uint8_t *request, int request_length, const uint8_t *bytes, int n) {
  int normal = MRTU_ReplyLength(request, request_length);
  if (normal > 0 && n >= normal && MRTU_ReplyMatches(request, request_length, bytes + n - normal, normal))
    return n - normal;
  if (normal == kReplyLengthOpen) {
    int at = find_counted_reply(request, request_length, bytes, n);
    if (at >= 0) return at;
  }
  if (n >= kExceptionReplyLength &&
      MRTU_ReplyMatches(request, request_length, bytes + n - kExceptionReplyLength, kExceptionReplyLength))
    return n - kExceptionReplyLength;
  return -1;
}
