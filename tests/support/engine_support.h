// Driving the Modbus RTU engine in-process: client commands into the intake,
// consistent copies of the slot table, the settings of a pty line, and the
// measurements the worker tests make on what a unit saw. Each call names
// the SerialLine it works on: a test's own, or the process's.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "modbusRTU.h"
#include "worker.h"
#include "support/pty.h"
#include "support/unit.h"

namespace vt {

using Bytes = std::vector<uint8_t>;
using Message = std::array<uint8_t, 1024>;

// What a client handler hands to the intake for one request.
struct Command {
  Bytes frame;  // Modbus request without CRC
  uint8_t slot = 0;
  uint8_t mode = 1;
  int32_t timeout = 0;    // µs
  uint32_t lifetime = 0;  // µs
  uint32_t delay = 0;     // µs
  bool may_write = true;  // the client is in the write allow-list
};

struct CommandOutcome {
  int result = 0;
  Message response{};  // cleared before the call, as the handler clears it
  int64_t took_us = 0;
};

// The request message of `cmd`: header fields at their offsets, the frame
// from byte 32, zeros after it (the handler clears its buffer before a read).
Message request_message(const Command &cmd);

// A line of the test's own, as the process's is at its start (on the heap:
// the table is large).
std::unique_ptr<SerialLine> fresh_line();

// Files the request message of `cmd` with a cleared response on `line`, as
// a native handler does (MRTU_CMD on the process's line).
CommandOutcome run_command(SerialLine &line, const Command &cmd);

// Copies taken under the line's lock, so the worker is never caught half-way.
ExchangeSlot slot_copy(SerialLine &line, uint8_t unit, int slot);
std::vector<DeviceRecord> table_copy(SerialLine &line);

// The first `n` bytes of a frame buffer.
Bytes head(const uint8_t *frame, size_t n);

// Points the settings of `line` at the pseudo-terminal `pty`, 8N1 at `baud`,
// and derives the character time, so slots armed before the line opens
// convert their time-outs as they would after it. Also exports the
// pseudo-terminal's device-node pattern.
void configure_line(SerialLine &line, const PtyPair &pty, int baud);

// Configures `line` as configure_line does and opens it with open_line, with
// the table's lock and signal set up but no worker thread: the tests step
// its worker themselves. False when the line does not open.
bool open_stepped_line(SerialLine &line, const PtyPair &pty, int baud);

// Stops the worker thread of `line` and waits until it has ended.
void stop_worker(SerialLine &line);

// One record visit of the line's worker under the line's lock.
Visit step(SerialLine &line);

// Which slot a visit exchanged.
struct Exchanged {
  int unit = 0;  // 0: none within the visits allowed
  int slot = -1;
};

// Visits records of the line's worker until one exchanges a slot, at most
// two whole walks (an idle cycle's rest is skipped: the walk goes on at once).
Exchanged exchange_next(SerialLine &line);

// `n` character times of the configured line, in µs: a time-out that the
// intake turns into exactly n.
int32_t char_times_us(const SerialLine &line, int n);

// Polls `done` about every millisecond until it holds or timeout_ms (stretched
// by the slowdown factor) has passed; returns its last value.
bool wait_until(const std::function<bool()> &done, int timeout_ms);

// The frames a unit received that carry unit address `unit` and a good CRC.
std::vector<Frame> frames_of(const std::vector<Frame> &frames, uint8_t unit);

// Mean distance between the frames a unit read at distinct times. A unit
// kept off the processor reads the frames sent meanwhile in one go, with one
// time stamp; counting them once keeps such a stall from passing for frames
// sent close together. (Each read time after the first is no earlier than
// the sending of a frame sent after the previous read, so over k read times
// the mean is at least (k - 2) / (k - 1) of the least true spacing.)
double mean_spacing_us(const std::vector<Frame> &frames);
// Number of distinct read times among `frames`.
size_t distinct_reads(const std::vector<Frame> &frames);

// Number of threads of this process.
int thread_count();

// Redirects standard output into a file until text() is called, which
// flushes, restores the old output and returns what was written meanwhile.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture &) = delete;
  StdoutCapture &operator=(const StdoutCapture &) = delete;
  std::string text();

 private:
  int saved_ = -1;
  int file_ = -1;
  std::string text_;
};

}  // namespace vt
