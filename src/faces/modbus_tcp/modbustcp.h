// modbustcp: a standard Modbus TCP face on the gateway's line.
//
// Reads (functions 1 to 4) are polled cyclically by the serial worker while
// clients keep asking for them and answered from a cache; writes (5, 6, 15,
// 16) and the other functions a gateway passes to a unit (7, 8, 11, 12, 17,
// 20 to 24, 43/14) are queued, exchanged once ahead of the cyclic reads and
// never repeated. The face has its own server (any number of Modbus TCP clients up
// to kFaceConnections, independent of the native ten) and its own lock,
// FaceMutex, so a cached answer never waits for a serial exchange.
//
// The serial worker drives the line for the face through the calls under
// "Worker side", always with the engine's SerialMutex held; the face takes
// FaceMutex inside it and never the other way round.
#pragma once

#include <cstddef>
#include <cstdint>

#include "access.h"
#include "net.h"
#include "work.h"

// ---- Sizes and limits --------------------------------------------------------

constexpr int kFaceReads = 256;         // cached reads, all units together
constexpr int kFaceConnections = 64;    // Modbus TCP clients at once
constexpr int kFaceFrameSize = 256;     // an RTU frame, CRC included

// Upper limits of the three millisecond settings. A request never holds its
// connection longer than a minute; a cached answer older than an hour is no
// live value; a read left unpolled for more than a day is long forgotten.
constexpr uint32_t kFaceWaitMsLimit = 60000;
constexpr uint32_t kFaceMaxAgeMsLimit = 3600000;
constexpr uint32_t kFaceIdleMsLimit = 86400000;
constexpr uint32_t kFaceTimeoutMsLimit = 60000;

constexpr uint32_t kFaceDefaultWaitMs = 1000;
// What common Modbus masters wait for a unit; slow meters and inverters
// need 300 to 600 ms.
constexpr uint32_t kFaceDefaultTimeoutMs = 500;
constexpr uint32_t kFaceDefaultMaxAgeMs = 2000;
constexpr uint32_t kFaceDefaultIdleMs = 10000;

// Modbus exception codes the face answers with itself.
constexpr uint8_t kExIllegalFunction = 0x01;
constexpr uint8_t kExIllegalValue = 0x03;
constexpr uint8_t kExPathUnavailable = 0x0A;
constexpr uint8_t kExTargetNoResponse = 0x0B;

// ---- Codec (pure functions) ----------------------------------------------------

// MBAP header: transaction id, protocol id, length (of what follows it:
// unit id and PDU), unit id; big-endian fields at these offsets.
constexpr int kMbapTransaction = 0;
constexpr int kMbapProtocol = 2;
constexpr int kMbapLength = 4;
constexpr int kMbapUnit = 6;
constexpr int kMbapHeaderSize = 7;
constexpr int kMbapMaxPdu = 253;                            // Modbus PDU limit
constexpr int kMbapMaxAdu = kMbapHeaderSize + kMbapMaxPdu;  // 260

struct MbapHeader {
  uint16_t transaction;
  uint16_t protocol;
  uint16_t length;
  uint8_t unit;
};

MbapHeader mbap_read_header(const uint8_t *adu);

// False for a header that must close the connection: protocol id not 0, or
// a length that cannot hold a function code or exceeds the PDU limit.
bool mbap_header_sane(const MbapHeader &h);

// 0 when the request (unit id, PDU of n bytes) may go to the line, else the
// exception code to answer with: the shape of each function is the engine's
// (MRTU_RequestForm), and the PDU must be exactly that long.
uint8_t check_request(uint8_t unit, const uint8_t *pdu, int n);

// The RTU request frame without CRC: unit, then the PDU. Returns its length.
int rtu_request_frame(uint8_t unit, const uint8_t *pdu, int n, uint8_t *frame);

// The MBAP response for the unit's answer (n bytes without CRC, unit first)
// to the request with header `h`. Returns its length (6 + n).
int mbap_response(const MbapHeader &h, const uint8_t *answer, int n, uint8_t *out);

// An exception response to `function` with `code`. Returns its length (9).
int mbap_exception(const MbapHeader &h, uint8_t function, uint8_t code, uint8_t *out);

// ---- Settings --------------------------------------------------------------------

struct ModbusTcpSettings {
  NetEndpoint endpoint;  // port 0 in a start lets the system pick (tests)
  uint32_t wait_ms = kFaceDefaultWaitMs;
  uint32_t max_age_ms = kFaceDefaultMaxAgeMs;
  uint32_t idle_ms = kFaceDefaultIdleMs;
  // The wait for a reply's first byte on the line; never longer than wait_ms.
  uint32_t timeout_ms = kFaceDefaultTimeoutMs;
  void (*wake_worker)() = nullptr;  // new face work exists; called without FaceMutex
  const AllowList *allow = nullptr;  // who may connect; nullptr: everyone
};

// ---- Server --------------------------------------------------------------------

// Binds and listens, and empties the pool: 0, or the errno of the step that
// failed (nothing is left open then). No client is served before
// modbustcp_serve, so a start can still fail elsewhere and close it unseen.
int modbustcp_bind(const ModbusTcpSettings &settings);

// Starts the listener thread of a bound face: 0, or the errno of the failed
// start (the face is closed then).
int modbustcp_serve();

// modbustcp_bind and modbustcp_serve. Only one face runs at a time.
int modbustcp_start(const ModbusTcpSettings &settings);

// The endpoint actually bound (the system's port when 0 was asked for).
NetEndpoint modbustcp_endpoint();

// Ends the listener and every connection, waits for their threads (at most
// a few seconds) and closes the listening socket, so the face can be started
// again; also closes a face that was bound and never served.
void modbustcp_stop();

// Counts since the start, for diagnostics.
constexpr int kFaceStatusOther = 16;  // exception codes above 15
struct ModbusTcpCounters {
  uint64_t accepted;       // connections accepted
  uint64_t refused;        // connections from outside the allowed networks
  uint64_t full;           // connections closed at once: every place taken
  uint64_t connected;      // clients connected now
  uint64_t by_status[17];  // answers: [0] ok, [code] exception code, [16] other
};
ModbusTcpCounters modbustcp_counters();

// ---- Worker side -----------------------------------------------------------------

// The face's pool as the engine's source of extra line work: its writes are
// the urgent exchanges, its polled reads the cyclic ones of their unit.
// Registered on the line by whoever starts the face.
WorkSource modbustcp_work_source();
