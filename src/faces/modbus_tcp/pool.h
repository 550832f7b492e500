// pool: what the Modbus faces share on the line. Reads (functions 1 to 4)
// are cached: polled cyclically by the serial worker, each in its unit's
// turn, while clients keep asking for them, and answered from the cache
// while fresh. Writes (5, 6, 15, 16) and the other functions a gateway
// passes to a unit (7, 8, 11, 12, 17, 20 to 24, 43/14) are queued, exchanged
// once ahead of the cyclic reads and never repeated. The pool is the
// engine's source of extra line work (work.h) for the line it is attached
// to; its own lock, `mutex`, is taken inside the line's and never the other
// way round, so a cached answer never waits for a serial exchange.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "modbusRTU.h"

// ---- Sizes, limits and settings ---------------------------------------------

constexpr int kFaceReads = 256;       // cached reads, all units together
constexpr int kFaceConnections = 64;  // clients of one face at once
constexpr int kFaceFrameSize = 256;   // an RTU frame, CRC included
// Every connection waits for at most one write; one more may still be on
// the line after its client gave up.
constexpr int kFaceWrites = kFaceConnections + 1;

// Upper limits of the millisecond settings. A request never holds its
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

struct PoolSettings {
  uint32_t wait_ms = kFaceDefaultWaitMs;        // longest a client waits for an answer
  uint32_t max_age_ms = kFaceDefaultMaxAgeMs;   // a cached answer older than this is not given
  uint32_t idle_ms = kFaceDefaultIdleMs;        // a read nobody asks for this long leaves the line
  // The wait for a reply's first byte on the line; never longer than wait_ms.
  uint32_t timeout_ms = kFaceDefaultTimeoutMs;
};

// ---- Requests the faces pass ------------------------------------------------

// Modbus exception codes a face answers with itself.
constexpr uint8_t kExIllegalFunction = 0x01;
constexpr uint8_t kExIllegalValue = 0x03;
constexpr uint8_t kExPathUnavailable = 0x0A;
constexpr uint8_t kExTargetNoResponse = 0x0B;

// The longest PDU Modbus allows: function code and data.
constexpr int kMaxPdu = 253;

// 0 when the request (unit id, PDU of n bytes) may go to the line, else the
// exception code to answer with: the shape of each function is the frame
// module's (MRTU_RequestForm), and the PDU must be exactly that long.
uint8_t check_request(uint8_t unit, const uint8_t *pdu, int n);

// The RTU request frame without CRC: unit, then the PDU. Returns its length.
int rtu_request_frame(uint8_t unit, const uint8_t *pdu, int n, uint8_t *frame);

// check_request for a peer that may write or not: a request that would
// change the unit (MRTU_OnlyReads) from a peer that may not is answered
// kExIllegalFunction, after the unit and the function are known. Sets
// `write_refused` when that is why.
uint8_t check_request_from(uint8_t unit, const uint8_t *pdu, int n, bool may_write, bool *write_refused);

// What an answer (unit, function, data; no CRC) says of its request: 0 for
// a normal answer, the exception code of an exception.
inline uint8_t answer_status(const uint8_t *answer) {
  return (answer[1] & kExceptionBit) == 0 ? 0 : answer[2];
}

// ---- The pool -----------------------------------------------------------------

// A read as the pool keeps it: unit, function, address, quantity, CRC; the
// first six bytes are its key.
constexpr int kReadFrameLength = 8;
constexpr int kReadKeyLength = kReadFrameLength - kCrcLength;

struct FaceRead {
  bool in_use;
  bool polled;        // the worker exchanges it in its unit's turns
  bool in_flight;     // taken by the worker, outcome not yet delivered
  bool last_valid;    // the most recent exchange brought a fitting answer
  uint16_t generation;  // bumped when the entry is reused
  uint16_t waiters;     // clients waiting for its next answer: never dropped
  uint8_t request[kReadFrameLength];  // sealed; the first six bytes are the key
  uint8_t answer[kFaceFrameSize];  // last valid answer, without CRC
  int answer_length;
  uint32_t valid_answers;  // counts answers, so a waiter sees a new one
  int64_t answer_us;       // when the last valid answer came
  int64_t asked_us;        // when a client last asked
  // How often the line polls it, for whoever watches the line: when the
  // latest poll ended (0: none since it was armed) and the time between two
  // polls, smoothed (0 until the second).
  int64_t polled_us;
  uint32_t poll_gap_us;
};

// A queued write moves Pending -> InFlight -> Done; its client frees it. A
// client that gives up frees a Pending write (it never reaches the line) and
// marks an InFlight one Abandoned, which the delivery frees.
enum class WriteState : uint8_t { kFree, kPending, kInFlight, kDone, kAbandoned };

struct FaceWrite {
  WriteState state;
  uint16_t generation;
  uint64_t order;  // queue position: lower goes first
  uint8_t request[kFaceFrameSize];
  uint8_t request_length;
  uint8_t answer[kFaceFrameSize];
  int answer_length;  // 0: no valid answer
};

constexpr int kUnitIds = 256;

// Everything the pool owns; `mutex` guards all but the atomics.
// About 110 KiB, for static storage: no allocation at run time, and its
// pages stay untouched while no face runs.
struct FacePool {
  FaceRead reads[kFaceReads];
  FaceWrite writes[kFaceWrites];
  uint16_t polled_of_unit[kUnitIds];
  uint16_t cursor_of_unit[kUnitIds];  // the read of the unit taken last
  int polled_reads;
  int pending_writes;
  uint64_t next_order;
  int64_t wait_us;
  int64_t max_age_us;
  int64_t idle_us;
  uint32_t line_wait_us;  // the line's wait for a reply's first byte
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t answered;  // an outcome was delivered, or the pool stopped
  bool answered_ready;      // `answered` is set up (once, for the pool's life)
  std::atomic<bool> running{false};
  // The line it is attached to (nullptr: none), read by the clients'
  // threads to wake its worker.
  std::atomic<SerialLine *> line{nullptr};
};

// Empties the pool and takes its settings: nullptr, or the system's reason
// the pool cannot be used (its clients could not wait for their answers).
const char *pool_start(FacePool &pool, const PoolSettings &settings);

// Registers the pool as the line's source of extra work; the line's worker
// is woken for every new read and write.
void pool_attach(FacePool &pool, SerialLine &line);

// Takes the pool off its line (no call of the worker into it is under way
// when this returns) and ends every client's wait at once.
void pool_stop(FacePool &pool);

// The unit's answer to the request `frame` (unit, PDU; n bytes without CRC),
// without CRC, into `answer` (kFaceFrameSize bytes): its length, or 0 when
// no valid answer came within the wait. A read comes from the cache or its
// next poll; anything else is sent once.
int pool_ask(FacePool &pool, const uint8_t *frame, int n, uint8_t *answer);

// What a Modbus face answers one request with, whatever its framing.
struct FaceAnswer {
  int length;          // the unit's answer (unit first, no CRC) in the caller's buffer; 0: none
  uint8_t code;        // when there is none: the exception code to answer with
  bool write_refused;  // the code refuses a change from a peer that may not make one
};

// The answer to the request (unit id, PDU of n bytes) from a peer that may
// write or not: checked (check_request_from), then asked of the pool into
// `answer` (kFaceFrameSize bytes); 0x0B when no valid answer came in time.
FaceAnswer pool_answer(FacePool &pool, uint8_t unit, const uint8_t *pdu, int n, bool may_write, uint8_t *answer);

// The pool's calls as a source of extra line work.
WorkSource pool_work_source(FacePool &pool);

// ---- What the status page lists ------------------------------------------------

// A read on the line, as copied out: its key (unit, function, address,
// quantity) and the pool's own stamps (monotonic µs), nothing worked out, so
// the copy holds the pool's lock no longer than a copy needs.
struct FaceReadCopy {
  uint8_t key[kReadKeyLength];
  bool last_valid;       // the latest poll brought its answer
  int64_t answer_us;     // the last valid answer; 0: none yet
  int64_t asked_us;      // a client's last request for it
  int64_t polled_us;     // the latest poll; 0: none yet
  uint32_t poll_gap_us;  // between two polls, smoothed; 0 before the second
};

// Copies the reads the line polls now into `to` (room for `capacity`), in
// the pool's order; returns how many (none while the pool is not started).
int pool_copy_reads(FacePool &pool, FaceReadCopy *to, int capacity);
