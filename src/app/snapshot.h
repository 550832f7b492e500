// snapshot: the status face's snapshot, filled from every module of the
// gateway: the line's part from the engine, the clients' parts from the
// native server and the Modbus faces, and what only the app knows.
#pragma once

#include <cstdint>

#include "modbustcp.h"
#include "pelnet.h"
#include "rtuovertcp.h"
#include "status.h"

// What the snapshot shows besides the modules' counters, the faces whose
// clients it lists and the pool whose reads it lists.
struct GatewayFacts {
  const char *version;
  int64_t start_unix_us;  // wall clock
  NativeServer *native;
  const ModbusTcpFace *modbus_tcp;
  const RtuOverTcpFace *rtu_over_tcp;
  const AllowList *write_allow;  // VELKORD_WRITE_ALLOW; no networks: everyone may write
  FacePool *pool;                // the reads both Modbus faces share
};

// The gateway's StatusProvider; `context` is its GatewayFacts. Each module
// copies its part under its own lock, one after the other, so no two locks
// are ever held together.
void fill_status(StatusSnapshot &snapshot, void *context);
