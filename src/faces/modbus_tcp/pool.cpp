// pool: the cached reads and the queued writes of the Modbus faces, and the
// calls the serial worker makes into them. A client's thread looks a read up
// or queues a write under the pool's lock and waits on `answered` with the
// lock let go; the worker takes due reads and queued writes, exchanges them
// and delivers the outcomes, which wake the waiting clients.
#include "pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame.h"
#include "locked.h"
#include "sleep_us.h"

uint8_t check_request(uint8_t unit, const uint8_t *pdu, int n) {
  // Broadcasts get no answer to relay, and reserved ids route nowhere.
  if (unit < kFirstUnit || unit > kLastUnit) return kExPathUnavailable;
  if (n < 1 || n > kMaxPdu) return kExIllegalValue;
  uint8_t frame[1 + kMaxPdu];
  const int length = rtu_request_frame(unit, pdu, n, frame);
  const RequestForm form = MRTU_RequestForm(frame, length);
  if (form.fault == RequestFault::kUnknownFunction) return kExIllegalFunction;
  // Bytes after the function's shape would go to the unit as part of it.
  return form.fault == RequestFault::kNone && form.length == length ? 0 : kExIllegalValue;
}

int rtu_request_frame(uint8_t unit, const uint8_t *pdu, int n, uint8_t *frame) {
  frame[0] = unit;
  memcpy(frame + 1, pdu, static_cast<size_t>(n));
  return n + 1;
}

uint8_t check_request_from(uint8_t unit, const uint8_t *pdu, int n, bool may_write, bool *write_refused) {
  *write_refused = false;
  const uint8_t code = check_request(unit, pdu, n);
  // A unit that is no unit, a function nobody may use, or no PDU at all, is
  // answered as it is for everyone.
  if (may_write || code == kExPathUnavailable || code == kExIllegalFunction || n < 1 || n > kMaxPdu) return code;
  uint8_t frame[1 + kMaxPdu];
  if (MRTU_OnlyReads(frame, rtu_request_frame(unit, pdu, n, frame))) return code;
  *write_refused = true;
  return kExIllegalFunction;
}

namespace {

// With the pool's lock held (`held`): waits for `answered` until the
// monotonic time `deadline_us`; false once it has passed.
bool wait_answered_until(FacePool &p, Locked &held, int64_t deadline_us) {
  return held.wait_until(p.answered, timespec_from_us(deadline_us)) != ETIMEDOUT;
}

// New work for a worker that may rest on an idle table.
void wake_worker(const FacePool &p) {
  if (SerialLine *line = p.line.load()) line_signal_changed(*line);
}

// Whether the line has set `unit` aside for not answering: its reads are
// tried only now and then, so nobody waits for them.
bool unit_offline(const FacePool &p, uint8_t unit) {
  const SerialLine *line = p.line.load();
  return line != nullptr && line_unit_offline(*line, unit);
}

// ---- Tickets: which entry an exchange belongs to, and which use of it.

constexpr uint32_t kTicketWrite = 0x80000000u;
constexpr uint32_t kTicketGenerationMask = 0x7FFF;
constexpr int kTicketGenerationShift = 16;
constexpr uint32_t kTicketIndexMask = 0xFFFF;

uint32_t make_ticket(bool write, int index, uint16_t generation) {
  return (write ? kTicketWrite : 0) | (generation & kTicketGenerationMask) << kTicketGenerationShift |
         static_cast<uint32_t>(index);
}

bool ticket_names(uint32_t ticket, uint16_t generation) {
  return (ticket >> kTicketGenerationShift & kTicketGenerationMask) == (generation & kTicketGenerationMask);
}

// ---- Reads (the pool's lock held in all of these).

void stop_polling(FacePool &p, FaceRead &r) {
  if (!r.polled) return;
  r.polled = false;
  r.polled_us = 0;  // armed again, its rate starts afresh
  r.poll_gap_us = 0;
  --p.polled_of_unit[r.request[0]];
  --p.polled_reads;
}

// Nobody asked for the read in the idle time, and nobody waits for it (a
// wait may be longer than the idle time).
bool idle(const FacePool &p, const FaceRead &r, int64_t now) {
  return r.waiters == 0 && now - r.asked_us > p.idle_us;
}

int find_read(const FacePool &p, const uint8_t *key) {
  for (int i = 0; i < kFaceReads; ++i)
    if (p.reads[i].in_use && memcmp(p.reads[i].request, key, kReadKeyLength) == 0) return i;
  return -1;
}

// A free entry, else the one asked for least recently that nobody waits on.
// There are more entries than connections, so one is always found.
int claim_read(FacePool &p, const uint8_t *key) {
  int pick = -1;
  for (int i = 0; i < kFaceReads && (pick < 0 || p.reads[pick].in_use); ++i) {
    const FaceRead &r = p.reads[i];
    if (!r.in_use || (r.waiters == 0 && (pick < 0 || r.asked_us < p.reads[pick].asked_us))) pick = i;
  }
  if (pick < 0) return -1;
  FaceRead &r = p.reads[pick];
  stop_polling(p, r);
  uint16_t generation = static_cast<uint16_t>(r.generation + 1);
  memset(&r, 0, sizeof r);
  r.generation = generation;
  r.in_use = true;
  memcpy(r.request, key, kReadKeyLength);
  MRTU_SealFrame(r.request, kReadKeyLength);
  return pick;
}

bool answer_fresh(const FacePool &p, const FaceRead &r, int64_t now) {
  return r.last_valid && now - r.answer_us <= p.max_age_us;
}

int copy_answer(const uint8_t *from, int n, uint8_t *to) {
  memcpy(to, from, static_cast<size_t>(n));
  return n;
}

// Arms the read for polling; true when it was not polled yet.
bool arm_read(FacePool &p, FaceRead &r) {
  if (r.polled) return false;
  r.polled = true;
  ++p.polled_of_unit[r.request[0]];
  ++p.polled_reads;
  return true;
}

// With the lock held: waits up to the pool's wait for a valid answer after
// the `seen`th; its length in `answer`, or 0. A unit set aside meanwhile
// ends the wait: its next try may be long after the wait.
int await_read(FacePool &p, Locked &held, FaceRead &r, uint32_t seen, int64_t since, uint8_t *answer) {
  bool in_time = true;
  while (p.running && r.valid_answers == seen && in_time && !unit_offline(p, r.request[0]))
    in_time = wait_answered_until(p, held, since + p.wait_us);
  return r.valid_answers != seen ? copy_answer(r.answer, r.answer_length, answer) : 0;
}

// The answer to the read `key` (unit, function, address, quantity), without
// CRC, into `answer`: its length, or 0 when no valid answer came in time,
// at once when the unit is offline.
int pool_read(FacePool &p, const uint8_t *key, uint8_t *answer) {
  int64_t now = monotonic_us();
  int index, cached = 0;
  uint32_t seen = 0;
  bool armed, waits = false;
  {
    Locked held(p.mutex);
    index = find_read(p, key);
    if (index < 0) index = claim_read(p, key);
    if (index < 0) return 0;
    FaceRead &r = p.reads[index];
    r.asked_us = now;
    // Even a read answered at once stays on the line: of an offline unit it
    // is the line's next try.
    armed = arm_read(p, r);
    const bool offline = unit_offline(p, key[0]);
    if (!offline && answer_fresh(p, r, now)) {
      cached = copy_answer(r.answer, r.answer_length, answer);
    } else if (!offline) {
      seen = r.valid_answers;
      ++r.waiters;  // keeps the entry ours while the lock is let go
      waits = true;
    }
  }
  if (armed) wake_worker(p);
  if (!waits) return cached;
  Locked held(p.mutex);
  FaceRead &r = p.reads[index];
  int n = await_read(p, held, r, seen, now, answer);
  --r.waiters;
  return n;
}

// ---- Writes (the pool's lock held).

int queue_write(FacePool &p, const uint8_t *frame, int n) {
  for (int i = 0; i < kFaceWrites; ++i) {
    FaceWrite &w = p.writes[i];
    if (w.state != WriteState::kFree) continue;
    w.state = WriteState::kPending;
    ++w.generation;
    w.order = p.next_order++;
    memcpy(w.request, frame, static_cast<size_t>(n));
    MRTU_SealFrame(w.request, n);
    w.request_length = static_cast<uint8_t>(n + kCrcLength);
    w.answer_length = 0;
    ++p.pending_writes;
    return i;
  }
  return -1;
}

// The client's last look at its write: takes a finished one's answer, and
// makes sure one that is not finished is never sent after this.
int settle_write(FacePool &p, FaceWrite &w, uint8_t *answer) {
  int n = 0;
  switch (w.state) {
    case WriteState::kDone:
      n = copy_answer(w.answer, w.answer_length, answer);
      w.state = WriteState::kFree;
      break;
    case WriteState::kPending:
      --p.pending_writes;
      w.state = WriteState::kFree;
      break;
    case WriteState::kInFlight:
      w.state = WriteState::kAbandoned;
      break;
    default:
      break;
  }
  return n;
}

// Sends the write `frame` (n bytes without CRC) once; the unit's answer as
// pool_read gives it, or 0.
int pool_write(FacePool &p, const uint8_t *frame, int n, uint8_t *answer) {
  int64_t deadline = monotonic_us() + p.wait_us;
  int index;
  {
    Locked held(p.mutex);
    index = queue_write(p, frame, n);
    if (index < 0) return 0;
  }
  wake_worker(p);
  Locked held(p.mutex);
  FaceWrite &w = p.writes[index];
  bool in_time = true;
  while (p.running && w.state != WriteState::kDone && in_time) in_time = wait_answered_until(p, held, deadline);
  return settle_write(p, w, answer);
}

// ---- The worker's side (the pool's lock held).

void fill_exchange(WorkExchange &x, const uint8_t *frame, uint8_t length, uint32_t wait_us, uint32_t ticket) {
  memcpy(x.frame, frame, length);
  x.length = length;
  x.wait_us = wait_us;
  x.ticket = ticket;
}

// The length of the answer in a reply of `length` bytes (CRC included)
// without its CRC; 0 if it was not the answer. Whether it was is the frame
// module's judgement (MRTU_ReplyMatches), made by the worker.
int fitting_answer(int length, bool valid) { return valid ? length - kCrcLength : 0; }

// A gap between two polls counts a quarter into the smoothed one: a rate
// that follows a change within a few polls and does not jump with each.
constexpr int64_t kPollGapWeight = 4;
constexpr int64_t kPollGapLimitUs = UINT32_MAX;

void note_poll(FaceRead &r, int64_t at_us) {
  if (r.polled_us != 0) {
    const int64_t gap = std::clamp<int64_t>(at_us - r.polled_us, 0, kPollGapLimitUs);
    const int64_t smooth = r.poll_gap_us == 0 ? gap : r.poll_gap_us + (gap - r.poll_gap_us) / kPollGapWeight;
    r.poll_gap_us = static_cast<uint32_t>(smooth);
  }
  r.polled_us = at_us;
}

void deliver_read(FacePool &p, int index, uint32_t ticket, const WorkOutcome &o) {
  FaceRead &r = p.reads[index];
  if (!r.in_use || !ticket_names(ticket, r.generation)) return;
  r.in_flight = false;
  if (r.polled) note_poll(r, o.at_us);
  int n = fitting_answer(o.length, o.answered);
  r.last_valid = n > 0;
  if (n == 0) return;
  r.answer_length = copy_answer(o.reply, n, r.answer);
  r.answer_us = o.at_us;
  ++r.valid_answers;
}

void deliver_write(FaceWrite &w, uint32_t ticket, const WorkOutcome &o) {
  if (!ticket_names(ticket, w.generation)) return;
  if (w.state == WriteState::kAbandoned) {
    w.state = WriteState::kFree;
  } else if (w.state == WriteState::kInFlight) {
    w.answer_length = fitting_answer(o.length, o.answered);
    if (w.answer_length > 0) memcpy(w.answer, o.reply, static_cast<size_t>(w.answer_length));
    w.state = WriteState::kDone;
  }
}

// The oldest pending write, if any.
bool take_write(void *context, WorkExchange &x) {
  FacePool &p = *static_cast<FacePool *>(context);
  if (!p.running) return false;
  Locked held(p.mutex);
  if (p.pending_writes == 0) return false;
  int pick = -1;
  for (int i = 0; i < kFaceWrites; ++i)
    if (p.writes[i].state == WriteState::kPending && (pick < 0 || p.writes[i].order < p.writes[pick].order))
      pick = i;
  if (pick < 0) return false;
  FaceWrite &w = p.writes[pick];
  w.state = WriteState::kInFlight;
  --p.pending_writes;
  fill_exchange(x, w.request, w.request_length, p.line_wait_us, make_ticket(true, pick, w.generation));
  return true;
}

// The next read of `unit` to poll, rotating over that unit's reads.
bool take_read(void *context, uint8_t unit, WorkExchange &x) {
  FacePool &p = *static_cast<FacePool *>(context);
  if (!p.running) return false;
  Locked held(p.mutex);
  if (p.polled_of_unit[unit] == 0) return false;
  int64_t now = monotonic_us();
  for (int step = 1; step <= kFaceReads; ++step) {
    int i = (p.cursor_of_unit[unit] + step) % kFaceReads;
    FaceRead &r = p.reads[i];
    if (!r.in_use || !r.polled || r.request[0] != unit || r.in_flight) continue;
    if (idle(p, r, now)) {
      stop_polling(p, r);
      continue;
    }
    p.cursor_of_unit[unit] = static_cast<uint16_t>(i);
    r.in_flight = true;
    fill_exchange(x, r.request, kReadFrameLength, p.line_wait_us, make_ticket(false, i, r.generation));
    return true;
  }
  return false;
}

// The outcome of exchange `x` wakes the clients waiting for it. An outcome
// for an entry reused meanwhile is dropped.
void deliver(void *context, const WorkExchange &x, const WorkOutcome &o) {
  FacePool &p = *static_cast<FacePool *>(context);
  if (!p.running) return;
  uint32_t index = x.ticket & kTicketIndexMask;
  {
    Locked held(p.mutex);
    if ((x.ticket & kTicketWrite) != 0) {
      if (index < kFaceWrites) deliver_write(p.writes[index], x.ticket, o);
    } else if (index < kFaceReads) {
      deliver_read(p, static_cast<int>(index), x.ticket, o);
    }
  }
  pthread_cond_broadcast(&p.answered);
}

// Any read being polled or write pending: the worker must not rest.
bool has_work(void *context) {
  FacePool &p = *static_cast<FacePool *>(context);
  if (!p.running) return false;
  Locked held(p.mutex);
  int64_t now = monotonic_us();
  for (FaceRead &r : p.reads)
    if (r.polled && idle(p, r, now)) stop_polling(p, r);
  return p.polled_reads > 0 || p.pending_writes > 0;
}

// Clears what a start leaves behind, keeping the lock and the condition.
void empty_pool(FacePool &p) {
  memset(static_cast<void *>(p.reads), 0, sizeof p.reads);
  memset(static_cast<void *>(p.writes), 0, sizeof p.writes);
  memset(p.polled_of_unit, 0, sizeof p.polled_of_unit);
  memset(p.cursor_of_unit, 0, sizeof p.cursor_of_unit);
  p.polled_reads = 0;
  p.pending_writes = 0;
  p.next_order = 0;
}

}  // namespace

const char *pool_start(FacePool &pool, const PoolSettings &s) {
  // A client whose face could not wait for its answer must not start.
  if (!pool.answered_ready) {
    int err = init_monotonic_cond(pool.answered);
    if (err != 0) return strerror(err);
    pool.answered_ready = true;
  }
  Locked held(pool.mutex);
  empty_pool(pool);
  pool.wait_us = static_cast<int64_t>(s.wait_ms) * 1000;
  pool.max_age_us = static_cast<int64_t>(s.max_age_ms) * 1000;
  pool.idle_us = static_cast<int64_t>(s.idle_ms) * 1000;
  // A client never waits longer for its answer than WAIT_MS, so neither
  // does the line for the first byte of it.
  const uint32_t wait_ms = s.timeout_ms < s.wait_ms ? s.timeout_ms : s.wait_ms;
  pool.line_wait_us = wait_ms * 1000;
  pool.running = true;
  return nullptr;
}

void pool_attach(FacePool &pool, SerialLine &line) {
  pool.line = &line;
  const WorkSource source = pool_work_source(pool);
  line_set_work(line, &source);
}

void pool_stop(FacePool &pool) {
  if (SerialLine *line = pool.line.exchange(nullptr)) line_set_work(*line, nullptr);
  {
    Locked held(pool.mutex);
    pool.running = false;
  }
  if (pool.answered_ready) pthread_cond_broadcast(&pool.answered);
}

int pool_ask(FacePool &pool, const uint8_t *frame, int n, uint8_t *answer) {
  return MRTU_IsRead(frame[1]) ? pool_read(pool, frame, answer) : pool_write(pool, frame, n, answer);
}

FaceAnswer pool_answer(FacePool &pool, uint8_t unit, const uint8_t *pdu, int n, bool may_write, uint8_t *answer) {
  FaceAnswer a = {0, 0, false};
  a.code = check_request_from(unit, pdu, n, may_write, &a.write_refused);
  if (a.code != 0) return a;
  uint8_t frame[kFaceFrameSize];
  a.length = pool_ask(pool, frame, rtu_request_frame(unit, pdu, n, frame), answer);
  if (a.length == 0) a.code = kExTargetNoResponse;
  return a;
}

WorkSource pool_work_source(FacePool &pool) { return {&pool, take_write, take_read, deliver, has_work}; }

int pool_copy_reads(FacePool &pool, FaceReadCopy *to, int capacity) {
  // A pool no face started is left untouched, its pages unread.
  if (!pool.running) return 0;
  int n = 0;
  Locked held(pool.mutex);
  for (const FaceRead &r : pool.reads) {
    if (n == capacity) break;
    if (!r.polled) continue;
    FaceReadCopy &c = to[n++];
    memcpy(c.key, r.request, kReadKeyLength);
    c.last_valid = r.last_valid;
    c.answer_us = r.valid_answers != 0 ? r.answer_us : 0;
    c.asked_us = r.asked_us;
    c.polled_us = r.polled_us;
    c.poll_gap_us = r.poll_gap_us;
  }
  return n;
}
