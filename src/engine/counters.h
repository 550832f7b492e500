// counters: what the line's exchanges came to, counted where they happen.
// The outcome of each exchange, the response-time histogram of each unit,
// and the counts of the line, its units and its slots. The engine owns
// them; whoever reports them copies them out under the line's lock.
#pragma once

#include <cstdint>

#include "frame.h"

// A record of the table for each unit address (the record of unit u is u - 1).
constexpr int kUnitCount = kLastUnit;

// Outcome of one exchange on the line.
constexpr uint8_t kOutcomeValid = 0;
constexpr uint8_t kOutcomeNoAnswer = 1;  // no first byte within the slot's time-out
constexpr uint8_t kOutcomeBadCrc = 2;
constexpr uint8_t kOutcomeMismatch = 3;  // a sound frame that answers another request
constexpr int kOutcomeCount = 4;
constexpr uint8_t kOutcomeNone = 0xFF;   // not exchanged yet

// Upper bounds of the response-time buckets, µs: from a few characters at
// 921600 bit/s (a character is 11.9 µs) to the slowest unit at 9600 bit/s
// (1.15 ms a character) that still answers within a second.
constexpr int kResponseBuckets = 12;
constexpr uint32_t kResponseBucketUs[kResponseBuckets] = {
    250, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000};

// Response times: counts per bucket (not cumulative), the last one for
// anything above the last bound, and their sum.
struct ResponseHistogram {
  uint64_t buckets[kResponseBuckets + 1];
  uint64_t count;
  uint64_t sum_us;
};

// Counts one response time: the exchange calls this where it stamps the
// reply's first byte.
void histogram_add(ResponseHistogram &h, uint32_t response_us);

// What the worker's exchanges of one slot came to, for diagnostics. Updated
// under SerialMutex; 32 bits that wrap, so a reader takes differences modulo
// 2^32 (a slot exchanged every millisecond wraps after 49 days).
struct SlotCounts {
  uint32_t valid;           // exchanges that got this request's answer
  uint32_t no_answer;       // exchanges that received nothing at all
  uint32_t bad_crc;         // ended on bytes whose CRC failed
  uint32_t mismatch;        // ended on a frame with a good CRC that does not answer the request
  uint32_t frames_dropped;  // frames that did not answer the request, dropped while the wait went on
  uint32_t stale_bytes;     // late bytes discarded before a send
  int64_t last_valid_us;    // monotonic time of the last valid answer; 0: none yet
  uint8_t last_outcome;     // kOutcome* of the latest exchange, once there was one
  uint32_t echo_faults;     // echo on: the request did not come back whole and unchanged
};

// What the line and each unit came to, for whoever reports it. Kept beside
// the table and guarded by its lock: the exchange updates them where it
// already holds the lock, and a reader copies them out under the lock.
struct UnitCounters {
  uint64_t exchanges[kOutcomeCount];  // by kOutcome*
  ResponseHistogram response;         // end of the request on the line to the reply's first byte
  int64_t last_valid_us;              // monotonic; 0: never answered
  uint8_t last_outcome;               // kOutcome* of the unit's latest exchange
  uint64_t late_replies;              // answers that came after their wait had closed
  int64_t late_answer_us;             // the latest one's answer time; 0: none yet
};

// Bits of LineCounters::unit_seen.
constexpr uint8_t kUnitRequested = 1;  // a request was stored in one of its slots
constexpr uint8_t kUnitExchanged = 2;  // the worker exchanged it at least once

struct LineCounters {
  uint64_t bytes_tx;
  uint64_t bytes_rx;                  // stale bytes included
  uint64_t link_losses;
  uint8_t unit_seen[kUnitCount];      // kUnit* bits: which records a reader looks at
  UnitCounters units[kUnitCount];
};
