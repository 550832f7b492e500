// exchange: one exchange on the line. The request goes out, the reply is
// collected until it answers the request or the wait closes, and the slot
// records what came with its counts and its mode and lifetime rules. The
// line's health (a send that fails marks it lost, a reopen brings it back)
// and the watch for late replies are kept here, where the line is used.
#pragma once

#include <cstdint>

#include "modbusRTU.h"

// With the line's lock held: one exchange of `s`, a slot of the table or
// any other: discards stale input, sends, waits for the answer, records
// reply, outcome and counts, and applies the mode and lifetime rules.
// Returns the outcome (kResultValid, kResultNoAnswer or kResultBadAnswer),
// also in s.result.
uint8_t exchange_slot(SerialLine &line, ExchangeSlot &s);

// With the line's lock held: a turn of `s` that the back-off of its offline
// unit holds back. The slot reads as after an exchange without an answer:
// result 1 (its client gets "no valid answer"), its lifetime charged and its
// mode applied as such an exchange would, so a slot its client has left
// runs out after as many turns as it would have; nothing goes on the line
// and nothing is counted.
void hold_back_slot(SerialLine &line, ExchangeSlot &s);

// Without the line's lock: reopens a lost line once its back-off has
// passed. True when the line is usable (not lost, or back now).
bool reopen_line_if_due(SerialLine &line);
