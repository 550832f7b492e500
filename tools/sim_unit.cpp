#include "sim_unit.h"

#include <cmath>
#include <string_view>

namespace sim {
namespace {

// Request fields (no CRC), at these offsets for every function served.
constexpr size_t kUnitAt = 0;
constexpr size_t kFunctionAt = 1;
constexpr size_t kAddressAt = 2;
constexpr size_t kQuantityAt = 4;   // the value for functions 5 and 6
constexpr size_t kByteCountAt = 6;  // functions 15 and 16
constexpr size_t kDataAt = 7;       // functions 15 and 16
constexpr size_t kFixedRequestSize = 6;
constexpr size_t kHeaderSize = 2;  // unit and function: all of 7, 11 and 17

// Function 22: address, AND mask, OR mask.
constexpr size_t kAndMaskAt = 4;
constexpr size_t kOrMaskAt = 6;
constexpr size_t kMaskWriteSize = 8;

// Function 23: the read's address and quantity, then the write's, its byte
// count and data.
constexpr size_t kWriteAddressAt = 6;
constexpr size_t kWriteQuantityAt = 8;
constexpr size_t kReadWriteByteCountAt = 10;
constexpr size_t kReadWriteDataAt = 11;

// Function 8: a sub-function, then data words.
constexpr size_t kSubFunctionAt = 2;
constexpr size_t kDiagnosticDataAt = 4;
constexpr unsigned kReturnQueryData = 0;
constexpr unsigned kRestartCommunications = 1;
constexpr unsigned kReturnDiagnosticRegister = 2;
constexpr unsigned kClearCounters = 10;
constexpr unsigned kFirstCounter = 11;  // bus messages; then the other counters in Unit
constexpr uint16_t kClearEventLog = 0xFF00;  // the one data word restart also takes

// Function 43, MEI type 14: read device identification.
constexpr size_t kMeiTypeAt = 2;
constexpr size_t kReadDeviceIdCodeAt = 3;
constexpr size_t kObjectIdAt = 4;
constexpr size_t kDeviceIdRequestSize = 5;
constexpr uint8_t kMeiDeviceIdentification = 14;
constexpr uint8_t kStreamBasic = 1;
constexpr uint8_t kOneObject = 4;
// Basic identification only, by stream and by single object. A request for
// the regular or extended stream gets the basic objects, as Modbus asks of a
// unit below the level requested.
constexpr uint8_t kConformityBasic = 0x81;
constexpr uint8_t kNoMoreObjects = 0x00;

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataAddress = 0x02;
constexpr uint8_t kIllegalDataValue = 0x03;

// Quantity limits: what fits in one reply (reads) or one request (writes)
// of at most 256 bytes.
constexpr unsigned kMaxReadBits = 2000;
constexpr unsigned kMaxReadRegisters = 125;
constexpr unsigned kMaxWriteBits = 1968;
constexpr unsigned kMaxWriteRegisters = 123;
constexpr unsigned kMaxReadWriteRegisters = 121;  // the write of function 23
constexpr uint8_t kRunIndicatorOn = 0xFF;
constexpr char kServerIdText[] = "velkord-sim";

constexpr uint16_t kCoilOn = 0xFF00;
constexpr uint16_t kCoilOff = 0x0000;

constexpr int64_t kSinePeriodUs = 20000000;
constexpr double kPi = 3.14159265358979323846;

unsigned field16(const std::vector<uint8_t> &frame, size_t at) {
  return static_cast<unsigned>(frame[at] << 8 | frame[at + 1]);
}

void put16(std::vector<uint8_t> &frame, unsigned value) {
  frame.push_back(static_cast<uint8_t>(value >> 8));
  frame.push_back(static_cast<uint8_t>(value & 0xFF));
}

constexpr uint8_t kExceptionBit = 0x80;

std::vector<uint8_t> exception(const std::vector<uint8_t> &request, uint8_t code) {
  return {request[kUnitAt], static_cast<uint8_t>(request[kFunctionAt] | kExceptionBit), code};
}

bool is_exception(const std::vector<uint8_t> &reply) {
  return reply.size() > kFunctionAt && (reply[kFunctionAt] & kExceptionBit) != 0;
}

#ifndef VELKORD_SIM_VERSION
#define VELKORD_SIM_VERSION "dev"
#endif

// The basic device identification objects, by object id.
constexpr const char *kDeviceObjects[] = {"velkord", "velkord-sim", VELKORD_SIM_VERSION};
constexpr uint8_t kObjectCount = sizeof kDeviceObjects / sizeof kDeviceObjects[0];

bool in_table(unsigned addr, unsigned qty) { return addr + qty <= static_cast<unsigned>(kTableSize); }

// Functions 1 to 6 carry exactly an address and a quantity or value; 15
// and 16 add a byte count and as many data bytes, 23 a second address and
// quantity before them; 22 two masks; 7, 11 and 17 nothing at all.
bool well_formed(const std::vector<uint8_t> &request) {
  switch (request[kFunctionAt]) {
    case 7:
    case 11:
    case 17:
      return request.size() == kHeaderSize;
    case 15:
    case 16:
      return request.size() > kByteCountAt && request.size() == kDataAt + request[kByteCountAt];
    case 22:
      return request.size() == kMaskWriteSize;
    case 23:
      return request.size() > kReadWriteByteCountAt &&
             request.size() == kReadWriteDataAt + request[kReadWriteByteCountAt];
    default:
      return request.size() == kFixedRequestSize;
  }
}

}  // namespace

Unit::Unit(uint8_t address) : address_(address), coils_(kTableSize, false), holding_(kTableSize) {
  for (int i = 0; i < kTableSize; ++i) holding_[i] = static_cast<uint16_t>(i);
}

std::vector<uint8_t> Unit::serve(const std::vector<uint8_t> &request, int64_t elapsed_us) {
  std::vector<uint8_t> reply = perform(request, elapsed_us);
  ++served_;
  count(request, reply);
  if (clear_counters_) {
    counters_.fill(0);
    events_ = 0;
    clear_counters_ = false;
  }
  return reply;
}

void Unit::heard(bool crc_ok) {
  if (crc_ok)
    ++counters_[kBusMessages];
  else
    ++counters_[kCrcErrors];
}

std::vector<uint8_t> Unit::perform(const std::vector<uint8_t> &request, int64_t elapsed_us) {
  uint8_t fc = request[kFunctionAt];
  // These two check their shape themselves: it depends on what they ask.
  if (fc == 8) return diagnostics(request);
  if (fc == 43) return device_identification(request);
  bool known = (fc >= 1 && fc <= 7) || fc == 11 || (fc >= 15 && fc <= 17) || fc == 22 || fc == 23;
  if (!known) return exception(request, kIllegalFunction);
  if (!well_formed(request)) return exception(request, kIllegalDataValue);
  switch (fc) {
    case 1:
    case 2:
      return read_bits(request, elapsed_us);
    case 3:
    case 4:
      return read_registers(request, elapsed_us);
    case 5:
      return write_coil(request);
    case 6:
      return write_register(request);
    case 7:
      return read_exception_status(request);
    case 11:
      return comm_event_counter(request);
    case 15:
      return write_coils(request);
    case 16:
      return write_registers(request);
    case 17:
      return report_server_id(request);
    case 22:
      return mask_write_register(request);
    default:
      return read_write_registers(request);
  }
}

// A request counts once it is performed, so a read of a counter leaves
// itself out. Exceptions are not events of function 11.
void Unit::count(const std::vector<uint8_t> &request, const std::vector<uint8_t> &reply) {
  ++counters_[kServerMessages];
  if (request[kUnitAt] == kBroadcast) ++counters_[kNoResponses];
  if (is_exception(reply)) {
    ++counters_[kExceptions];
    return;
  }
  if (request[kFunctionAt] != 11) ++events_;
}

// The quantity is checked before the address, the order Modbus prescribes,
// so a request that is wrong in both ways gets exception 3.
std::vector<uint8_t> Unit::read_bits(const std::vector<uint8_t> &request, int64_t elapsed_us) {
  unsigned addr = field16(request, kAddressAt);
  unsigned qty = field16(request, kQuantityAt);
  if (qty < 1 || qty > kMaxReadBits) return exception(request, kIllegalDataValue);
  if (!in_table(addr, qty)) return exception(request, kIllegalDataAddress);
  bool coils = request[kFunctionAt] == 1;
  std::vector<uint8_t> reply = {request[kUnitAt], request[kFunctionAt], static_cast<uint8_t>((qty + 7) / 8)};
  reply.resize(reply.size() + (qty + 7) / 8, 0);
  for (unsigned i = 0; i < qty; ++i) {
    int a = static_cast<int>(addr + i);
    if (coils ? coils_[a] : discrete_input(a, elapsed_us))
      reply[3 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return reply;
}

std::vector<uint8_t> Unit::read_registers(const std::vector<uint8_t> &request, int64_t elapsed_us) {
  unsigned addr = field16(request, kAddressAt);
  unsigned qty = field16(request, kQuantityAt);
  if (qty < 1 || qty > kMaxReadRegisters) return exception(request, kIllegalDataValue);
  if (!in_table(addr, qty)) return exception(request, kIllegalDataAddress);
  bool holding = request[kFunctionAt] == 3;
  std::vector<uint8_t> reply = {request[kUnitAt], request[kFunctionAt], static_cast<uint8_t>(2 * qty)};
  for (unsigned i = 0; i < qty; ++i) {
    int a = static_cast<int>(addr + i);
    put16(reply, holding ? holding_[a] : input_register(a, elapsed_us));
  }
  return reply;
}

std::vector<uint8_t> Unit::write_coil(const std::vector<uint8_t> &request) {
  unsigned addr = field16(request, kAddressAt);
  unsigned value = field16(request, kQuantityAt);
  if (value != kCoilOn && value != kCoilOff) return exception(request, kIllegalDataValue);
  if (!in_table(addr, 1)) return exception(request, kIllegalDataAddress);
  coils_[addr] = value == kCoilOn;
  return request;
}

std::vector<uint8_t> Unit::write_register(const std::vector<uint8_t> &request) {
  unsigned addr = field16(request, kAddressAt);
  if (!in_table(addr, 1)) return exception(request, kIllegalDataAddress);
  holding_[addr] = static_cast<uint16_t>(field16(request, kQuantityAt));
  return request;
}

std::vector<uint8_t> Unit::write_coils(const std::vector<uint8_t> &request) {
  unsigned addr = field16(request, kAddressAt);
  unsigned qty = field16(request, kQuantityAt);
  if (qty < 1 || qty > kMaxWriteBits || request[kByteCountAt] != (qty + 7) / 8)
    return exception(request, kIllegalDataValue);
  if (!in_table(addr, qty)) return exception(request, kIllegalDataAddress);
  for (unsigned i = 0; i < qty; ++i) coils_[addr + i] = (request[kDataAt + i / 8] >> (i % 8)) & 1;
  return std::vector<uint8_t>(request.begin(), request.begin() + kFixedRequestSize);
}

std::vector<uint8_t> Unit::write_registers(const std::vector<uint8_t> &request) {
  unsigned addr = field16(request, kAddressAt);
  unsigned qty = field16(request, kQuantityAt);
  if (qty < 1 || qty > kMaxWriteRegisters || request[kByteCountAt] != 2 * qty)
    return exception(request, kIllegalDataValue);
  if (!in_table(addr, qty)) return exception(request, kIllegalDataAddress);
  for (unsigned i = 0; i < qty; ++i)
    holding_[addr + i] = static_cast<uint16_t>(field16(request, kDataAt + 2 * i));
  return std::vector<uint8_t>(request.begin(), request.begin() + kFixedRequestSize);
}

// The first eight coils stand in for the unit's exception status outputs.
std::vector<uint8_t> Unit::read_exception_status(const std::vector<uint8_t> &request) {
  uint8_t status = 0;
  for (unsigned i = 0; i < 8; ++i)
    if (coils_[i]) status |= static_cast<uint8_t>(1u << i);
  return {request[kUnitAt], request[kFunctionAt], status};
}

// Status word 0: a simulated unit is never busy.
std::vector<uint8_t> Unit::comm_event_counter(const std::vector<uint8_t> &request) {
  std::vector<uint8_t> reply = {request[kUnitAt], request[kFunctionAt], 0, 0};
  put16(reply, events_);
  return reply;
}

// Server id: the unit address; run indicator on; then the simulator's name.
std::vector<uint8_t> Unit::report_server_id(const std::vector<uint8_t> &request) {
  std::string_view text = kServerIdText;
  std::vector<uint8_t> reply = {request[kUnitAt], request[kFunctionAt], static_cast<uint8_t>(2 + text.size()),
                                address_, kRunIndicatorOn};
  for (char c : text) reply.push_back(static_cast<uint8_t>(c));
  return reply;
}

std::vector<uint8_t> Unit::mask_write_register(const std::vector<uint8_t> &request) {
  unsigned addr = field16(request, kAddressAt);
  if (!in_table(addr, 1)) return exception(request, kIllegalDataAddress);
  unsigned and_mask = field16(request, kAndMaskAt);
  unsigned or_mask = field16(request, kOrMaskAt);
  holding_[addr] = static_cast<uint16_t>((holding_[addr] & and_mask) | (or_mask & ~and_mask));
  return request;
}

// The write goes first, then the read, so a read over the written range
// returns the new values.
std::vector<uint8_t> Unit::read_write_registers(const std::vector<uint8_t> &request) {
  unsigned read_addr = field16(request, kAddressAt);
  unsigned read_qty = field16(request, kQuantityAt);
  unsigned write_addr = field16(request, kWriteAddressAt);
  unsigned write_qty = field16(request, kWriteQuantityAt);
  if (read_qty < 1 || read_qty > kMaxReadRegisters || write_qty < 1 || write_qty > kMaxReadWriteRegisters ||
      request[kReadWriteByteCountAt] != 2 * write_qty)
    return exception(request, kIllegalDataValue);
  if (!in_table(read_addr, read_qty) || !in_table(write_addr, write_qty))
    return exception(request, kIllegalDataAddress);
  for (unsigned i = 0; i < write_qty; ++i)
    holding_[write_addr + i] = static_cast<uint16_t>(field16(request, kReadWriteDataAt + 2 * i));
  std::vector<uint8_t> reply = {request[kUnitAt], request[kFunctionAt], static_cast<uint8_t>(2 * read_qty)};
  for (unsigned i = 0; i < read_qty; ++i) put16(reply, holding_[read_addr + i]);
  return reply;
}

// Sub-function 0 echoes any number of data words; the others carry one
// word, 0 (restart may also ask to clear the event log: FF00), and are
// echoed or answered with the value asked for.
std::vector<uint8_t> Unit::diagnostics(const std::vector<uint8_t> &request) {
  if (request.size() < kFixedRequestSize || (request.size() - kDiagnosticDataAt) % 2 != 0)
    return exception(request, kIllegalDataValue);
  unsigned sub = field16(request, kSubFunctionAt);
  if (sub == kReturnQueryData) return request;
  bool counter = sub >= kFirstCounter && sub < kFirstCounter + kCounterCount;
  if (sub != kRestartCommunications && sub != kReturnDiagnosticRegister && sub != kClearCounters && !counter)
    return exception(request, kIllegalFunction);
  unsigned data = field16(request, kDiagnosticDataAt);
  bool data_ok = data == 0 || (sub == kRestartCommunications && data == kClearEventLog);
  if (request.size() != kFixedRequestSize || !data_ok) return exception(request, kIllegalDataValue);
  if (sub == kRestartCommunications || sub == kClearCounters) {
    clear_counters_ = true;  // once this request is counted: counting starts after it
    return request;
  }
  std::vector<uint8_t> reply(request.begin(), request.begin() + kDiagnosticDataAt);
  put16(reply, counter ? counters_[sub - kFirstCounter] : 0);  // the diagnostic register stays 0
  return reply;
}

// Stream access (codes 1 to 3) lists the objects from the one asked for to
// the last, starting over at 0 when that one does not exist; code 4 asks for
// exactly one, which must exist. Every object fits one reply, so more never
// follows.
std::vector<uint8_t> Unit::device_identification(const std::vector<uint8_t> &request) {
  if (request.size() <= kMeiTypeAt || request[kMeiTypeAt] != kMeiDeviceIdentification)
    return exception(request, kIllegalFunction);
  if (request.size() != kDeviceIdRequestSize) return exception(request, kIllegalDataValue);
  uint8_t code = request[kReadDeviceIdCodeAt];
  uint8_t first = request[kObjectIdAt];
  if (code < kStreamBasic || code > kOneObject) return exception(request, kIllegalDataValue);
  uint8_t end = kObjectCount;
  if (code == kOneObject) {
    if (first >= kObjectCount) return exception(request, kIllegalDataAddress);
    end = static_cast<uint8_t>(first + 1);
  } else if (first >= kObjectCount) {
    first = 0;
  }
  std::vector<uint8_t> reply = {request[kUnitAt], request[kFunctionAt], kMeiDeviceIdentification, code,
                                kConformityBasic, kNoMoreObjects, 0, static_cast<uint8_t>(end - first)};
  for (uint8_t id = first; id < end; ++id) {
    std::string_view value = kDeviceObjects[id];
    reply.push_back(id);
    reply.push_back(static_cast<uint8_t>(value.size()));
    reply.insert(reply.end(), value.begin(), value.end());
  }
  return reply;
}

bool Unit::discrete_input(int addr, int64_t elapsed_us) const {
  return ((elapsed_us / 1000000 + addr) & 1) != 0;
}

uint16_t Unit::input_register(int addr, int64_t elapsed_us) const {
  switch (addr) {
    case 0:
      return static_cast<uint16_t>(elapsed_us / 1000000);
    case 1: {
      double phase = 2 * kPi * static_cast<double>(elapsed_us % kSinePeriodUs) / kSinePeriodUs;
      return static_cast<uint16_t>(std::lround(500.0 + 500.0 * std::sin(phase)));
    }
    case 2:
      return served_;
    default:
      return static_cast<uint16_t>(addr);
  }
}

}  // namespace sim
