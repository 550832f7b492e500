// The four tables of one simulated unit and the answers they give. The line
// itself (framing, CRC, pacing, faults) is ptyunit's; nothing here knows
// about terminals or time-keeping beyond the elapsed time it is handed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

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
//
// Besides reading and writing the tables (1 to 6, 15, 16, 22, 23) it
// answers the functions that identify and diagnose a unit: 7 (the first
// eight coils are its exception status), 8 (return query data, restart,
// clear and read the counters below), 11 (the event counter), 17 (server id
// and run indicator) and 43/14 (basic device identification).
class Unit {
 public:
  explicit Unit(uint8_t address);

  uint8_t address() const { return address_; }

  // Performs `request` (unit address, function, data; no CRC) and returns
  // the reply without CRC, a Modbus exception reply included.
  std::vector<uint8_t> serve(const std::vector<uint8_t> &request, int64_t elapsed_us);
  // Counts a frame heard on the line, whoever it was for: a message when its
  // CRC is right, a CRC error otherwise.
  void heard(bool crc_ok);

 private:
  // The counters diagnostics reads, in the order of its sub-functions 11 to 15.
  enum Counter { kBusMessages, kCrcErrors, kExceptions, kServerMessages, kNoResponses, kCounterCount };

  std::vector<uint8_t> perform(const std::vector<uint8_t> &request, int64_t elapsed_us);
  void count(const std::vector<uint8_t> &request, const std::vector<uint8_t> &reply);
  std::vector<uint8_t> read_bits(const std::vector<uint8_t> &request, int64_t elapsed_us);
  std::vector<uint8_t> read_registers(const std::vector<uint8_t> &request, int64_t elapsed_us);
  std::vector<uint8_t> write_coil(const std::vector<uint8_t> &request);
  std::vector<uint8_t> write_register(const std::vector<uint8_t> &request);
  std::vector<uint8_t> write_coils(const std::vector<uint8_t> &request);
  std::vector<uint8_t> write_registers(const std::vector<uint8_t> &request);
  std::vector<uint8_t> read_exception_status(const std::vector<uint8_t> &request);
  std::vector<uint8_t> comm_event_counter(const std::vector<uint8_t> &request);
  std::vector<uint8_t> report_server_id(const std::vector<uint8_t> &request);
  std::vector<uint8_t> mask_write_register(const std::vector<uint8_t> &request);
  std::vector<uint8_t> read_write_registers(const std::vector<uint8_t> &request);
  std::vector<uint8_t> diagnostics(const std::vector<uint8_t> &request);
  std::vector<uint8_t> device_identification(const std::vector<uint8_t> &request);

  bool discrete_input(int addr, int64_t elapsed_us) const;
  uint16_t input_register(int addr, int64_t elapsed_us) const;

  uint8_t address_;
  uint16_t served_ = 0;
  uint16_t events_ = 0;  // requests completed without an exception, but 11
  std::array<uint16_t, kCounterCount> counters_{};
  bool clear_counters_ = false;  // set by a restart or clear of diagnostics
  std::vector<bool> coils_;
  std::vector<uint16_t> holding_;
};

}  // namespace sim
