// worker: the walk over the table, the pauses around each exchange, the rest
// of an idle worker and the turns of the registered work source.
#include "worker.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exchange.h"
#include "sleep_us.h"

namespace {

constexpr uint32_t kMinimumPauseUs = 1000;
// A delay beyond this would hold every slot of every unit for as long; 10 s
// is beyond any unit's need to rest between two requests.
constexpr uint32_t kPauseCapUs = 10000000;
// Pauses up to this are slept; longer ones end early on a rewrite.
constexpr uint32_t kWakeablePauseUs = 5000;

uint32_t silence_pause_us(const ModbusRTUSettings &rtu) {
  return rtu.time_silence > 0 ? static_cast<uint32_t>(rtu.time_silence) : kMinimumPauseUs;
}

// The pause before an exchange of `s`: its delay, 1 ms when that is 0, and
// never more than kPauseCapUs, so that no request stops the line for long.
uint32_t pause_before_us(const ExchangeSlot &s) {
  uint32_t delay = static_cast<uint32_t>(s.delay);
  if (delay == 0) return kMinimumPauseUs;
  return delay < kPauseCapUs ? delay : kPauseCapUs;
}

// With the lock held, and held again on return: the pause before an exchange
// of `s`, with the lock free and the link looked after. A client may rewrite
// the slot during it; the exchange then uses what the slot holds when the
// lock is back. A long pause waits for the intake's signal rather than
// sleeping, and counts against the slot's delay as it is now: a rewrite with
// a shorter delay ends it at once, as does a stop. A short one is a plain
// sleep, as precise and without wake-ups.
void pause_before_exchange(SerialLine &line, Locked &table, const ExchangeSlot &s) {
  const int64_t start = monotonic_us();
  const uint32_t pause_us = pause_before_us(s);  // read while the slot is ours
  {
    Unlocked clients_in(table);
    reopen_line_if_due(line);
    if (pause_us <= kWakeablePauseUs) {
      sleep_until_us(start + pause_us);
      return;
    }
  }
  for (;;) {
    int64_t end = start + pause_before_us(s);
    if (monotonic_us() >= end || line.stopping) return;
    table.wait_until(line.changed.signal, timespec_from_us(end));
  }
}

// Marks an idle slot the walk passes over unanswered, unless it keeps the
// answer to a write for its client; notes whether that changed the slot.
void mark_idle_slot(SerialWorker &w, ExchangeSlot &s) {
  if (s.answerKept) return;
  if ((s.result & kResultNoAnswer) == 0) w.walk_unchanged = false;
  s.result |= kResultNoAnswer;
}

// The slots of `rec` the walk has to look at again: active ones, and idle
// ones that read neither "no answer" nor a kept answer.
uint8_t slots_to_visit(const DeviceRecord &rec) {
  uint8_t bits = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    const ExchangeSlot &s = rec.slots[i];
    bool settled = s.answerKept || (s.result & kResultNoAnswer) != 0;
    if (s.mode != kModeIdle || !settled) bits = static_cast<uint8_t>(bits | 1u << i);
  }
  return bits;
}

// ---- The work source's exchanges ------------------------------------------

// The source's turn in a record's rotation, after the table's five slots.
constexpr uint8_t kExtraTurn = kSlotCount;

// One exchange the source asked for, on the worker's own slot: the same
// pause (its 1000 µs minimum), the same reply rules and counts as a slot of
// the table. It goes back as answered only when the reply answered this
// very request. The pause lets go of the lock, and a face that stops
// meanwhile takes its source away: the exchange is then dropped, neither
// sent nor delivered, since nothing may call into a source once it is gone.
void exchange_extra(SerialLine &line, Locked &table, const WorkExchange &x) {
  const uint32_t registration = line.extra_registration;
  ExchangeSlot &s = line.worker.extra_slot;
  memcpy(s.txFrame, x.frame, x.length);
  s.txLength = x.length;
  const uint32_t symbols = MRTU_FirstByteSymbols(x.wait_us, line.settings.time_one_sym);
  s.timeoutSymbols = static_cast<uint8_t>(std::min<uint32_t>(symbols, kMaxTimeoutSymbols));
  s.firstByteSymbols = symbols;
  s.mode = kModeIdle;  // exchanged once; the source decides whether it comes again
  s.delay = 0;
  s.lifetime = 0;
  pause_before_exchange(line, table, s);
  if (line.extra_registration != registration) return;
  const bool answered = exchange_slot(line, s) == kResultValid;
  const WorkOutcome outcome = {s.rxFrame, answered ? s.rxLength : 0, answered, s.counts.last_outcome,
                               monotonic_us()};
  line.extra.deliver(line.extra.context, x, outcome);
}

bool exchange_urgent(SerialLine &line, Locked &table) {
  WorkExchange x;
  if (!line.extra_on || !line.extra.take_urgent(line.extra.context, x)) return false;
  exchange_extra(line, table, x);
  return true;
}

// ---- Units set aside ---------------------------------------------------------

// Whether the back-off of an offline `unit` holds its turn back now; a turn
// held back notes when the retry is due, which an idle worker rests until.
bool held_back(SerialLine &line, uint8_t unit) {
  if (offline_due(line.reach, unit)) return false;
  const int64_t due = offline_next_try(line.reach, unit);
  SerialWorker &w = line.worker;
  if (w.held_until_us == 0 || due < w.held_until_us) w.held_until_us = due;
  return true;
}

// Whether the table's slot `s` of `unit` waits for its unit's retry: only
// with the rules' `native`, and never a slot until answered, which, like a
// face's write, is a request its client waits for once.
bool slot_held_back(SerialLine &line, const ExchangeSlot &s, uint8_t unit) {
  return line.options.offline.native && s.mode != kModeUntilAnswered && held_back(line, unit);
}

// A held-back turn of slot `s`: it reads "no answer" and pays its lifetime
// as such an exchange would; the cycle changed when the slot did.
void pass_held_slot(SerialLine &line, ExchangeSlot &s) {
  const uint8_t result = s.result, mode = s.mode;
  hold_back_slot(line, s);
  if (s.result != result || s.mode != mode) line.worker.walk_unchanged = false;
}

bool exchange_cyclic(SerialLine &line, Locked &table, uint8_t unit) {
  WorkExchange x;
  if (held_back(line, unit) || !line.extra.take_cyclic(line.extra.context, unit, x)) return false;
  exchange_extra(line, table, x);
  return true;
}

// ---- The walk ----------------------------------------------------------------

// Looks at the turns of `rec` (unit `unit`) from its currentSlot on, the
// five slots and with a source registered its turn, marking idle slots, and
// exchanges the first active one. True when it made an exchange.
bool scan_slots(SerialLine &line, Locked &table, DeviceRecord &rec, uint8_t unit) {
  const int turns = line.extra_on ? kSlotCount + 1 : kSlotCount;
  for (int seen = 0; seen < turns; ++seen) {
    if (rec.currentSlot >= turns) rec.currentSlot = 0;
    if (rec.currentSlot == kExtraTurn) {
      ++rec.currentSlot;
      if (exchange_cyclic(line, table, unit)) return true;
      continue;
    }
    ExchangeSlot &s = rec.slots[rec.currentSlot];
    if (s.mode == kModeIdle) {
      mark_idle_slot(line.worker, s);
      ++rec.currentSlot;
      continue;
    }
    if (slot_held_back(line, s, unit)) {
      pass_held_slot(line, s);
      ++rec.currentSlot;
      continue;
    }
    pause_before_exchange(line, table, s);
    // The slot is not looked at again: a client that idled it during the
    // pause still gets this one exchange.
    exchange_slot(line, rec.slots[rec.currentSlot % kSlotCount]);
    ++rec.currentSlot;
    return true;
  }
  return false;
}

// Record `index` as the walk sees it: its slots only when one of them is
// pending, so the pages of idle records stay untouched; a record without one
// still gives the source its turn for that unit.
bool scan_record(SerialLine &line, Locked &table, int index) {
  const uint8_t unit = static_cast<uint8_t>(index + 1);
  uint8_t &pending = line.changed.pending[index];
  if (pending == 0) return line.extra_on && exchange_cyclic(line, table, unit);
  DeviceRecord &rec = line.table[index];
  bool exchanged = scan_slots(line, table, rec, unit);
  pending = slots_to_visit(rec);
  return exchanged;
}

// With the lock held: visits records until one makes an exchange; a cycle
// without one is followed by the rest and the silence pause (lock let go).
// False when the line was stopped meanwhile.
bool walk_to_next_exchange(SerialLine &line, Locked &table) {
  for (Visit v = visit_record(line, table); v != Visit::kExchanged; v = visit_record(line, table)) {
    if (v != Visit::kIdleCycle) continue;
    rest_when_idle(line, table);
    if (line.stopping) return false;
    Unlocked clients_in(table);
    reopen_line_if_due(line);
    sleep_us(silence_pause_us(line.settings));
  }
  return true;
}

// The worker's last act: whoever waits in line_join learns that it is done.
void note_worker_end(SerialLine &line) {
  Locked table(line.mutex);
  line.worker_running = false;
  pthread_cond_broadcast(&line.changed.signal);
}

}  // namespace

void Loop_Exchange() {
  SerialLine &line = SerialProcessLine;
  DeviceRecord &rec = line.table[CountDev];
  exchange_slot(line, rec.slots[rec.currentSlot % kSlotCount]);
  line.changed.pending[CountDev] = slots_to_visit(rec);
}

Visit visit_record(SerialLine &line, Locked &table) {
  SerialWorker &w = line.worker;
  // A client waits for its write: it goes ahead of the cyclic exchanges, but
  // never twice in a row while cyclic work waits, so a flood of writes
  // leaves the reads at least every other exchange.
  if (w.cyclic_owed == 0 && exchange_urgent(line, table)) {
    w.walk_exchanged = true;
    w.cyclic_owed = kUnitCount;
    return Visit::kExchanged;
  }
  if (w.position >= kUnitCount) {
    w.position = 0;
    if (!w.walk_exchanged) return Visit::kIdleCycle;
    w.walk_exchanged = false;
    w.walk_unchanged = false;
    w.held_until_us = 0;
  }
  bool exchanged = scan_record(line, table, w.position);
  ++w.position;
  // A whole round of visits without a cyclic exchange: none waits.
  if (w.cyclic_owed > 0) --w.cyclic_owed;
  if (!exchanged) return Visit::kPassed;
  w.walk_exchanged = true;
  w.cyclic_owed = 0;
  return Visit::kExchanged;
}

// An idle walk only sets bit 0 of idle slots, so once a walk has found that
// bit set everywhere, the next one changes nothing until a request is stored.
// The intake counts the requests it stores and signals them; the worker rests
// until then instead of repeating such walks every silence time, which would
// wake it thousands of times a second on a fast line for nothing.
void rest_when_idle(SerialLine &line, Locked &table) {
  SerialWorker &w = line.worker;
  TableChanges &changed = line.changed;
  // Nothing but a stored request (or the source's new work) gives an idle
  // table work, a lost line its next try and a unit set aside its retry: no
  // other timer wakes the worker in between. While the source has work, the
  // walk goes on, unless all of it waits for a retry (a cycle that held a
  // turn back and exchanged nothing had nothing else to do).
  const bool source_busy = line.extra_on && line.extra.has_work(line.extra.context);
  if (w.walk_unchanged && w.walk_generation == changed.count && (!source_busy || w.held_until_us != 0)) {
    int64_t until = w.held_until_us;
    if (w.link.lost && (until == 0 || w.link.next_try_us < until)) until = w.link.next_try_us;
    while (changed.count == w.walk_generation && !line.stopping) {
      if (until == 0) {
        table.wait(changed.signal);
      } else if (monotonic_us() >= until || table.wait_until(changed.signal, timespec_from_us(until)) == ETIMEDOUT) {
        break;
      }
    }
  }
  w.walk_unchanged = true;
  w.walk_generation = changed.count;
  w.held_until_us = 0;
}

void *SerialServer(void *arg) {
  // The line schedule is made of sleeps of a few hundred microseconds: the
  // default 50 µs timer slack would stretch every one of them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  SerialLine &line = arg != nullptr ? *static_cast<SerialLine *>(arg) : SerialProcessLine;
  while (line.work.load(std::memory_order_relaxed) != 0) {
    int64_t closing_ends;
    {
      Locked table(line.mutex);
      if (!walk_to_next_exchange(line, table)) break;
      // The closing pause, the clients' window after every exchange, counts
      // from the exchange's end.
      closing_ends = monotonic_us() + silence_pause_us(line.settings);
    }
    reopen_line_if_due(line);
    sleep_until_us(closing_ends);
  }
  note_worker_end(line);
  return nullptr;
}
