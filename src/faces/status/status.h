// status: the gateway's status face. A snapshot of the counters, its three
// renderings (Prometheus text, JSON, an HTML page) and the small HTTP server
// that serves them on GET /metrics, /status and /.
//
// The server never reads the engine's tables itself: it asks a provider to
// fill a snapshot, one copy under the engine's locks, and renders from that
// copy with no lock held.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "access.h"
#include "counters.h"
#include "http.h"
#include "net.h"

// ---- Snapshot --------------------------------------------------------------

constexpr int kStatusUnits = 247;     // unit addresses 1…247
constexpr int kStatusSlots = 5;       // exchange slots per unit
constexpr int kStatusPeers = 24;      // connected clients listed by address
constexpr int kStatusCodes = 256;     // request counts by status byte
constexpr int kStatusReads = 256;     // the faces' reads on the line
// The bytes of a stored request that name what it asks for: unit, function,
// address and, for most functions, quantity.
constexpr int kStatusRequestBytes = 6;

// Client protocols.
constexpr int kProtocolNative = 0;
constexpr int kProtocolModbusTcp = 1;
constexpr int kProtocolRtuOverTcp = 2;
constexpr int kProtocolCount = 3;

struct SlotStatus {
  uint8_t slot;               // 0…4
  uint8_t function;           // Modbus function code of the stored request
  uint8_t mode;               // 0 idle, 1 repeat, 2 until answered, 3+ reload
  uint8_t last_outcome;       // kOutcome*
  bool has_quantity;          // functions 1–4, 15 and 16 carry a quantity
  uint16_t address;           // first coil or register
  uint16_t quantity;
  uint32_t lifetime_left_us;
  int64_t answer_age_us;      // since the last valid answer; -1 when none
  uint64_t exchanges[kOutcomeCount];
  // As the provider copies them under the line's lock: the stored request's
  // first bytes and its last valid answer's time (monotonic, 0: none). It
  // works function, address, quantity and the age out of them afterwards.
  uint8_t request[kStatusRequestBytes];
  int64_t last_valid_us;
};

struct UnitStatus {
  uint8_t unit;               // 1…247
  uint8_t last_outcome;       // of the unit's latest exchange, kOutcome*
  uint8_t slot_count;         // active slots listed in `slots`
  uint64_t exchanges[kOutcomeCount];
  ResponseHistogram response;
  int64_t last_valid_age_us;  // -1 when the unit never answered
  uint64_t late_replies;      // answers that came after their wait had closed
  int64_t late_answer_us;     // the latest one's answer time; -1 when none came
  SlotStatus slots[kStatusSlots];
  int64_t last_valid_us;      // as copied (monotonic, 0: none); the age is worked out of it
  bool offline = false;        // set aside for not answering
  int64_t offline_since_us = -1; // as copied (monotonic); -1 when it is not offline
  int64_t offline_for_us = -1; // how long it has been offline; -1 when it is not
  uint64_t offline_total = 0;  // times it was set aside
};

// A read a Modbus face keeps fresh on the line for its clients, polled in
// its unit's turn after the unit's slots.
struct ReadStatus {
  uint8_t unit;
  uint8_t function;           // 1…4
  uint16_t address;
  uint16_t quantity;
  bool last_valid;            // its latest poll brought its answer
  int64_t answer_age_us;      // since its last valid answer; -1 when none
  int64_t asked_age_us;       // since a client last asked for it
  // Between two polls: smoothed, or the time since the latest poll when
  // that is longer (a read polled less often shows so at once); -1 before
  // the second poll.
  int64_t poll_interval_us;
};

// The time-out that would have caught a reply `answer_us` after its request:
// half as long again, for the unit's spread, rounded up to 50 ms.
int64_t timeout_to_catch_us(int64_t answer_us);

struct ProtocolStatus {
  uint32_t connected;
  uint64_t accepted;
  uint64_t refused;           // from outside the allowed networks
  uint64_t full;              // turned away because every place was taken
  // Requests by status: for the native protocol the response's status byte;
  // for the Modbus faces index 0 is "ok" and any other index an exception
  // code. A request refused because its peer may not write counts only in
  // write_refused.
  uint64_t requests[kStatusCodes];
  uint64_t write_refused;
  uint64_t evicted = 0;       // silent, closed to make room for a newcomer
  uint64_t incomplete = 0;    // closed: a request not whole within 7 s
};

struct PeerStatus {
  uint8_t protocol;           // kProtocol*
  char address[56];           // "192.0.2.7:50412", "[2001:db8::7]:50412"
  int64_t connected_us;       // how long it has been connected
};

struct StatusSamples;

struct StatusSnapshot {
  // Filled by the server: when the snapshot was taken (realtime clock), and
  // its record of the last ten minutes (nullptr where there is none).
  int64_t taken_unix_us;
  const StatusSamples *samples;

  // The line.
  char device[64];            // "/dev/ttyM1"
  int32_t serial_port;
  int32_t baud;
  int32_t data_bits;
  int32_t stop_bits;
  bool link_up;
  uint64_t link_losses;
  uint64_t line_bytes_tx;
  uint64_t line_bytes_rx;
  uint64_t stale_bytes_dropped;
  uint32_t active_slots;

  // The program.
  char version[32];
  int64_t start_unix_us;

  // The clients.
  AllowList write_allow;      // who may change a unit; no networks: every client
  ProtocolStatus protocols[kProtocolCount];
  uint16_t peer_count;
  PeerStatus peers[kStatusPeers];

  // The faces' reads on the line, by unit, function, address and quantity.
  uint16_t read_count;
  ReadStatus reads[kStatusReads];

  // Units exchanged at least once, by ascending address. Last, so that a
  // reset need not touch the table's pages.
  uint16_t unit_count;
  UnitStatus units[kStatusUnits];
};

// Clears everything but the unit entries, and sets unit_count to 0.
void status_snapshot_reset(StatusSnapshot &s);

// unit_count, at most kStatusUnits.
int listed_units(const StatusSnapshot &s);

// The state a unit is shown in, from its latest exchange: "answering",
// "silent" (no answer) or "errors" (bad CRC, foreign reply).
const char *unit_state(const UnitStatus &u);

// read_count, at most kStatusReads.
int listed_reads(const StatusSnapshot &s);

// ---- Samples: the last ten minutes -----------------------------------------
//
// Once a second the server takes a snapshot and keeps what changed since the
// one before in rings of per-second samples: exchanges by outcome and the
// response-time median, for the line and for each of up to kSampleUnits
// units. The rings are allocated once, with the server.

constexpr int kSampleSeconds = 600;
constexpr int64_t kSampleIntervalUs = 1000000;
// Units with a ring of their own. An RS-485 segment carries 32 standard unit
// loads, so this covers every unit of a line built without repeaters; a line
// with more units polls each so rarely that its own graph says little the
// line's does not. A ring costs 4.9 KB.
constexpr int kSampleUnits = 32;

// One second, packed in one word: the exchanges by outcome, 11 bits each, and
// the response-time median in whole microseconds in the top 20 bits.
using Sample = uint64_t;
// Counts saturate here, twice what a line can do: the worker pauses at
// least 1 ms before every exchange, so there are at most 1000 a second.
constexpr uint32_t kSampleCountMax = 2047;
// The median of a second in which no reply was heard.
constexpr uint32_t kSampleNoMedian = 0xFFFFF;

// The line's ring; the units' are 1…kSampleUnits.
constexpr int kLineRing = 0;
constexpr int kSampleRings = 1 + kSampleUnits;

// The counters a ring takes its differences from.
struct SampleCounters {
  uint64_t exchanges[kOutcomeCount];
  uint64_t buckets[kResponseBuckets + 1];
};

struct SampleRing {
  uint8_t unit;               // whose it is; 0 for the line's, and for a free one
  uint64_t first;             // number of its first sample
  uint32_t quiet_seconds;     // since its unit's last exchange
  SampleCounters last;        // at its latest sample
};

struct StatusSamples {
  uint64_t newest;            // number of the newest sample; 0 before the first
  int64_t due_us;             // monotonic: when the next sample is due
  int64_t newest_unix_us;     // when the newest sample was taken
  SampleRing rings[kSampleRings];
  uint8_t ring_of[kStatusUnits];  // by unit address - 1: its ring, 0 for none
  bool listed[kStatusUnits];  // in the latest snapshot
  uint64_t exchanged[kStatusUnits];  // each unit's exchanges then
  // Sample n of a ring at index n % kSampleSeconds. Last, and apart from the
  // rings' bookkeeping, so that the pages of a ring nobody uses stay
  // untouched.
  Sample seconds[kSampleRings][kSampleSeconds];
};

// One second as read back from a ring.
struct SecondSample {
  uint32_t exchanges[kOutcomeCount];
  int32_t median_us;          // -1 when no reply was heard
};

// The median of a histogram's counts (bucket by bucket, not cumulative):
// interpolated within the bucket that holds it, from 0 in the first; in the
// last, open bucket the highest bound. -1 when the counts are all 0.
int32_t median_of_buckets(const uint64_t *buckets);

// The first snapshot, which the first second is measured from; the first
// sample is due a second after `now_us` (monotonic).
void samples_start(StatusSamples &r, const StatusSnapshot &s, int64_t now_us);

// The samples due at `now_us` from snapshot `s`: one a second since the
// latest. A server that was held up spreads what changed evenly over the
// seconds it missed.
void samples_take(StatusSamples &r, const StatusSnapshot &s, int64_t now_us);

// The ring of `unit` (1…247), or -1 when it has none.
int unit_ring(const StatusSamples &r, uint8_t unit);

// The number of the oldest sample a ring holds; it holds every one from
// there to r.newest. More than r.newest when it holds none yet.
uint64_t oldest_sample(const StatusSamples &r, int ring);

SecondSample read_sample(const StatusSamples &r, int ring, uint64_t n);

// ---- Rendering -------------------------------------------------------------

// A bounded text buffer. When it fills it hands its bytes to a sink (the
// socket, a test's string) and starts again; without a sink, or when the
// sink fails, it stops taking text and failed() says so.
class TextOut {
 public:
  using Sink = bool (*)(void *context, const char *data, size_t length);

  TextOut(char *buffer, size_t capacity, Sink sink = nullptr, void *context = nullptr)
      : buf_(buffer), cap_(capacity), sink_(sink), context_(context) {}

  void put(const char *text);
  void put(const char *text, size_t length);
  void putf(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // A whole number in decimal, written by hand: the samples and the graphs
  // are tens of thousands of small numbers, and a printf for each would cost
  // more than the rest of a rendering.
  void put_uint(uint64_t n);
  // Hands what is buffered to the sink; false when it failed before or now.
  bool flush();

  bool failed() const { return failed_; }
  size_t length() const { return len_; }
  const char *data() const { return buf_; }

 private:
  bool make_room(size_t length);
  char *buf_;
  size_t cap_;
  size_t len_ = 0;
  Sink sink_;
  void *context_;
  bool failed_ = false;
};

void render_metrics(const StatusSnapshot &s, TextOut &out);

// What a rendering of the status document holds: everything (GET /status);
// everything but the samples, a tenth of the size (GET /status?samples=0);
// or what the page's script shows: neither the samples, which the page draws
// instead, nor the response-time buckets, the counts by slot and by
// request status, the raw mode and the start time.
enum class StatusDetail : uint8_t { kFull, kNoSamples, kPage };
void render_status_fields(const StatusSnapshot &s, TextOut &out, StatusDetail detail);
void render_status_json(const StatusSnapshot &s, TextOut &out);
void render_status_without_samples(const StatusSnapshot &s, TextOut &out);
// The page carries the snapshot it was rendered with and the graphs of the
// samples, so it shows the line at once; its script then fetches the page
// again every 2 s and redraws.
void render_page(const StatusSnapshot &s, TextOut &out);
// The graphs of the last ten minutes as inline SVG: the line's two, and two
// for each listed unit, each pair in an element that names its unit.
void render_line_graphs(const StatusSnapshot &s, TextOut &out);
void render_unit_graphs(const StatusSnapshot &s, TextOut &out);
// One line per unit, for a log or a terminal: its state, counts by outcome,
// mean response time and answer age.
void render_unit_summary(const StatusSnapshot &s, TextOut &out);

// ---- Server ----------------------------------------------------------------

constexpr int kStatusConnections = 8;
constexpr int kStatusRequestWaitMs = 5000;  // a whole request head, from accept
constexpr int kStatusSendWaitMs = 5000;     // a whole response
constexpr size_t kStatusOutBytes = 16 * 1024;

// Fills `snapshot` (already reset): the gateway's version copies its counters
// under the engine's locks and nothing more.
using StatusProvider = void (*)(StatusSnapshot &snapshot, void *context);

struct StatusConnection {
  int fd;                     // -1 when free
  int64_t deadline_us;        // monotonic: the head must be in by then
  size_t received;
  uint8_t head[kHttpMaxHeadBytes];
};

// The server's whole state. It holds the snapshot, the samples and the
// output buffer (about 330 KiB), so it belongs in static storage, not on a
// stack.
struct StatusServer {
  int listener = -1;
  int wake[2] = {-1, -1};     // a byte on wake[1] ends the server thread
  pthread_t thread{};
  bool running = false;
  StatusProvider provider = nullptr;
  void *context = nullptr;
  // Who may connect (AdmitPeer); nullptr: everyone. Set before status_start.
  const AllowList *allow = nullptr;
  uint16_t port = 0;          // the port bound
  char error[160] = {};
  StatusConnection connections[kStatusConnections];
  int64_t resting_until_us = 0;  // monotonic: no client is served before
  StatusSnapshot snapshot;
  StatusSamples samples;
  char out[kStatusOutBytes];
};

// Binds the endpoint (port 0: any free port, see server.port) and starts the
// server thread. Returns nullptr, or a message naming the step that failed
// and why; nothing stays open then.
const char *status_start(StatusServer &server, const NetEndpoint &endpoint,
                         StatusProvider provider, void *context);

// Ends the server thread and closes every descriptor it held.
void status_stop(StatusServer &server);
