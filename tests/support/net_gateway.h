// A running gateway with a Modbus unit on its serial line, for tests that
// talk to it over TCP: a pseudo-terminal as serial port 0, a libmodbus unit
// at address 1 on it (holding register 0 holds 0x002A), and the real velkord
// at 115200 bit/s listening on a free loopback port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/unit.h"

namespace vt {

// Arguments that start velkord on serial port 0 at 115200 8N1 and `tcp_port`.
std::vector<std::string> gateway_args(long tcp_port);

class NetGateway {
 public:
  static constexpr uint8_t kUnit = 1;
  static constexpr uint16_t kRegister0 = 0x002A;

  // `env`: "NAME=value" entries the gateway gets besides the device pattern.
  explicit NetGateway(std::vector<std::string> env = {});
  ~NetGateway();

  // Starts (or starts again, after kill()) the gateway; false when its
  // server line does not show within timeout_ms or it does not keep
  // running. The first start moves to another port if its port has been
  // taken meanwhile; a restart uses the same port.
  bool start(int timeout_ms = 8000);
  // Kills the gateway at once, as a power cut or SIGKILL would.
  void kill();

  int port() const { return port_; }
  Gateway &process() { return *gateway_; }
  LibmodbusUnit &unit() { return *unit_; }
  PtyPair &line() { return line_; }
  std::string tty_env() const { return "VELKORD_TTY_PATTERN=" + line_.pattern(); }

 private:
  PtyPair line_{0};
  std::unique_ptr<LibmodbusUnit> unit_;
  std::vector<std::string> env_;
  int port_;
  bool started_ = false;
  std::unique_ptr<Gateway> gateway_;
};

// Reading holding register 0 of unit 1 through slot 0: mode 1, timeout
// 100000 us, lifetime 750000 us, everything else 0.
const Bytes &example_request();
// Its answer once the unit has answered 01 03 02 00 2A.
const Bytes &example_answer();

// Repeats `request` until a response with status 0 comes, within
// timeout_ms; that response, or the last one seen (or nothing).
std::optional<Bytes> exchange_until_answered(NetClient &client, const Bytes &request, int timeout_ms);

}  // namespace vt
