// offline: units that do not answer are set aside, so that one switched-off
// unit does not cost the line its whole time-out on every turn.
//
// Every exchange of a unit is noted: native slots, a face's reads, writes
// and passed-through functions. After `after` exchanges in a row that heard
// no byte at all, the unit is offline (a bad CRC or a foreign frame is not
// silence: something is there). While it is, the worker tries its held-back
// exchanges (a face's reads, and the table's repeating slots when `native`
// is set) at most once per retry interval, which doubles after each failed
// try up to kRetryGrowthCap times the setting; the first valid answer of any
// exchange makes it answering again at once. Exchanges a client waits for
// once (writes, passed-through functions, a slot until answered) are never
// held back.
//
// The state is the line's, guarded by its lock like the counters beside it;
// whether a unit is offline is also kept in an atomic flag, so a face can
// answer at once without waiting for the lock an exchange holds.
#pragma once

#include <atomic>
#include <cstdint>

#include "counters.h"

// The longest retry interval, in multiples of the first.
constexpr uint32_t kRetryGrowthCap = 32;

constexpr uint32_t kOfflineDefaultAfter = 3;
constexpr uint32_t kOfflineDefaultRetryUs = 1000000;

// The rules, from the environment; the defaults leave the table's slots on
// their schedule.
struct OfflineRules {
  uint32_t after = kOfflineDefaultAfter;        // silent exchanges in a row; 0: never offline
  uint32_t retry_us = kOfflineDefaultRetryUs;   // the first retry interval
  bool native = false;                          // the table's repeating slots are held back too
};

struct UnitReach {
  uint32_t silent_in_row;    // exchanges in a row that heard no byte
  bool offline;
  int64_t offline_since_us;  // monotonic
  uint32_t retry_us;         // the interval now
  int64_t next_try_us;       // monotonic: the next held-back exchange may go then
  uint64_t went_offline;     // times the unit was set aside
};

struct LineReach {
  UnitReach units[kUnitCount];
  std::atomic<bool> offline[kUnitCount];  // mirrors units[].offline, read without the lock
};

// With the line's lock held: what an exchange of `unit` (1 to 247) came to
// (kOutcome*), at `now_us`. Not for an exchange that never left: a line that
// is lost says nothing of its units.
void offline_note(LineReach &reach, const OfflineRules &rules, uint8_t unit, uint8_t outcome, int64_t now_us);

// With the line's lock held: whether a held-back exchange of `unit` may go
// now: always for a unit that answers (without looking at the clock), once
// its retry is due for an offline one.
bool offline_due(const LineReach &reach, uint8_t unit);

// When the held-back exchanges of an offline `unit` may go next (monotonic).
int64_t offline_next_try(const LineReach &reach, uint8_t unit);

// Without any lock: whether `unit` is offline now.
bool offline_now(const LineReach &reach, uint8_t unit);
