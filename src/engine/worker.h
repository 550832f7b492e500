// worker: the serial polling worker. It walks the line's table record by
// record and exchanges each record's next active slot, gives a registered
// work source its urgent exchanges first and a turn for each unit after the
// five slots, rests while nothing is to be done and pauses between
// exchanges, which is when clients get the lock. Its steps work on any
// SerialLine; SerialServer runs them in a thread for as long as the line's
// run flag is set.
#pragma once

#include "locked.h"
#include "modbusRTU.h"

// What one record visit came to.
enum class Visit {
  kExchanged,  // a slot of the record was exchanged; the closing pause is due
  kPassed,     // every slot seen was idle; the next record follows at once
  kIdleCycle,  // the walk came round without an exchange; rest_when_idle is due
};

// With the line's lock held (`table`): with a work source registered, first
// exchanges its oldest urgent exchange if there is one (the position
// stays). Else visits record worker.position (its slots only when one of
// them is pending): marks idle slots unanswered and exchanges the first
// active one (or, in the source's turn, the source's next cyclic exchange
// of that unit) after its pause (the lock is let go during the pause).
// Wraps the position past the last record; a whole cycle without an
// exchange returns kIdleCycle with the position back at 0 and the record
// not yet visited.
Visit visit_record(SerialLine &line, Locked &table);

// With the line's lock held: the rest after a cycle without an exchange.
// When that cycle changed nothing, no request came and the source has
// nothing waiting, waits (lock let go) until a request is stored or the
// line is stopped, or while the line is lost until its reopen is due; then
// starts the next cycle's bookkeeping. The silence pause that follows is
// the caller's.
void rest_when_idle(SerialLine &line, Locked &table);

// The worker thread's body: the steps above on the line `arg` points at
// (nullptr: the process's line) while its run flag is set.
void *SerialServer(void *arg);

// exchange_slot of slot currentSlot of record CountDev of the process's line.
void Loop_Exchange();
