// A libmodbus TCP client on 127.0.0.1, for the tests of the Modbus TCP face:
// libmodbus's own calls for the functions it has, and raw requests for the
// frames it would refuse to build.
#pragma once

#include <modbus.h>

#include <cstdint>
#include <vector>

namespace vt {

struct ModbusTcpClient {
  explicit ModbusTcpClient(int port, int unit = 1) : ctx(modbus_new_tcp("127.0.0.1", port)) {
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 5, 0);
    connected = modbus_connect(ctx) == 0;
  }
  ~ModbusTcpClient() {
    modbus_close(ctx);
    modbus_free(ctx);
  }
  ModbusTcpClient(const ModbusTcpClient &) = delete;
  ModbusTcpClient &operator=(const ModbusTcpClient &) = delete;

  // `body` (unit id, PDU) as a raw request; the response PDU, empty if none.
  std::vector<uint8_t> raw(const std::vector<uint8_t> &body) {
    uint8_t rsp[MODBUS_TCP_MAX_ADU_LENGTH];
    if (modbus_send_raw_request(ctx, body.data(), static_cast<int>(body.size())) < 0) return {};
    int n = modbus_receive_confirmation(ctx, rsp);
    return n > 7 ? std::vector<uint8_t>(rsp + 7, rsp + n) : std::vector<uint8_t>{};
  }

  modbus_t *ctx;
  bool connected;
};

}  // namespace vt
