#include "support/rtu_client.h"

#include <stdexcept>

namespace vt {

RtuClient::RtuClient(const std::string &path, int unit, int timeout_ms, int baud) {
  ctx_ = modbus_new_rtu(path.c_str(), baud, 'N', 8, 1);
  if (!ctx_) throw std::runtime_error("modbus_new_rtu failed");
  modbus_set_slave(ctx_, unit);
  modbus_set_response_timeout(ctx_, timeout_ms / 1000, (timeout_ms % 1000) * 1000);
  if (modbus_connect(ctx_) != 0) {
    modbus_free(ctx_);
    throw std::runtime_error("modbus_connect failed on " + path);
  }
}

RtuClient::~RtuClient() {
  modbus_close(ctx_);
  modbus_free(ctx_);
}

std::vector<uint8_t> RtuClient::raw(std::vector<uint8_t> pdu) {
  pdu.insert(pdu.begin(), static_cast<uint8_t>(modbus_get_slave(ctx_)));
  if (modbus_send_raw_request(ctx_, pdu.data(), static_cast<int>(pdu.size())) < 0) return {};
  uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
  int n = modbus_receive_confirmation(ctx_, rsp);
  return n < 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(rsp, rsp + n);
}

}  // namespace vt
