#include "sim_unit.h"

#include <cmath>

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

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataAddress = 0x02;
constexpr uint8_t kIllegalDataValue = 0x03;

// Quantity limits: what fits in one reply (reads) or one request (writes)
// of at most 256 bytes.
constexpr unsigned kMaxReadBits = 2000;
constexpr unsigned kMaxReadRegisters = 125;
constexpr unsigned kMaxWriteBits = 1968;
constexpr unsigned kMaxWriteRegisters = 123;

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

std::vector<uint8_t> exception(const std::vector<uint8_t> &request, uint8_t code) {
  return {request[kUnitAt], static_cast<uint8_t>(request[kFunctionAt] | 0x80), code};
}

bool in_table(unsigned addr, unsigned qty) { return addr + qty <= static_cast<unsigned>(kTableSize); }

// Functions 1 to 6 carry exactly an address and a quantity or value;
// 15 and 16 add a byte count and as many data bytes.
bool well_formed(const std::vector<uint8_t> &request) {
  uint8_t fc = request[kFunctionAt];
  if (fc == 15 || fc == 16)
    return request.size() > kByteCountAt && request.size() == kDataAt + request[kByteCountAt];
  return request.size() == kFixedRequestSize;
}

}  // namespace

Unit::Unit(uint8_t address) : address_(address), coils_(kTableSize, false), holding_(kTableSize) {
  for (int i = 0; i < kTableSize; ++i) holding_[i] = static_cast<uint16_t>(i);
}

std::vector<uint8_t> Unit::serve(const std::vector<uint8_t> &request, int64_t elapsed_us) {
  std::vector<uint8_t> reply;
  switch (request[kFunctionAt]) {
    case 1:
    case 2:
      reply = well_formed(request) ? read_bits(request, elapsed_us) : exception(request, kIllegalDataValue);
      break;
    case 3:
    case 4:
      reply =
          well_formed(request) ? read_registers(request, elapsed_us) : exception(request, kIllegalDataValue);
      break;
    case 5:
      reply = well_formed(request) ? write_coil(request) : exception(request, kIllegalDataValue);
      break;
    case 6:
      reply = well_formed(request) ? write_register(request) : exception(request, kIllegalDataValue);
      break;
    case 15:
      reply = well_formed(request) ? write_coils(request) : exception(request, kIllegalDataValue);
      break;
    case 16:
      reply = well_formed(request) ? write_registers(request) : exception(request, kIllegalDataValue);
      break;
    default:
      reply = exception(request, kIllegalFunction);
      break;
  }
  ++served_;
  return reply;
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
