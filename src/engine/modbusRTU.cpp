// modbusRTU: the Modbus RTU engine of the gateway.
//
// One global table holds, for each unit address 1 to 247, five exchange
// slots. Client handlers file request frames into slots through MRTU_CMD and
// read back the last valid answer; the polling worker SerialServer repeats
// every active slot's exchange on the serial line and records the answers.
// SerialMutex guards the table and the line; the worker lets go of it only
// while it pauses, which is when clients get in. The worker's own state is a
// SerialWorker, and its walk is made of steps over it (visit_record,
// rest_when_idle, reopen_line_if_due, exchange_slot).
#include "modbusRTU.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "environment.h"
#include "message.h"
#include "modbustcp.h"
#include "sleep_us.h"
#include "thread_start.h"
#include "tq708port.h"

ModbusRTUSettings ModbusRTU;

DeviceRecord MRTU_SerialData[kUnitCount];
pthread_mutex_t SerialMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int32_t> SerialWork;
pthread_t hSerialServer;
LineCounters MRTU_LineCounters;
std::atomic<bool> MRTU_LinkUp;

// ---- Line timing -----------------------------------------------------------

void derive_line_timing(ModbusRTUSettings &rec) {
  rec.full_size_sym = rec.databits + rec.stopbits + 2;
  // Without "-br" the baud rate is 0 and the formula would divide by zero.
  // The serial library opens such a line at its lowest rate, 50 bit/s, so the
  // timing follows the rate the line really runs at. For every rate the
  // command line accepts this is the rate itself.
  int32_t rate = TQ708sLineRate(rec.baudrate);
  // The precisions of each step are part of the result: units and clients
  // were tuned against these exact values (110 bit/s gives 99999, not 100000).
  float baud = static_cast<float>(rate);
  float bits = static_cast<float>(rec.full_size_sym);
  float seconds_per_bit = static_cast<float>(1.0 / static_cast<double>(baud));
  float seconds_per_char = bits * seconds_per_bit;
  float us_per_char = static_cast<float>(static_cast<double>(seconds_per_char) * 1000000.0);
  rec.time_one_sym = static_cast<int32_t>(us_per_char);
  rec.time_silence = rec.time_one_sym * 4;
}

uint32_t MRTU_FirstByteSymbols(int64_t wait_us, int32_t char_us) {
  constexpr int64_t kSymbolsAlwaysAllowed = 255;
  if (wait_us <= 0) return 0;
  // Before the link is open there is no character time; do not divide by 0.
  const int64_t per_char = char_us > 0 ? char_us : 1;
  const int64_t symbols = (wait_us + per_char - 1) / per_char;
  if (symbols <= kSymbolsAlwaysAllowed) return static_cast<uint32_t>(symbols);
  return static_cast<uint32_t>(std::min(symbols, std::max(kSymbolsAlwaysAllowed, kFirstByteCapUs / per_char)));
}

// ---- Serial link health ----------------------------------------------------

// A USB adapter that is unplugged, or a line whose far end hangs up, makes
// every write fail. The exchanges then report "no answer" as usual, and the
// worker reopens the node with the same settings, backing off from 100 ms to
// 5 s between tries, always without the table lock so clients are served.
namespace {

constexpr uint32_t kReopenFirstUs = 100000;
constexpr uint32_t kReopenLastUs = 5000000;

bool is_link_failure(int err) { return err == EIO || err == ENXIO || err == EBADF || err == ENODEV; }

void note_send_failure(LinkHealth &link, int err) {
  if (link.lost || !is_link_failure(err)) return;
  link.lost = true;
  link.backoff_us = kReopenFirstUs;
  link.next_try_us = monotonic_us() + kReopenFirstUs;
  ++MRTU_LineCounters.link_losses;  // the send that failed holds SerialMutex
  MRTU_LinkUp.store(false, std::memory_order_relaxed);
  printf("---- serial link lost  %u  errno=%i ---\r\n", static_cast<unsigned>(ModbusRTU.serialport), err);
}

}  // namespace

bool reopen_line_if_due(SerialWorker &w) {
  LinkHealth &link = w.link;
  if (!link.lost) return true;
  if (monotonic_us() < link.next_try_us) return false;
  if (open_line() == 0) {
    link.lost = false;
    MRTU_LinkUp.store(true, std::memory_order_relaxed);
    printf("---- serial link back  %u ---\r\n", static_cast<unsigned>(ModbusRTU.serialport));
    return true;
  }
  link.backoff_us = link.backoff_us >= kReopenLastUs / 2 ? kReopenLastUs : link.backoff_us * 2;
  link.next_try_us = monotonic_us() + link.backoff_us;
  return false;
}

// ---- Serial polling worker -------------------------------------------------

SerialWorker SerialProcessWorker;
int32_t &CountDev = SerialProcessWorker.position;
TableChanges TableChanged = {PTHREAD_COND_INITIALIZER, 0, {}};

namespace {

constexpr uint32_t kMinimumPauseUs = 1000;
// A delay beyond this would hold every slot of every unit for as long; 10 s
// is beyond any unit's need to rest between two requests.
constexpr uint32_t kPauseCapUs = 10000000;
// Pauses up to this are slept; longer ones end early on a rewrite.
constexpr uint32_t kWakeablePauseUs = 5000;
constexpr int kStaleReadLimit = 16;

uint32_t silence_pause_us() {
  return ModbusRTU.time_silence > 0 ? static_cast<uint32_t>(ModbusRTU.time_silence) : kMinimumPauseUs;
}

// An idle walk only sets bit 0 of idle slots, so once a walk has found that
// bit set everywhere, the next one changes nothing until a request is stored.
// The intake counts the requests it stores and signals them; the worker rests
// until then instead of repeating such walks every silence time, which would
// wake it thousands of times a second on a fast line for nothing.

// A late reply is looked for this long after its request: no wait for a
// first byte is longer, so a reply later than this no time-out could catch.
constexpr int64_t kLateWatchUs = kFirstByteCapUs;

// When `bytes` end with the answer to the watched request, it came late:
// counted for its unit with the time from the request's end until now.
void note_late_reply(LateWatch &late, const uint8_t *bytes, int n) {
  if (!late.armed || n <= 0) return;
  const int64_t took = monotonic_us() - late.request_end_us;
  if (took > kLateWatchUs) {
    late.armed = false;
    return;
  }
  if (MRTU_FindReply(late.request, late.request_length, bytes, n) < 0) return;
  late.armed = false;
  const uint8_t unit = late.request[0];  // a slot outside the table may carry any address
  if (unit == 0 || unit > kUnitCount) return;
  UnitCounters &u = MRTU_LineCounters.units[unit - 1];
  ++u.late_replies;
  u.late_answer_us = std::max<int64_t>(took, 1);
}

// An exchange that ended without its answer is the one watched from now on.
void watch_if_unanswered(LateWatch &late, const ExchangeSlot &s, uint8_t outcome, int64_t request_end_us) {
  if (outcome == kOutcomeValid) return;
  late.armed = true;
  late.request_length = s.txLength;
  memcpy(late.request, s.txFrame, s.txLength);
  late.request_end_us = request_end_us;
}

// Appends n bytes to the `kept` at `tail`, keeping the last kFrameSize.
int keep_tail(uint8_t *tail, int kept, const uint8_t *more, int n) {
  if (n >= kFrameSize) {
    memcpy(tail, more + n - kFrameSize, kFrameSize);
    return kFrameSize;
  }
  const int drop = std::max(0, kept + n - kFrameSize);
  memmove(tail, tail + drop, static_cast<size_t>(kept - drop));
  memcpy(tail + kept - drop, more, static_cast<size_t>(n));
  return kept - drop + n;
}

// Bytes that came after an exchange gave up would otherwise be read as the
// start of the next reply. Drop them before sending; the count of what was
// dropped goes to the slot. A late reply among them ends them: it is seen
// only now, so its answer time is an upper bound.
uint32_t discard_stale_input(int port, LateWatch &late) {
  uint8_t scratch[kFrameSize];
  uint8_t tail[kFrameSize];
  int kept = 0;
  uint32_t dropped = 0;
  for (int i = 0; i < kStaleReadLimit; ++i) {
    int got = TQ708sNonBlockRead(port, scratch, sizeof scratch);
    if (got <= 0) break;
    dropped += static_cast<uint32_t>(got);
    kept = keep_tail(tail, kept, scratch, got);
  }
  note_late_reply(late, tail, kept);
  return dropped;
}

// ---- The wait for the answer -------------------------------------------

// The first byte is waited for the slot's first-byte wait + 4 character
// times.
constexpr int kFirstBytePollsAdded = 4;
// Four character times of silence end a frame that is as long as the
// answer (or longer, and then not it).
constexpr int kFrameEndChars = 4;
// Above 19200 bit/s Modbus fixes the silence that ends a frame at 1750 us,
// and UART FIFOs and USB adapters hand replies over in chunks up to a
// millisecond apart: a reply still short of its length waits that long.
constexpr int kFixedGapAboveRate = 19200;
constexpr uint32_t kFixedGapUs = 1750;
// With VELKORD_FRAME_GAP_US set, frames after a dropped one may still begin
// this many such silences after the window: adapters that hand bytes over
// on a 16 ms timer cut even a short reply more than once.
constexpr uint32_t kGapsInAFrame = 4;

// What timeoutSymbols holds at most.
constexpr uint32_t kMaxTimeoutSymbols = 255;

// The slot's wait for the first reply byte in character times: the full
// wait the intake took, or timeoutSymbols for a slot filled without it.
uint32_t first_byte_symbols(const ExchangeSlot &s) {
  return std::max<uint32_t>(s.timeoutSymbols, s.firstByteSymbols);
}

// The exchange's wait: when a new frame may still begin, and which silence
// ends one that has begun.
struct ReplyWindow {
  int port;
  int expected;           // MRTU_ReplyLength of the request alone
  uint32_t char_us;
  uint32_t end_gap_us;    // four character times
  uint32_t chunk_gap_us;  // the longer silence allowed inside a short reply
  uint32_t frame_cap_us;  // the whole buffer on the line and a gap: how long after the
                          // window frames behind a dropped one may still begin
  int64_t open_until_us;  // the first-byte bound, counted from the send
};

// What the wait came to: the last frame collected sits at the start of
// rxFrame, `length` bytes of it (0: nothing arrived at all).
struct Reception {
  int length;
  bool answered;
  uint32_t dropped;       // frames before it that answered another request
  uint32_t received;      // every byte read during the wait
  int64_t first_byte_us;  // monotonic time the first byte was seen; 0: none came
};

ReplyWindow open_window(int port, const ExchangeSlot &s) {
  ReplyWindow w;
  w.port = port;
  w.expected = MRTU_ReplyLength(s.txFrame, s.txLength);
  w.char_us = ModbusRTU.time_one_sym > 0 ? static_cast<uint32_t>(ModbusRTU.time_one_sym) : 1;
  w.end_gap_us = kFrameEndChars * w.char_us;
  bool fixed = TQ708sLineRate(ModbusRTU.baudrate) > kFixedGapAboveRate;
  w.chunk_gap_us = fixed && w.end_gap_us < kFixedGapUs ? kFixedGapUs : w.end_gap_us;
  uint32_t gaps = 1;
  if (VelkordEnv.frame_gap_us != 0) {
    w.end_gap_us = w.chunk_gap_us = VelkordEnv.frame_gap_us;
    gaps = kGapsInAFrame;
  }
  w.frame_cap_us = kFrameSize * w.char_us + gaps * w.chunk_gap_us;
  w.open_until_us = monotonic_us() + static_cast<int64_t>(first_byte_symbols(s) + kFirstBytePollsAdded) * w.char_us;
  return w;
}

// Reads what is there, else waits on the line until bytes come or `until_us`
// has passed; the bytes read, or 0. The wait ends with the first byte, not
// at the next look.
int read_until(const ReplyWindow &w, uint8_t *buf, int room, int64_t until_us) {
  for (;;) {
    int got = TQ708sNonBlockRead(w.port, buf, room);
    if (got > 0) return got;
    if (TQ708sWaitInput(w.port, until_us) <= 0) break;
  }
  // One last look: a worker descheduled between its read and the wait meets
  // the deadline already past, and bytes that came meanwhile are not the
  // silence that ends a frame.
  int got = TQ708sNonBlockRead(w.port, buf, room);
  return got > 0 ? got : 0;
}

// The silence that ends the frame of n bytes: the chunk gap while it is
// shorter than the answer, four characters after. An answer that counts
// its own bytes tells its length only once its count is in; until then it
// is short of it.
uint32_t gap_after(const ReplyWindow &w, const ExchangeSlot &s, const uint8_t *frame, int n) {
  int expected = w.expected;
  if (expected == kReplyLengthOpen) {
    expected = MRTU_ReplyLength(s.txFrame, s.txLength, frame, n);
    if (expected == kReplyLengthOpen) expected = kFrameSize;
  }
  return n < expected ? w.chunk_gap_us : w.end_gap_us;
}

// Reads on after the n bytes of a frame that has begun, until they end with
// the answer, the buffer is full, or the line falls silent for the gap.
// The window bounds only a frame's first byte: a unit that pauses between
// bytes, as Modbus allows, has its long answers collected whole however
// long they take. A line that never falls silent ends at the full buffer.
int collect_frame(const ReplyWindow &w, const ExchangeSlot &s, uint8_t *frame, int n) {
  while (n < kFrameSize && MRTU_FindReply(s.txFrame, s.txLength, frame, n) < 0) {
    int more = read_until(w, frame + n, kFrameSize - n, monotonic_us() + gap_after(w, s, frame, n));
    if (more <= 0) break;
    n += more;
  }
  return n;
}

// Collects frames into s.rxFrame until one answers the request. A frame
// that does not is line noise or another request's late reply (the watched
// one's is counted): it is dropped and the wait goes on while the window is
// open; bytes already waiting when it closes may still start a frame, but
// not past one frame cap later, however busy the line. The answer found
// behind other bytes is moved to the start of rxFrame.
Reception wait_for_reply(const ReplyWindow &w, ExchangeSlot &s, LateWatch &late) {
  Reception r = {0, false, 0, 0, 0};
  int n = read_until(w, s.rxFrame, kFrameSize, w.open_until_us);
  if (n > 0) r.first_byte_us = monotonic_us();
  while (n > 0) {
    if (r.length > 0) ++r.dropped;
    r.length = collect_frame(w, s, s.rxFrame, n);
    r.received += static_cast<uint32_t>(r.length);
    int at = MRTU_FindReply(s.txFrame, s.txLength, s.rxFrame, r.length);
    note_late_reply(late, s.rxFrame, at >= 0 ? at : r.length);
    if (at >= 0) {
      r.length -= at;
      memmove(s.rxFrame, s.rxFrame + at, static_cast<size_t>(r.length));
      r.answered = true;
      return r;
    }
    // A full buffer is longer than any answer: what follows stays for the
    // discard before the next send, as do bytes that come past the cap.
    if (r.length >= kFrameSize || monotonic_us() >= w.open_until_us + w.frame_cap_us) return r;
    n = read_until(w, s.rxFrame, kFrameSize, w.open_until_us);
  }
  return r;
}

// An echoing transceiver hands the request back as it goes out: exactly its
// bytes are taken off the line before the reply is looked for, within the
// request's own time on the line and one gap. An echo that does not come is
// no answer, one that differs a bad answer (it stays in rxFrame); both are
// line faults of their own. kResultValid when the echo was right.
uint8_t take_echo(const ReplyWindow &w, ExchangeSlot &s, uint32_t &echoed) {
  const int length = s.txLength;
  const int64_t limit = monotonic_us() + (length + kFirstBytePollsAdded) * w.char_us + w.chunk_gap_us;
  int n = 0;
  while (n < length) {
    int more = read_until(w, s.rxFrame + n, length - n, limit);
    if (more <= 0) break;
    n += more;
  }
  echoed = static_cast<uint32_t>(n);
  if (n == length && memcmp(s.rxFrame, s.txFrame, static_cast<size_t>(length)) == 0) return kResultValid;
  ++s.counts.echo_faults;
  if (n == 0) return kResultNoAnswer;
  s.rxLength = static_cast<uint8_t>(n);
  return kResultBadAnswer;
}

// Records the wait's outcome in the slot and its counts; returns the
// outcome (kOutcome*).
uint8_t record_reception(ExchangeSlot &s, const Reception &r) {
  s.counts.frames_dropped += r.dropped;
  if (r.length == 0) {
    ++s.counts.no_answer;
    return kOutcomeNoAnswer;
  }
  // No answer the gateway asks for is 256 bytes long; a full buffer is
  // noise or replies run together. rxLength stays within the frame.
  s.rxLength = static_cast<uint8_t>(r.length >= kFrameSize ? kFrameSize - 1 : r.length);
  if (r.answered) {
    ++s.counts.valid;
    return kOutcomeValid;
  }
  if (MRTU_CheckFrame(s.rxFrame, r.length)) {
    ++s.counts.mismatch;
    return kOutcomeMismatch;
  }
  ++s.counts.bad_crc;
  return kOutcomeBadCrc;
}

uint8_t result_of(uint8_t outcome) {
  if (outcome == kOutcomeValid) return kResultValid;
  return outcome == kOutcomeNoAnswer ? kResultNoAnswer : kResultBadAnswer;
}

// What one exchange put on the line and took from it, for the counters.
struct LineTraffic {
  int sent;               // TQ708ssend's result
  uint32_t stale;         // bytes discarded before the send
  int64_t send_end_us;    // when the request's last character left, monotonic
};

// write() returns once the driver holds the request, long before a UART at
// 9600 bit/s has sent it: the request's end on the line is its start plus
// one character time a byte, or the write's return if that came later.
int64_t request_end_us(int64_t send_start_us, int length) {
  int64_t char_us = ModbusRTU.time_one_sym > 0 ? ModbusRTU.time_one_sym : 0;
  return std::max(send_start_us + length * char_us, monotonic_us());
}

// Counts one exchange into the line's and its unit's counters; SerialMutex
// is held, as for the rest of the exchange.
void tally_exchange(ExchangeSlot &s, uint8_t outcome, const Reception &r, const LineTraffic &t) {
  LineCounters &c = MRTU_LineCounters;
  c.bytes_tx += t.sent > 0 ? static_cast<uint64_t>(t.sent) : 0;
  c.bytes_rx += t.stale + r.received;
  const int64_t now = monotonic_us();
  s.counts.last_outcome = outcome;
  if (outcome == kOutcomeValid) s.counts.last_valid_us = now;
  uint8_t unit = s.txFrame[0];  // a slot outside the table may carry any address
  if (unit == 0 || unit > kUnitCount) return;
  c.unit_seen[unit - 1] |= kUnitExchanged;
  UnitCounters &u = c.units[unit - 1];
  ++u.exchanges[outcome];
  u.last_outcome = outcome;
  if (outcome == kOutcomeValid) u.last_valid_us = now;
  if (r.first_byte_us > 0)
    histogram_add(u.response, static_cast<uint32_t>(std::max<int64_t>(r.first_byte_us - t.send_end_us, 0)));
}

// The exchange's wait for the answer, with the echo of an echoing
// transceiver taken off the line first; the outcome (kOutcome*). An echo that
// is missing or wrong ends the exchange as no answer or a bad one.
uint8_t receive_answer(int port, ExchangeSlot &s, Reception &r, LineTraffic &t, LateWatch &late) {
  uint32_t echoed = 0;
  if (VelkordEnv.echo) {
    uint8_t echo = take_echo(open_window(port, s), s, echoed);
    if (echo != kResultValid) {
      r = Reception{0, false, 0, echoed, 0};
      return echo == kResultNoAnswer ? kOutcomeNoAnswer : kOutcomeBadCrc;
    }
    // The reply's wait counts from the end of the echo: that is when the
    // request has left the line.
    t.send_end_us = monotonic_us();
  }
  r = wait_for_reply(open_window(port, s), s, late);
  r.received += echoed;
  return record_reception(s, r);
}

// Each exchange costs the slot one silence time of its lifetime, whatever it
// really took; a slot whose lifetime is used up is switched off.
void charge_lifetime(ExchangeSlot &s) {
  uint32_t silence = static_cast<uint32_t>(ModbusRTU.time_silence);
  if (s.lifetime > silence) {
    s.lifetime -= silence;
  } else {
    s.lifetime = 0;
    s.mode = kModeIdle;
  }
}

void apply_mode(ExchangeSlot &s, uint8_t outcome) {
  s.answerKept = false;
  if (s.mode == kModeIdle) {
    s.lifetime = 0;
  } else if (outcome != kResultValid || s.mode == kModeRepeat) {
    charge_lifetime(s);
  } else if (s.mode == kModeUntilAnswered) {
    // Done: a write happens once. Its answer is kept for the client to
    // collect, which it may do long after this exchange.
    s.lifetime = 0;
    s.mode = kModeIdle;
    s.answerKept = true;
  } else {  // kModeReload and every mode above it
    charge_lifetime(s);
    s.lifetime = s.lifetimeReload;
  }
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
// a shorter delay ends it at once. A short one is a plain sleep, as precise
// and without wake-ups.
void pause_before_exchange(SerialWorker &w, Locked &table, const ExchangeSlot &s) {
  const int64_t start = monotonic_us();
  const uint32_t pause_us = pause_before_us(s);  // read while the slot is ours
  {
    Unlocked clients_in(table);
    reopen_line_if_due(w);
    if (pause_us <= kWakeablePauseUs) {
      sleep_until_us(start + pause_us);
      return;
    }
  }
  for (;;) {
    int64_t end = start + pause_before_us(s);
    if (monotonic_us() >= end) return;
    table.wait_until(TableChanged.signal, timespec_from_us(end));
  }
}

// Marks an idle slot the walk passes over unanswered, unless it keeps the
// answer to a write for its client; notes whether that changed the slot.
void mark_idle_slot(SerialWorker &w, ExchangeSlot &s) {
  if (s.answerKept) return;
  if ((s.result & kResultNoAnswer) == 0) w.walk_marked_slot = true;
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

// ---- The Modbus TCP face's exchanges --------------------------------------

// The face's turn in a record's rotation, after the five native slots.
constexpr uint8_t kFaceTurn = kSlotCount;

// One exchange the face asked for, on the worker's own slot: the same pause
// (its 1000 µs minimum), the same reply rules and counts as a native slot.
// The outcome goes back to the face as valid only when the reply answered
// this very request.
void exchange_for_face(SerialWorker &w, Locked &table, const FaceExchange &x) {
  ExchangeSlot &s = w.face_slot;
  memcpy(s.txFrame, x.frame, x.length);
  s.txLength = x.length;
  s.timeoutSymbols = static_cast<uint8_t>(std::min<uint32_t>(x.wait_symbols, kMaxTimeoutSymbols));
  s.firstByteSymbols = x.wait_symbols;
  s.mode = kModeIdle;  // exchanged once; the face decides whether it comes again
  s.delay = 0;
  s.lifetime = 0;
  pause_before_exchange(w, table, s);
  bool valid = exchange_slot(w, s) == kResultValid;
  face_publish(x, s.rxFrame, valid ? s.rxLength : 0, valid, monotonic_us());
}

bool exchange_face_write(SerialWorker &w, Locked &table) {
  FaceExchange x;
  if (!w.face_on || !face_take_write(x)) return false;
  exchange_for_face(w, table, x);
  return true;
}

bool exchange_face_read(SerialWorker &w, Locked &table, uint8_t unit) {
  FaceExchange x;
  if (!face_take_read(unit, x)) return false;
  exchange_for_face(w, table, x);
  return true;
}

// Looks at the turns of `rec` (unit `unit`) from its currentSlot on, the five
// slots and with the face on its turn, marking idle slots, and exchanges the
// first active one. True when it made an exchange.
bool scan_slots(SerialWorker &w, Locked &table, DeviceRecord &rec, uint8_t unit) {
  const int turns = w.face_on ? kSlotCount + 1 : kSlotCount;
  for (int seen = 0; seen < turns; ++seen) {
    if (rec.currentSlot >= turns) rec.currentSlot = 0;
    if (rec.currentSlot == kFaceTurn) {
      ++rec.currentSlot;
      if (exchange_face_read(w, table, unit)) return true;
      continue;
    }
    ExchangeSlot &s = rec.slots[rec.currentSlot];
    if (s.mode == kModeIdle) {
      mark_idle_slot(w, s);
      ++rec.currentSlot;
      continue;
    }
    pause_before_exchange(w, table, s);
    // The slot is not looked at again: a client that idled it during the
    // pause still gets this one exchange.
    exchange_slot(w, rec.slots[rec.currentSlot % kSlotCount]);
    ++rec.currentSlot;
    return true;
  }
  return false;
}

// Record `index` as the walk sees it: its slots only when one of them is
// pending, so the pages of idle records stay untouched; a record without one
// still gives the face its turn for that unit.
bool scan_record(SerialWorker &w, Locked &table, int index) {
  const uint8_t unit = static_cast<uint8_t>(index + 1);
  if (TableChanged.pending[index] == 0) return w.face_on && exchange_face_read(w, table, unit);
  DeviceRecord &rec = MRTU_SerialData[index];
  bool exchanged = scan_slots(w, table, rec, unit);
  TableChanged.pending[index] = slots_to_visit(rec);
  return exchanged;
}

}  // namespace

uint8_t exchange_slot(SerialWorker &w, ExchangeSlot &s) {
  int port = ModbusRTU.serialport;
  LineTraffic traffic;
  traffic.stale = discard_stale_input(port, w.late);
  s.counts.stale_bytes += traffic.stale;
  // A port that is not open (closed by CloseSerial) fails without setting
  // errno: only a failed write on an open port says the line is gone.
  errno = 0;
  const int64_t send_start_us = monotonic_us();
  traffic.sent = TQ708ssend(port, s.txFrame, s.txLength);
  if (traffic.sent < 0 && TQ708sfindFD(port) >= 0) note_send_failure(w.link, errno);
  traffic.send_end_us = request_end_us(send_start_us, s.txLength);
  Reception reception;
  uint8_t kind = receive_answer(port, s, reception, traffic, w.late);
  tally_exchange(s, kind, reception, traffic);
  watch_if_unanswered(w.late, s, kind, traffic.send_end_us);
  uint8_t outcome = result_of(kind);
  apply_mode(s, outcome);
  s.result = outcome;  // last: the slot is consistent before it reads as valid
  return outcome;
}

void Loop_Exchange() {
  DeviceRecord &rec = MRTU_SerialData[CountDev];
  exchange_slot(SerialProcessWorker, rec.slots[rec.currentSlot % kSlotCount]);
  TableChanged.pending[CountDev] = slots_to_visit(rec);
}

Visit visit_record(SerialWorker &w, Locked &table) {
  // A client waits for its write: it goes ahead of every cyclic exchange.
  if (exchange_face_write(w, table)) {
    w.idle_walk = false;
    return Visit::kExchanged;
  }
  if (w.position >= kUnitCount) {
    w.position = 0;
    if (w.idle_walk) return Visit::kIdleCycle;
    w.idle_walk = true;
    w.walk_marked_slot = true;
  }
  bool exchanged = scan_record(w, table, w.position);
  ++w.position;
  if (!exchanged) return Visit::kPassed;
  w.idle_walk = false;
  return Visit::kExchanged;
}

void rest_when_idle(SerialWorker &w, Locked &table) {
  // Nothing but a stored request (or the face's new work) gives an idle
  // table work, and a lost line its next try: no timer wakes the worker in
  // between. While the face polls reads, the walk goes on.
  if (!w.walk_marked_slot && w.walk_generation == TableChanged.count && !(w.face_on && face_has_work())) {
    while (TableChanged.count == w.walk_generation) {
      if (!w.link.lost) {
        table.wait(TableChanged.signal);
      } else if (monotonic_us() >= w.link.next_try_us ||
                 table.wait_until(TableChanged.signal, timespec_from_us(w.link.next_try_us)) == ETIMEDOUT) {
        break;
      }
    }
  }
  w.walk_marked_slot = false;
  w.walk_generation = TableChanged.count;
}

void signal_table_changed() {
  Locked table(SerialMutex);
  ++TableChanged.count;
  // A resting worker and one in a long pause both wait on this signal.
  pthread_cond_broadcast(&TableChanged.signal);
}

void *SerialServer(void *) {
  // The line schedule is made of sleeps of a few hundred microseconds: the
  // default 50 µs timer slack would stretch every one of them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  SerialWorker &w = SerialProcessWorker;
  while (SerialWork.load(std::memory_order_relaxed) != 0) {
    int64_t closing_ends;
    {
      Locked table(SerialMutex);
      for (Visit v = visit_record(w, table); v != Visit::kExchanged; v = visit_record(w, table)) {
        if (v != Visit::kIdleCycle) continue;
        // Nothing in the gateway clears the flag; a test that steps its own
        // worker stops this one so that only one walks the table.
        if (SerialWork.load(std::memory_order_relaxed) == 0) return nullptr;
        rest_when_idle(w, table);
        if (SerialWork.load(std::memory_order_relaxed) == 0) return nullptr;
        Unlocked clients_in(table);
        reopen_line_if_due(w);
        sleep_us(silence_pause_us());
      }
      // The closing pause, the clients' window after every exchange, counts
      // from the exchange's end.
      closing_ends = monotonic_us() + silence_pause_us();
    }
    reopen_line_if_due(w);
    sleep_until_us(closing_ends);
  }
  return nullptr;
}

// ---- Command intake --------------------------------------------------------

namespace {

// The wait for the first reply byte in whole character times, rounded up.
// timeoutSymbols saturates at what the 8-bit field holds: a client that
// asks for a longer wait never gets a short one left over from a wrap, and
// whatever reads the field sees 255. The longer wait itself goes beside it.

uint8_t timeout_in_symbols(int32_t timeout) {
  return static_cast<uint8_t>(std::min(MRTU_FirstByteSymbols(timeout, ModbusRTU.time_one_sym), kMaxTimeoutSymbols));
}

// The functions a native client may file: the reads and writes of Modbus's
// data model, each answered in a shape the slot keeps.
bool native_function(uint8_t function) {
  return (function >= 1 && function <= 6) || function == 15 || function == 16;
}

// Length of the request frame without CRC, or the intake's refusal.
// `carried` is the number of frame bytes the message holds: a frame cut
// short would go on the line padded with zeros, a write of values nobody
// sent, so it is refused like a byte count that does not fit its quantity.
// A quantity outside Modbus's limits is left to the unit, which answers it
// with an exception.
int request_frame_length(const uint8_t *frame, int carried) {
  if (carried < 2) return kCmdFrameMalformed;  // not even a function code
  if (!native_function(frame[1])) return kCmdBadFunction;
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
  return mode == kModeUntilAnswered && s.answerKept && s.result == kResultValid && s.txLength == n + 2 &&
         memcmp(s.txFrame, frame, static_cast<size_t>(n)) == 0;
}

// Any other accepted request rewrites the slot, and an answer it kept is the
// worker's to withdraw again.
void store_request(ExchangeSlot &s, const uint8_t *frame, int n, uint8_t mode) {
  memcpy(s.txFrame, frame, static_cast<size_t>(n));
  MRTU_SealFrame(s.txFrame, n);
  s.txLength = static_cast<uint8_t>(n + 2);
  s.mode = mode;
  s.answerKept = false;
}

}  // namespace

int MRTU_CMD(const uint8_t *request, uint8_t *response, uint8_t slot, uint8_t mode,
             int32_t timeout, uint32_t lifetime, uint32_t delay) {
  const uint8_t *frame = request + msg::kFrame;
  uint8_t unit = frame[0];
  if (unit == 0 || unit > kUnitCount) return kCmdBadUnit;
  if (slot >= kSlotCount) return kCmdBadSlot;
  const int carried = msg::get16(request, msg::kLength) - static_cast<int>(msg::kHeaderSize);

  Locked table(SerialMutex);
  MRTU_LineCounters.unit_seen[unit - 1] |= kUnitRequested;
  ++TableChanged.count;
  TableChanged.pending[unit - 1] = static_cast<uint8_t>(TableChanged.pending[unit - 1] | 1u << slot);
  // Both the resting worker and one in a long pause wait for this.
  pthread_cond_broadcast(&TableChanged.signal);
  ExchangeSlot &s = MRTU_SerialData[unit - 1].slots[slot];
  // The timing fields are taken even from a request refused below.
  s.timeoutSymbols = timeout_in_symbols(timeout);
  s.firstByteSymbols = MRTU_FirstByteSymbols(timeout, ModbusRTU.time_one_sym);
  s.lifetime = lifetime;
  s.delay = static_cast<int32_t>(delay);

  int n = request_frame_length(frame, carried);
  if (n < 0) return n;
  if (!collects_kept_answer(s, frame, n, mode)) store_request(s, frame, n, mode);

  // A slot the worker has never visited reads result 0 with nothing in it;
  // that is no answer either (a response shorter than its header otherwise).
  if (s.result != kResultValid || s.rxLength < 2) return kCmdNoAnswer;
  memcpy(response + msg::kFrame, s.rxFrame, s.rxLength);
  // The copy carries the answer's CRC; the length leaves it out.
  msg::put16(response, msg::kLength, static_cast<uint16_t>(s.rxLength + 30));
  response[msg::kSlot] = slot;
  return kCmdOk;
}

// ---- Serial link start -----------------------------------------------------

// The line's settings are those of the command line, always with interface
// mode 1 and no parity: the first open and every reopen ask for the same.
int open_line() {
  constexpr int kInterfaceMode = 1;
  constexpr int kParityNone = 0;
  return TQ708sopen(ModbusRTU.serialport, kInterfaceMode, ModbusRTU.baudrate, kParityNone, ModbusRTU.databits,
                    ModbusRTU.stopbits);
}

int prepare_table_locks() {
  if (pthread_mutex_init(&SerialMutex, nullptr) != 0) return kOpenSerialNoLock;
  // TableChanged's waits are deadlines on the monotonic clock.
  return init_monotonic_cond(TableChanged.signal) == 0 ? 0 : kOpenSerialNoLock;
}

int OpenSerial() {
  int res = open_line();
  if (res < 0) return res;
  derive_line_timing(ModbusRTU);
  SerialProcessWorker = SerialWorker{};
  int prepared = prepare_table_locks();
  if (prepared != 0) {
    CloseSerial();
    return prepared;
  }
  SerialWork = 1;
  MRTU_LinkUp.store(true, std::memory_order_relaxed);
  if (start_thread(&hSerialServer, SerialServer, nullptr, true) != 0) {
    SerialWork = 0;
    CloseSerial();
    return kOpenSerialNoWorker;
  }
  return res;
}

int CloseSerial() {
  MRTU_LinkUp.store(false, std::memory_order_relaxed);
  return TQ708sclose(ModbusRTU.serialport);
}
