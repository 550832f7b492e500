#include "support/net_gateway.h"

#include <unistd.h>

namespace vt {

std::vector<std::string> gateway_args(long tcp_port) {
  return {"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p", std::to_string(tcp_port)};
}

NetGateway::NetGateway(std::vector<std::string> env)
    : unit_(std::make_unique<LibmodbusUnit>(line_, kUnit, 115200)), env_(std::move(env)), port_(free_tcp_port()) {
  unit_->set_holding(0, kRegister0);
  env_.push_back(tty_env());
}

NetGateway::~NetGateway() { kill(); }

bool NetGateway::start(int timeout_ms) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    gateway_ = std::make_unique<Gateway>(gateway_args(port_), env_);
    if (!gateway_->wait_for_output("---- opening tcp/ip", timeout_ms)) return false;
    // The server line comes whether the port could be bound or not; a
    // gateway that could not bind ends right after it.
    if (gateway_->wait_exit(100) == -1) {
      started_ = true;
      return true;
    }
    // Another test took the free port first. A restart keeps its port.
    if (started_) return false;
    port_ = free_tcp_port();
  }
  return false;
}

void NetGateway::kill() {
  if (gateway_) gateway_->kill_now();
}

const Bytes &example_request() {
  static const Bytes request = {
      0x26, 0x00,              // length 38
      0x00, 0x00,              // reserved
      0x00, 0x00, 0x00, 0x00,  // keepAlive
      0x00, 0x00,              // pause
      0x00,                    // reserved
      0x01,                    // mode
      0x00,                    // slot
      0x00, 0x00, 0x00,        // reserved
      0xA0, 0x86, 0x01, 0x00,  // timeout 100000
      0x00, 0x00, 0x00, 0x00,  // delay
      0xB0, 0x71, 0x0B, 0x00,  // lifetime 750000
      0x00, 0x00, 0x00, 0x00,  // reserved
      0x01, 0x03, 0x00, 0x00, 0x00, 0x01,
  };
  return request;
}

const Bytes &example_answer() {
  static const Bytes answer = {
      0x25, 0x00,                                                  // length 37
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // eight zero bytes
      0x00,                                                        // status
      0x00,                                                        // zero
      0x00,                                                        // slot
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        // nineteen zero bytes
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // (continued)
      0x01, 0x03, 0x02, 0x00, 0x2A,                                // the answer
  };
  return answer;
}

std::optional<Bytes> exchange_until_answered(NetClient &client, const Bytes &request, int timeout_ms) {
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  std::optional<Bytes> last;
  while (now_us() < end) {
    last = client.exchange(request, 2000);
    if (!last || last->size() < 11 || (*last)[10] == 0x00) return last;
    usleep(5000);
  }
  return last;
}

}  // namespace vt
