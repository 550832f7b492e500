// exchange: one exchange on the line, from the stale bytes before the send
// to the slot's mode and lifetime after the reply.
#include "exchange.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sleep_us.h"
#include "tq708port.h"

namespace {

// A USB adapter that is unplugged, or a line whose far end hangs up, makes
// every write fail. The exchanges then report "no answer" as usual, and the
// worker reopens the node with the same settings, backing off from 100 ms to
// 5 s between tries, always without the table lock so clients are served.

constexpr uint32_t kReopenFirstUs = 100000;
constexpr uint32_t kReopenLastUs = 5000000;

bool is_link_failure(int err) { return err == EIO || err == ENXIO || err == EBADF || err == ENODEV; }

void note_send_failure(SerialLine &line, int err) {
  LinkHealth &link = line.worker.link;
  if (link.lost || !is_link_failure(err)) return;
  link.lost = true;
  link.backoff_us = kReopenFirstUs;
  link.next_try_us = monotonic_us() + kReopenFirstUs;
  ++line.counters.link_losses;  // the send that failed holds the lock
  line.link_up.store(false, std::memory_order_relaxed);
  printf("---- serial link lost  %u  errno=%i ---\r\n", static_cast<unsigned>(line.settings.serialport), err);
}

constexpr int kStaleReadLimit = 16;

// A late reply is looked for this long after its request: no wait for a
// first byte is longer, so a reply later than this no time-out could catch.
constexpr int64_t kLateWatchUs = kFirstByteCapUs;

// When `bytes` end with the answer to the watched request, it came late:
// counted for its unit with the time from the request's end until now.
void note_late_reply(LateWatch &late, LineCounters &counters, const uint8_t *bytes, int n) {
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
  UnitCounters &u = counters.units[unit - 1];
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
uint32_t discard_stale_input(SerialLine &line) {
  const int port = line.settings.serialport;
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
  note_late_reply(line.worker.late, line.counters, tail, kept);
  return dropped;
}

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

ReplyWindow open_window(const SerialLine &line, const ExchangeSlot &s) {
  const ModbusRTUSettings &rtu = line.settings;
  ReplyWindow w;
  w.port = rtu.serialport;
  w.expected = MRTU_ReplyLength(s.txFrame, s.txLength);
  w.char_us = rtu.time_one_sym > 0 ? static_cast<uint32_t>(rtu.time_one_sym) : 1;
  w.end_gap_us = kFrameEndChars * w.char_us;
  bool fixed = TQ708sLineRate(rtu.baudrate) > kFixedGapAboveRate;
  w.chunk_gap_us = fixed && w.end_gap_us < kFixedGapUs ? kFixedGapUs : w.end_gap_us;
  uint32_t gaps = 1;
  if (line.options.frame_gap_us != 0) {
    w.end_gap_us = w.chunk_gap_us = line.options.frame_gap_us;
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
Reception wait_for_reply(const ReplyWindow &w, ExchangeSlot &s, LateWatch &late, LineCounters &counters) {
  Reception r = {0, false, 0, 0, 0};
  int n = read_until(w, s.rxFrame, kFrameSize, w.open_until_us);
  if (n > 0) r.first_byte_us = monotonic_us();
  while (n > 0) {
    if (r.length > 0) ++r.dropped;
    r.length = collect_frame(w, s, s.rxFrame, n);
    r.received += static_cast<uint32_t>(r.length);
    int at = MRTU_FindReply(s.txFrame, s.txLength, s.rxFrame, r.length);
    note_late_reply(late, counters, s.rxFrame, at >= 0 ? at : r.length);
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
int64_t request_end_us(const ModbusRTUSettings &rtu, int64_t send_start_us, int length) {
  int64_t char_us = rtu.time_one_sym > 0 ? rtu.time_one_sym : 0;
  return std::max(send_start_us + length * char_us, monotonic_us());
}

// Counts one exchange into the line's and its unit's counters; the lock is
// held, as for the rest of the exchange.
void tally_exchange(LineCounters &c, ExchangeSlot &s, uint8_t outcome, const Reception &r, const LineTraffic &t) {
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
uint8_t receive_answer(SerialLine &line, ExchangeSlot &s, Reception &r, LineTraffic &t) {
  uint32_t echoed = 0;
  if (line.options.echo) {
    uint8_t echo = take_echo(open_window(line, s), s, echoed);
    if (echo != kResultValid) {
      r = Reception{0, false, 0, echoed, 0};
      return echo == kResultNoAnswer ? kOutcomeNoAnswer : kOutcomeBadCrc;
    }
    // The reply's wait counts from the end of the echo: that is when the
    // request has left the line.
    t.send_end_us = monotonic_us();
  }
  r = wait_for_reply(open_window(line, s), s, line.worker.late, line.counters);
  r.received += echoed;
  return record_reception(s, r);
}

// Each exchange costs the slot one silence time of its lifetime, whatever it
// really took; a slot whose lifetime is used up is switched off.
void charge_lifetime(ExchangeSlot &s, uint32_t silence) {
  if (s.lifetime > silence) {
    s.lifetime -= silence;
  } else {
    s.lifetime = 0;
    s.mode = kModeIdle;
  }
}

void apply_mode(ExchangeSlot &s, uint8_t outcome, uint32_t silence) {
  s.answerKept = false;
  if (s.mode == kModeIdle) {
    s.lifetime = 0;
  } else if (outcome != kResultValid || s.mode == kModeRepeat) {
    charge_lifetime(s, silence);
  } else if (s.mode == kModeUntilAnswered) {
    // Done: a write happens once. Its answer is kept for the client to
    // collect, which it may do long after this exchange.
    s.lifetime = 0;
    s.mode = kModeIdle;
    s.answerKept = true;
  } else {  // kModeReload and every mode above it
    charge_lifetime(s, silence);
    s.lifetime = s.lifetimeReload;
  }
}

}  // namespace

uint8_t exchange_slot(SerialLine &line, ExchangeSlot &s) {
  const ModbusRTUSettings &rtu = line.settings;
  LineTraffic traffic;
  traffic.stale = discard_stale_input(line);
  s.counts.stale_bytes += traffic.stale;
  // A port that is not open (closed by CloseSerial) fails without setting
  // errno: only a failed write on an open port says the line is gone.
  errno = 0;
  const int64_t send_start_us = monotonic_us();
  traffic.sent = TQ708ssend(rtu.serialport, s.txFrame, s.txLength);
  if (traffic.sent < 0 && TQ708sfindFD(rtu.serialport) >= 0) note_send_failure(line, errno);
  traffic.send_end_us = request_end_us(rtu, send_start_us, s.txLength);
  Reception reception;
  uint8_t kind = receive_answer(line, s, reception, traffic);
  tally_exchange(line.counters, s, kind, reception, traffic);
  // A request that never left, or a line that is gone, says nothing of the
  // unit: only exchanges that reached the line count towards its silence.
  if (traffic.sent > 0 && !line.worker.link.lost)
    offline_note(line.reach, line.options.offline, s.txFrame[0], kind, monotonic_us());
  watch_if_unanswered(line.worker.late, s, kind, traffic.send_end_us);
  uint8_t outcome = result_of(kind);
  apply_mode(s, outcome, static_cast<uint32_t>(rtu.time_silence));
  s.result = outcome;  // last: the slot is consistent before it reads as valid
  return outcome;
}

void hold_back_slot(SerialLine &line, ExchangeSlot &s) {
  apply_mode(s, kResultNoAnswer, static_cast<uint32_t>(line.settings.time_silence));
  s.result = kResultNoAnswer;
}

bool reopen_line_if_due(SerialLine &line) {
  LinkHealth &link = line.worker.link;
  if (!link.lost) return true;
  if (monotonic_us() < link.next_try_us) return false;
  if (open_line(line) == 0) {
    link.lost = false;
    line.link_up.store(true, std::memory_order_relaxed);
    printf("---- serial link back  %u ---\r\n", static_cast<unsigned>(line.settings.serialport));
    return true;
  }
  link.backoff_us = link.backoff_us >= kReopenLastUs / 2 ? kReopenLastUs : link.backoff_us * 2;
  link.next_try_us = monotonic_us() + link.backoff_us;
  return false;
}
