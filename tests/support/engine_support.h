// Driving the Modbus RTU engine in-process: client commands into the intake,
// consistent copies of the slot table, the settings of a pty line, and the
// measurements the worker tests make on what a unit saw.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "modbusRTU.h"
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
};

struct CommandOutcome {
  int result = 0;
  Message response{};  // cleared before the call, as the handler clears it
  int64_t took_us = 0;
};

// The request message of `cmd`: header fields at their offsets, the frame
// from byte 32, zeros after it (the handler clears its buffer before a read).
Message request_message(const Command &cmd);

// Calls MRTU_CMD with the request message of `cmd` and a cleared response.
CommandOutcome run_command(const Command &cmd);

// Copies taken under SerialMutex, so the worker is never caught half-way.
ExchangeSlot slot_copy(uint8_t unit, int slot);
std::vector<DeviceRecord> table_copy();

// The first `n` bytes of a frame buffer.
Bytes head(const uint8_t *frame, size_t n);

// Points ModbusRTU at `line`, 8N1 at `baud`, and derives the character time,
// so slots armed before OpenSerial convert their time-outs as they would
// after it. Also exports the line's device-node pattern.
void configure_line(const PtyPair &line, int baud);

// Configures `line` as configure_line does and opens it with open_line, with
// the table's lock and signal set up but no worker thread: the tests step a
// SerialWorker of their own. False when the line does not open.
bool open_stepped_line(const PtyPair &line, int baud);

// Empties every slot of the table and has the next walk look at each of
// them, as if a request had come for every one (the table's pending bits).
void clear_table();

// Ends the worker thread OpenSerial started: clears SerialWork, wakes the
// worker should it rest on an idle table, where nothing else would, and
// waits (at most 12 s) until it has ended.
void stop_worker();

// One record visit of `w` under SerialMutex.
Visit step(SerialWorker &w);

// Which slot a visit exchanged.
struct Exchanged {
  int unit = 0;  // 0: none within the visits allowed
  int slot = -1;
};

// Visits records of `w` until one exchanges a slot, at most two whole walks
// (an idle cycle's rest is skipped: the walk goes on at once).
Exchanged exchange_next(SerialWorker &w);

// `n` character times of the configured line, in µs: a time-out that the
// intake turns into exactly n.
int32_t char_times_us(int n);

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
