// A libmodbus RTU client on a serial device node (a pseudo-terminal's end):
// the independent master that checks our units and the simulator.
#pragma once

#include <modbus.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

class RtuClient {
 public:
  RtuClient(const std::string &path, int unit, int timeout_ms = 1000, int baud = 9600);
  ~RtuClient();
  RtuClient(const RtuClient &) = delete;
  RtuClient &operator=(const RtuClient &) = delete;

  modbus_t *get() const { return ctx_; }
  modbus_t *operator->() const { return ctx_; }

  // Sends `pdu` (unit and CRC added by libmodbus) and returns the whole
  // reply, CRC included; empty when none came.
  std::vector<uint8_t> raw(std::vector<uint8_t> pdu);

 private:
  modbus_t *ctx_ = nullptr;
};

}  // namespace vt
