// modbustcp: a standard Modbus TCP face on the gateway's line: the MBAP
// codec on a face server and the pool (see pool.h for how reads and writes
// share the line). Any number of Modbus TCP clients up to kFaceConnections,
// independent of the native ten, are served, each request in order.
#pragma once

#include <cstdint>

#include "access.h"
#include "codec.h"
#include "net.h"
#include "pool.h"
#include "server.h"

struct ModbusTcpSettings : PoolSettings {
  NetEndpoint endpoint{};            // port 0 in a start lets the system pick (tests)
  const AllowList *allow = nullptr;  // who may connect; nullptr: everyone
};

// The face: its pool and its server. The process's is the app's; tests
// make their own (on the heap: the pool is large).
struct ModbusTcpFace {
  FacePool pool;
  FaceServer server;
};

// Binds and listens, and empties the pool: nullptr, or a message naming the
// step that failed and why (nothing is left open then). No client is served
// before modbustcp_serve, so a start can still fail elsewhere and close it
// unseen.
const char *modbustcp_bind(ModbusTcpFace &face, const ModbusTcpSettings &settings);

// Puts the pool on `line` as its source of extra work and starts the
// listener of a bound face: nullptr, or a message naming the step that
// failed and why (the face is closed then).
const char *modbustcp_serve(ModbusTcpFace &face, SerialLine &line);

// modbustcp_bind and modbustcp_serve.
const char *modbustcp_start(ModbusTcpFace &face, const ModbusTcpSettings &settings, SerialLine &line);

// The endpoint actually bound (the system's port when 0 was asked for).
NetEndpoint modbustcp_endpoint(const ModbusTcpFace &face);

// Ends the listener and every connection, takes the pool off its line,
// waits for the connections' threads (at most a few seconds) and closes the
// listening socket, so the face can be started again; also closes a face
// that was bound and never served.
void modbustcp_stop(ModbusTcpFace &face);

// Counts since the start, for diagnostics.
struct ModbusTcpCounters {
  uint64_t accepted;       // connections accepted
  uint64_t refused;        // connections from outside the allowed networks
  uint64_t full;           // connections closed at once: every place taken
  uint64_t evicted;        // silent connections closed to make room for a newcomer
  uint64_t incomplete;     // connections closed: a request not whole within 7 s
  uint64_t connected;      // clients connected now
  uint64_t by_status[kFaceStatusOther + 1];  // answers: [0] ok, [code] exception code, [16] other
};
ModbusTcpCounters modbustcp_counters(const ModbusTcpFace &face);
