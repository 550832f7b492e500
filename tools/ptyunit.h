// The units' end of a Modbus RTU line on a pseudo-terminal: how units hear
// what a master sends and how their answers go out, faults included.
// velkord-sim serves its simulated units through it, and the tests drive the
// gateway's serial side with it; the gateway itself never links it.
//
// Framing of what the master sends: bytes are gathered into a frame until the
// line has been silent for the silence time, or at once when the bytes
// gathered so far form a complete request of a known shape ending in a
// correct CRC: a fixed length (functions 1 to 8, 11, 12, 17, 22, 24 and
// 43/14), or one a byte count gives (15, 16, 20, 21, 23). So a unit answers a
// well-formed request without waiting out the silence, the way a fast unit
// would, while junk, partial frames and requests of other shapes are still
// handed over as whatever arrived between silences.
//
// The CRC here is computed bit by bit, apart from the gateway's table-driven
// one, so that whoever checks the gateway with it checks it rather than
// shares its mistakes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ptyunit {

constexpr uint16_t kCrcStart = 0xFFFF;
// Shortest frame a unit answers: unit, function and the CRC.
constexpr size_t kMinAnswerable = 4;

// CRC-16/MODBUS: reflected polynomial 0xA001, no final xor, started from
// `start` (kCrcStart on the line; from 0, one byte b gives the entry for b of
// a table-driven implementation). On the line its low byte goes first.
uint16_t crc16(const uint8_t *data, size_t length, uint16_t start = kCrcStart);
uint16_t crc16(const std::vector<uint8_t> &bytes);
// `bytes` followed by their CRC, low byte then high byte.
std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes);
// True when `bytes` is at least 2 long and ends with the CRC of the rest
// (so exactly FF FF passes: the CRC of nothing is 0xFFFF).
bool crc_ok(const std::vector<uint8_t> &bytes);

// Length with CRC of the request that `bytes` starts with, when its function
// has a known request shape and enough of it is in to tell; else 0 (then only
// a silence on the line ends the frame). Function 8 counts as one data word.
size_t request_length(const std::vector<uint8_t> &bytes);

// A reply (no CRC) changed the ways a faulty line or unit changes one: the
// next unit address (247 wraps to 1), the neighbouring function of the same
// layout (1/2, 3/4, 5/6, 15/16; an exception keeps its bit 7), one byte
// short.
std::vector<uint8_t> misshape(std::vector<uint8_t> reply, bool wrong_unit, bool wrong_function, bool short_answer);

// Deterministic junk of n bytes that never ends in a valid CRC.
std::vector<uint8_t> garbage(size_t n);

// Microseconds one 11-bit character (start, 8 data, parity or second stop,
// stop) takes at `baud`, rounded up.
int64_t char_time_us(int baud);

// Microseconds on the monotonic clock; the stamps of frames use it.
int64_t now_us();

// One burst of bytes on the line, stamped with now_us() when its first and
// its last byte were read (received frames) or written (sent replies).
struct Frame {
  std::vector<uint8_t> bytes;
  int64_t first_us = 0;
  int64_t last_us = 0;

  bool crc_ok() const { return ptyunit::crc_ok(bytes); }
  uint8_t unit() const { return bytes.empty() ? 0 : bytes[0]; }
  uint8_t function() const { return bytes.size() < 2 ? 0 : bytes[1]; }
};

// How one answer goes out, and what goes wrong with it. Fields combine, e.g.
// a late answer in pieces: delay_us = 20000, piece = 2, gap_us = 5000.
// Pieces, pacing and delays are minimums: a loaded machine may stretch them,
// never shorten them.
struct Shape {
  bool silent = false;          // never answer
  bool wrong_unit = false;      // see misshape(); the CRC fits the changed reply
  bool wrong_function = false;
  bool short_answer = false;
  bool wrong_crc = false;       // both CRC bytes inverted
  int64_t delay_us = 0;         // start this long after the request's last byte
  size_t piece = 0;             // > 0: send in pieces of this many bytes ...
  size_t first_piece = 0;       // > 0: ... but the first of this many (the rest
                                // whole when piece is 0) ...
  int64_t gap_us = 0;           // ... with at least this much silence between
  int pace_baud = 0;            // > 0: one byte per character time at this speed:
                                // byte k no sooner than k character times
                                // after the first, catching up when late
  size_t flood = 0;             // > 0: this many garbage bytes instead
  std::optional<std::vector<uint8_t>> raw;  // set: exactly these bytes instead
};

// The reply payload (unit, function, data; no CRC) to a request; empty: none.
using PayloadFn = std::function<std::vector<uint8_t>()>;

// The bytes that go on the line when a unit answers as `shape` says: raw or
// flood bytes as they are (the payload is not asked for), else the payload,
// misshaped, under its CRC. Empty when there is nothing to send.
std::vector<uint8_t> answer_bytes(const Shape &shape, const PayloadFn &payload);

// The units' end of one line. Each step writes what is due, ends a frame on
// silence, and waits for bytes, room or a deadline; one thread runs the
// steps, so reading goes on while a slow reply is out. Replies go out one
// after another, never interleaved.
class Line {
 public:
  // Handed every received frame, on the stepping thread; it may answer.
  using FrameHandler = std::function<void(const Frame &, Line &)>;
  // Told when a reply is out (error 0) or dropped because the write failed
  // (its errno), with the note it was queued with.
  using SentHandler = std::function<void(const std::vector<uint8_t> &bytes, const std::string &note, int error)>;

  static constexpr int64_t kNoLimit = INT64_MAX;
  static constexpr int64_t kDefaultSilenceUs = 3000;

  // Makes `fd` (a pty master) non-blocking, so a full pty buffer can never
  // wedge the stepping thread; the flags are restored on destruction.
  Line(int fd, FrameHandler on_frame, SentHandler on_sent = nullptr);
  ~Line();
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  // Silence that ends a frame which is not a complete known request.
  void set_silence_us(int64_t us) { silence_us_ = us; }
  // Before the first step: a frame growing past n bytes is handed over at
  // once (0: no limit).
  void set_max_frame_bytes(size_t n) { max_frame_bytes_ = n; }
  // Before the first step: keep a record of the replies written, for sent().
  void keep_sent() { keep_sent_ = true; }

  // One round. Waits at most max_wait_us (kNoLimit: until something is due),
  // with the signal mask `mask` during the wait when given.
  void step(int64_t max_wait_us, const sigset_t *mask = nullptr);

  // For the frame handler: answers `request` as `shape` says.
  void answer(const Frame &request, const Shape &shape, const PayloadFn &payload, std::string note = {});
  // For the frame handler: queues bytes whose first piece goes out at
  // start_us (or when the reply before it is done), each further piece at
  // least gap_us after the previous one was written.
  void send(std::vector<uint8_t> bytes, int64_t start_us, size_t piece, int64_t gap_us, size_t first_piece = 0,
            std::string note = {});
  // On the stepping thread: the replies queued by answer() for requests to
  // `unit` go no further, as when a unit is switched off: one partly written
  // stops where it is. Each is told to the sent handler with ECANCELED.
  void drop_replies(uint8_t unit);

  // Replies as written so far, one Frame each (with keep_sent). A reply's
  // record is updated under the same lock as its write, so whoever has seen
  // the bytes on the other end also sees them here.
  std::vector<Frame> sent() const;
  void clear_sent();

 private:
  // Replies queued by send() answer no unit's request.
  static constexpr uint8_t kNoUnit = 0;

  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    size_t piece_end = 0;  // end of the piece being written
    size_t piece = 0;
    size_t first_piece = 0;
    int64_t gap_us = 0;
    int64_t pace_us = 0;   // > 0: byte k due k times this after the first
    int64_t start_us = 0;  // when the first byte went out
    int64_t due_us = 0;
    std::string note;
    uint8_t unit = kNoUnit;  // the unit whose request this answers
    bool recorded = false;
    size_t record = 0;  // number of this reply in sent_count_ terms

    size_t next_piece_end(int64_t now) const;
  };

  void enqueue(Outgoing o);
  ssize_t receive();
  void split_complete_requests();
  void emit(const std::vector<uint8_t> &bytes, int64_t first_us, int64_t last_us);
  bool write_due(int64_t now);
  void finish_front(int error);
  void record_locked(Outgoing &o, size_t n, int64_t t);

  int fd_;
  int saved_flags_ = 0;
  FrameHandler on_frame_;
  SentHandler on_sent_;
  std::atomic<int64_t> silence_us_{kDefaultSilenceUs};
  size_t max_frame_bytes_ = 0;
  bool keep_sent_ = false;

  // Stepping thread only.
  std::vector<uint8_t> rx_;
  int64_t rx_first_us_ = 0, rx_last_us_ = 0;
  std::deque<Outgoing> out_;

  mutable std::mutex sent_mutex_;
  std::vector<Frame> sent_;
  size_t sent_count_ = 0;  // replies ever started
  size_t sent_base_ = 0;   // sent_count_ at the last clear
};

}  // namespace ptyunit
