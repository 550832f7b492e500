// offline: the silence count, the offline state and the back-off of each
// unit.
#include "offline.h"

#include <algorithm>

#include "sleep_us.h"

namespace {

bool in_table(uint8_t unit) { return unit >= 1 && unit <= kUnitCount; }

void set_offline(LineReach &reach, UnitReach &r, const OfflineRules &rules, uint8_t unit, int64_t now_us) {
  r.offline = true;
  r.offline_since_us = now_us;
  r.retry_us = rules.retry_us;
  r.next_try_us = now_us + rules.retry_us;
  ++r.went_offline;
  reach.offline[unit - 1].store(true, std::memory_order_release);
}

void set_answering(LineReach &reach, UnitReach &r, uint8_t unit) {
  r.offline = false;
  r.retry_us = 0;
  r.next_try_us = 0;
  reach.offline[unit - 1].store(false, std::memory_order_release);
}

// A try that found the unit still not answering: the next one waits twice
// as long, up to the cap. Exchanges that were never held back (a write, a
// slot on its schedule) and come before the try is due leave the schedule
// as it is: they are no tries of the back-off.
void back_off(UnitReach &r, const OfflineRules &rules, int64_t now_us) {
  if (now_us < r.next_try_us) return;
  const uint64_t longest = static_cast<uint64_t>(rules.retry_us) * kRetryGrowthCap;
  r.retry_us = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(r.retry_us) * 2, longest));
  r.next_try_us = now_us + r.retry_us;
}

}  // namespace

void offline_note(LineReach &reach, const OfflineRules &rules, uint8_t unit, uint8_t outcome, int64_t now_us) {
  if (!in_table(unit)) return;
  UnitReach &r = reach.units[unit - 1];
  if (outcome == kOutcomeNoAnswer) {
    if (r.silent_in_row < UINT32_MAX) ++r.silent_in_row;
  } else {
    r.silent_in_row = 0;
  }
  if (r.offline) {
    // Only an answer to the request itself brings the unit back: bytes that
    // do not answer it may be another unit's.
    if (outcome == kOutcomeValid)
      set_answering(reach, r, unit);
    else
      back_off(r, rules, now_us);
  } else if (rules.after != 0 && r.silent_in_row >= rules.after) {
    set_offline(reach, r, rules, unit, now_us);
  }
}

bool offline_due(const LineReach &reach, uint8_t unit) {
  if (!in_table(unit)) return true;
  const UnitReach &r = reach.units[unit - 1];
  return !r.offline || monotonic_us() >= r.next_try_us;
}

int64_t offline_next_try(const LineReach &reach, uint8_t unit) {
  return in_table(unit) ? reach.units[unit - 1].next_try_us : 0;
}

bool offline_now(const LineReach &reach, uint8_t unit) {
  return in_table(unit) && reach.offline[unit - 1].load(std::memory_order_acquire);
}
