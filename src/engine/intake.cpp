// intake: a client's request filed into its slot, and the slot's answer.
#include "intake.h"

#include <algorithm>
#include <cstring>

namespace {

// The wait for the first reply byte in whole character times, rounded up.
// timeoutSymbols saturates at what the 8-bit field holds: a client that
// asks for a longer wait never gets a short one left over from a wrap, and
// whatever reads the field sees 255. The longer wait itself goes beside it.

uint8_t timeout_in_symbols(uint32_t first_byte_symbols) {
  return static_cast<uint8_t>(std::min(first_byte_symbols, kMaxTimeoutSymbols));
}

// The functions a slot may hold: the reads and writes of Modbus's data
// model, each answered in a shape the slot keeps.
bool slot_function(uint8_t function) {
  return (function >= 1 && function <= 6) || function == 15 || function == 16;
}

// Length of the request frame without CRC, or the intake's refusal.
// `carried` is the number of frame bytes the message holds: a frame cut
// short would go on the line padded with zeros, a write of values nobody
// sent, so it is refused like a byte count that does not fit its quantity.
// A quantity outside Modbus's limits is left to the unit, which answers it
// with an exception.
int request_frame_length(const uint8_t *frame, int carried, bool writes_refused) {
  if (carried < 2) return kCmdFrameMalformed;  // not even a function code
  if (!slot_function(frame[1])) return kCmdBadFunction;
  if (writes_refused && !MRTU_OnlyReads(frame, carried)) return kCmdWriteRefused;
  const RequestForm form = MRTU_RequestForm(frame, carried);
  switch (form.fault) {
    case RequestFault::kNone: case RequestFault::kOutOfLimits:
      return form.length;
    case RequestFault::kTooLong:
      return kCmdFrameTooLong;
    case RequestFault::kBadValue:
      return kCmdBadCoilValue;
    default:
      return kCmdFrameMalformed;
  }
}

// A mode 2 request for exactly the frame whose answer the slot keeps: the
// write is done, and the client has come to collect its answer. Storing the
// request again would send it again.
bool collects_kept_answer(const ExchangeSlot &s, const uint8_t *frame, int n, uint8_t mode) {
  return mode == kModeUntilAnswered && s.answerKept && s.result == kResultValid && s.txLength == n + kCrcLength &&
         memcmp(s.txFrame, frame, static_cast<size_t>(n)) == 0;
}

// Any other accepted request rewrites the slot, and an answer it kept is the
// worker's to withdraw again.
void store_request(ExchangeSlot &s, const uint8_t *frame, int n, uint8_t mode) {
  memcpy(s.txFrame, frame, static_cast<size_t>(n));
  MRTU_SealFrame(s.txFrame, n);
  s.txLength = static_cast<uint8_t>(n + kCrcLength);
  s.mode = mode;
  s.answerKept = false;
}

// Counts the request and signals it: the walk looks at the slot again, and
// both a resting worker and one in a long pause wait for this.
void note_request(SerialLine &line, uint8_t unit, uint8_t slot) {
  TableChanges &changed = line.changed;
  line.counters.unit_seen[unit - 1] |= kUnitRequested;
  ++changed.count;
  changed.pending[unit - 1] = static_cast<uint8_t>(changed.pending[unit - 1] | 1u << slot);
  pthread_cond_broadcast(&changed.signal);
}

}  // namespace

int intake_store(SerialLine &line, const SlotRequest &r, uint8_t *answer, int &answer_length) {
  const uint8_t unit = r.frame[0];
  if (unit < kFirstUnit || unit > kLastUnit) return kCmdBadUnit;
  if (r.slot >= kSlotCount) return kCmdBadSlot;

  Locked table(line.mutex);
  note_request(line, unit, r.slot);
  ExchangeSlot &s = line.table[unit - 1].slots[r.slot];
  // The timing fields are taken even from a request refused below.
  s.firstByteSymbols = MRTU_FirstByteSymbols(r.timeout, line.settings.time_one_sym);
  s.timeoutSymbols = timeout_in_symbols(s.firstByteSymbols);
  s.lifetime = r.lifetime;
  s.delay = static_cast<int32_t>(r.delay);

  int n = request_frame_length(r.frame, r.carried, r.writes_refused);
  if (n < 0) return n;
  if (!collects_kept_answer(s, r.frame, n, r.mode)) store_request(s, r.frame, n, r.mode);

  // A slot the worker has never visited reads result 0 with nothing in it;
  // that is no answer either (a response shorter than its header otherwise).
  if (s.result != kResultValid || s.rxLength < kCrcLength) return kCmdNoAnswer;
  memcpy(answer, s.rxFrame, s.rxLength);
  answer_length = s.rxLength;
  return kCmdOk;
}
