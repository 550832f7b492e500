// The Modbus side of the unit simulator: the RTU CRC, the shapes of requests
// on the line, and the four tables of one simulated unit with the answers
// they give. Nothing here knows about terminals or time-keeping beyond the
// elapsed time it is handed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// CRC-16/MODBUS (reflected 0xA001, start 0xFFFF); its low byte goes first.
uint16_t crc16(const uint8_t *data, size_t length);
// True when `frame` is at least 2 long and ends in the CRC of the rest.
bool crc_ok(const std::vector<uint8_t> &frame);
// Appends the CRC, low byte then high byte.
void append_crc(std::vector<uint8_t> &frame);

// Length with CRC of the request that `bytes` starts with, when its
// function has a fixed request shape and enough of it is in to tell; else 0
// (then only a silence on the line ends the frame).
size_t request_length(const std::vector<uint8_t> &bytes);

// A reply (no CRC) changed the ways a faulty line or unit changes one: the
// next unit address (247 wraps to 1), the neighbouring function of the same
// layout (1/2, 3/4, 5/6, 15/16; an exception keeps its bit 7), one byte
// short. The caller seals the result with a fresh CRC.
std::vector<uint8_t> misshape(std::vector<uint8_t> reply, bool wrong_unit, bool wrong_function, bool short_answer);

constexpr uint8_t kBroadcast = 0;
constexpr int kTableSize = 1000;  // entries in each of the four tables

// One unit address with 1000 coils, discrete inputs, holding registers and
// input registers. Some values move with time so that a poller shows them
// change:
//   input register 0   whole seconds since the simulator started
//   input register 1   a sine wave 0..1000 with a period of 20 s
//   input register 2   requests this unit has served before this one
//                      (broadcasts included)
//   input register i   i, for i >= 3
//   holding register i starts at i
//   coil i             starts off
//   discrete input i   on when (seconds + i) is odd, so each toggles every second
class Unit {
 public:
  explicit Unit(uint8_t address);

  uint8_t address() const { return address_; }

  // Performs `request` (unit address, function, data; no CRC) and returns
  // the reply without CRC, a Modbus exception reply included.
  std::vector<uint8_t> serve(const std::vector<uint8_t> &request, int64_t elapsed_us);

 private:
  std::vector<uint8_t> read_bits(const std::vector<uint8_t> &request, int64_t elapsed_us);
  std::vector<uint8_t> read_registers(const std::vector<uint8_t> &request, int64_t elapsed_us);
  std::vector<uint8_t> write_coil(const std::vector<uint8_t> &request);
  std::vector<uint8_t> write_register(const std::vector<uint8_t> &request);
  std::vector<uint8_t> write_coils(const std::vector<uint8_t> &request);
  std::vector<uint8_t> write_registers(const std::vector<uint8_t> &request);

  bool discrete_input(int addr, int64_t elapsed_us) const;
  uint16_t input_register(int addr, int64_t elapsed_us) const;

  uint8_t address_;
  uint16_t served_ = 0;
  std::vector<bool> coils_;
  std::vector<uint16_t> holding_;
};

}  // namespace sim
