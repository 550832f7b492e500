// environment: the gateway's VELKORD_* settings.
//
// Everything beyond the command line comes from environment variables. They
// are read and checked together before anything is opened, and an invalid one
// ends the start with one line naming it. A variable that is unset or empty
// takes its default, and every default leaves the gateway as it is without it.
#pragma once

#include <linux/serial.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "access.h"
#include "modbustcp.h"
#include "net.h"

struct VelkordSettings {
  bool rs485_on;              // VELKORD_RS485
  struct serial_rs485 rs485;  //   what the driver is asked for when rs485_on
  bool echo;                  // VELKORD_ECHO: the transceiver echoes what we send
  uint32_t frame_gap_us;      // VELKORD_FRAME_GAP_US; 0: the line's own gap rule
  NetEndpoint listen;         // VELKORD_LISTEN, port 0; family 0: all IPv4 interfaces
  AllowList allow;            // VELKORD_ALLOW; no networks: everyone
  AllowList write_allow;      // VELKORD_WRITE_ALLOW; no networks: every admitted peer
  bool modbus_tcp_on;               // VELKORD_MODBUS_TCP
  NetEndpoint modbus_tcp;           //   where the Modbus TCP face listens
  uint32_t modbus_tcp_wait_ms;      // VELKORD_MODBUS_TCP_WAIT_MS; 0: kFaceDefaultWaitMs
  uint32_t modbus_tcp_max_age_ms;   // VELKORD_MODBUS_TCP_MAX_AGE_MS; 0: kFaceDefaultMaxAgeMs
  uint32_t modbus_tcp_idle_ms;      // VELKORD_MODBUS_TCP_IDLE_MS; 0: kFaceDefaultIdleMs
  uint32_t modbus_tcp_timeout_ms;   // VELKORD_MODBUS_TCP_TIMEOUT_MS; 0: kFaceDefaultTimeoutMs
  bool rtu_over_tcp_on;             // VELKORD_RTU_OVER_TCP
  NetEndpoint rtu_over_tcp;         //   where the RTU over TCP face listens
  OfflineRules offline;       // VELKORD_OFFLINE_AFTER, _RETRY_MS, _NATIVE
  bool status_on;             // VELKORD_STATUS
  NetEndpoint status;         //   where the status server listens when status_on
};

// A getenv-like source: the value of `name`, or nullptr when it is unset.
using EnvLookup = const char *(*)(void *context, const char *name);

// getenv as an EnvLookup.
const char *ProcessEnvironment(void *context, const char *name);

constexpr size_t kEnvErrorSize = 256;

// Reads and checks every setting. Returns nullptr with `out` filled, or one
// line (no line end, written into `error`) that names the first invalid
// variable and why.
const char *ReadEnvironment(EnvLookup lookup, void *context, VelkordSettings &out, char *error, size_t error_size);
