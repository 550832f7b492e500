// rtuovertcp: Modbus RTU over TCP on the gateway's line, for HMIs, energy
// managers and SCADA drivers that speak only RTU frames to a serial server.
// A face server with the RTU codec, on the pool the Modbus TCP face uses:
// the same cache, write rules and settings, with places and counts of its
// own. Either face may run without the other; the pool runs while either
// does.
#pragma once

#include "modbustcp.h"
#include "net.h"
#include "pool.h"
#include "server.h"

// The face: its server. The pool is the one it is bound on.
struct RtuOverTcpFace {
  FaceServer server;
};

// Binds and listens on the settings' endpoint for clients of `pool`, and
// starts the pool with the settings unless it runs already (for the other
// face): nullptr, or a message naming the step that failed and why (nothing
// of the face is left open then). No client is served before
// rtuovertcp_serve.
const char *rtuovertcp_bind(RtuOverTcpFace &face, FacePool &pool, const ModbusTcpSettings &settings);

// Puts the pool on `line` as its source of extra work (once is enough for
// both faces) and starts the listener: nullptr, or a message naming the
// step that failed and why (the face is closed then).
const char *rtuovertcp_serve(RtuOverTcpFace &face, SerialLine &line);

// The endpoint actually bound (the system's port when 0 was asked for).
NetEndpoint rtuovertcp_endpoint(const RtuOverTcpFace &face);

// Ends the listener and every connection, stops the pool (for both faces:
// they stop together), waits for the connections' threads and closes the
// listening socket; also closes a face that was bound and never served.
void rtuovertcp_stop(RtuOverTcpFace &face);

FaceCounts rtuovertcp_counters(const RtuOverTcpFace &face);
