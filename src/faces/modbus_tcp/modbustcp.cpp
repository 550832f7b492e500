// modbustcp: the Modbus TCP face of the gateway.
//
// Each connection has a thread of its own that reads MBAP frames in order,
// checks them, and hands reads to the pool and writes to the write queue.
// The serial worker takes the pool's due reads and queued writes, exchanges
// them on the line and publishes the outcomes; FaceAnswered wakes the
// clients waiting for them. FaceMutex guards the pool and the connection
// table only, never a socket or the line, so a cached answer is a copy under
// a short lock.
#include "modbustcp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "access.h"
#include "frame.h"
#include "locked.h"
#include "modbusRTU.h"
#include "sleep_us.h"
#include "thread_start.h"

// ---- Codec -----------------------------------------------------------------------

namespace {

// An exception answer without its CRC: unit, function | 0x80, code.
constexpr int kExceptionAnswerLength = kExceptionReplyLength - kCrcLength;

uint16_t get_be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put_be16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

MbapHeader mbap_read_header(const uint8_t *adu) {
  return {get_be16(adu + kMbapTransaction), get_be16(adu + kMbapProtocol), get_be16(adu + kMbapLength),
          adu[kMbapUnit]};
}

bool mbap_header_sane(const MbapHeader &h) {
  // The length counts the unit id and the PDU, which holds a function code.
  return h.protocol == 0 && h.length >= 2 && h.length <= 1 + kMbapMaxPdu;
}

uint8_t check_request(uint8_t unit, const uint8_t *pdu, int n) {
  // Broadcasts get no answer to relay, and reserved ids route nowhere.
  if (unit < kFirstUnit || unit > kLastUnit) return kExPathUnavailable;
  if (n < 1 || n > kMbapMaxPdu) return kExIllegalValue;
  uint8_t frame[1 + kMbapMaxPdu];
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

int mbap_response(const MbapHeader &h, const uint8_t *answer, int n, uint8_t *out) {
  put_be16(out + kMbapTransaction, h.transaction);
  put_be16(out + kMbapProtocol, 0);
  put_be16(out + kMbapLength, static_cast<uint16_t>(n));
  out[kMbapUnit] = h.unit;
  memcpy(out + kMbapHeaderSize, answer + 1, static_cast<size_t>(n - 1));
  return kMbapHeaderSize - 1 + n;
}

int mbap_exception(const MbapHeader &h, uint8_t function, uint8_t code, uint8_t *out) {
  const uint8_t answer[kExceptionAnswerLength] = {h.unit, static_cast<uint8_t>(function | kExceptionBit), code};
  return mbap_response(h, answer, kExceptionAnswerLength, out);
}

// ---- The pool --------------------------------------------------------------------

namespace {

constexpr int kReadFrameLength = 8;  // unit, function, address, quantity, CRC
constexpr int kReadKeyLength = 6;    // the same without the CRC
constexpr int kUnitIds = 256;
// Every connection waits for at most one write; one more may still be on
// the line after its client gave up.
constexpr int kFaceWrites = kFaceConnections + 1;

struct FaceRead {
  bool in_use;
  bool polled;        // the worker exchanges it in its unit's turns
  bool in_flight;     // taken by the worker, outcome not yet published
  bool last_valid;    // the most recent exchange brought a fitting answer
  uint16_t generation;  // bumped when the entry is reused
  uint16_t waiters;     // clients waiting for its next answer: never dropped
  uint8_t request[kReadFrameLength];  // sealed; the first six bytes are the key
  uint8_t answer[kFaceFrameSize];     // last valid answer, without CRC
  int answer_length;
  uint32_t valid_answers;  // counts answers, so a waiter sees a new one
  int64_t answer_us;       // when the last valid answer came
  int64_t asked_us;        // when a client last asked
};

// A queued write moves Pending -> InFlight -> Done; its client frees it. A
// client that gives up frees a Pending write (it never reaches the line) and
// marks an InFlight one Abandoned, which the publish frees.
enum class WriteState : uint8_t { kFree, kPending, kInFlight, kDone, kAbandoned };

struct FaceWrite {
  WriteState state;
  uint16_t generation;
  uint64_t order;  // queue position: lower goes first
  uint8_t request[kFaceFrameSize];
  uint8_t request_length;
  uint8_t answer[kFaceFrameSize];
  int answer_length;  // 0: no valid answer
};

struct FacePool {
  FaceRead reads[kFaceReads];
  FaceWrite writes[kFaceWrites];
  uint16_t polled_of_unit[kUnitIds];
  uint16_t cursor_of_unit[kUnitIds];  // the read of the unit taken last
  int polled_reads;
  int pending_writes;
  uint64_t next_order;
  int64_t wait_us;
  int64_t max_age_us;
  int64_t idle_us;
  uint32_t line_wait_us;  // the line's wait for a reply's first byte
  void (*wake_worker)();
};

// Static storage: no allocation at run time, and its pages stay untouched
// while the face is off.
FacePool face;
pthread_mutex_t FaceMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t FaceAnswered;  // an outcome was published, or a connection ended
pthread_once_t face_cond_once = PTHREAD_ONCE_INIT;
std::atomic<bool> face_running{false};

class FaceLock {
 public:
  FaceLock() { pthread_mutex_lock(&FaceMutex); }
  ~FaceLock() { pthread_mutex_unlock(&FaceMutex); }
  FaceLock(const FaceLock &) = delete;
  FaceLock &operator=(const FaceLock &) = delete;
};

// With FaceMutex held: waits for FaceAnswered until the monotonic time
// `deadline_us`; false once it has passed.
bool wait_answered_until(int64_t deadline_us) {
  struct timespec at = {static_cast<time_t>(deadline_us / 1000000),
                        static_cast<long>(deadline_us % 1000000) * 1000L};
  return pthread_cond_timedwait(&FaceAnswered, &FaceMutex, &at) != ETIMEDOUT;
}

void wake_worker(const FacePool &p) {
  if (p.wake_worker != nullptr) p.wake_worker();
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

// ---- Reads (FaceMutex held in all of these).

void stop_polling(FacePool &p, FaceRead &r) {
  if (!r.polled) return;
  r.polled = false;
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

// With FaceMutex held: waits up to the pool's wait for a valid answer after
// the `seen`th; its length in `answer`, or 0.
int await_read(FacePool &p, FaceRead &r, uint32_t seen, int64_t since, uint8_t *answer) {
  bool in_time = true;
  while (face_running && r.valid_answers == seen && in_time) in_time = wait_answered_until(since + p.wait_us);
  return r.valid_answers != seen ? copy_answer(r.answer, r.answer_length, answer) : 0;
}

// The answer to the read `key` (unit, function, address, quantity), without
// CRC, into `answer`: its length, or 0 when no valid answer came in time.
int face_read(FacePool &p, const uint8_t *key, uint8_t *answer) {
  int64_t now = monotonic_us();
  int index, cached = 0;
  uint32_t seen = 0;
  bool armed;
  {
    FaceLock lock;
    index = find_read(p, key);
    if (index < 0) index = claim_read(p, key);
    if (index < 0) return 0;
    FaceRead &r = p.reads[index];
    r.asked_us = now;
    armed = arm_read(p, r);  // even a cached answer keeps its read on the line
    if (answer_fresh(p, r, now)) {
      cached = copy_answer(r.answer, r.answer_length, answer);
    } else {
      seen = r.valid_answers;
      ++r.waiters;  // keeps the entry ours while the lock is let go
    }
  }
  if (armed) wake_worker(p);
  if (cached > 0) return cached;
  FaceLock lock;
  FaceRead &r = p.reads[index];
  int n = await_read(p, r, seen, now, answer);
  --r.waiters;
  return n;
}

// ---- Writes (FaceMutex held).

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
// face_read gives it, or 0.
int face_write(FacePool &p, const uint8_t *frame, int n, uint8_t *answer) {
  int64_t deadline = monotonic_us() + p.wait_us;
  int index;
  {
    FaceLock lock;
    index = queue_write(p, frame, n);
    if (index < 0) return 0;
  }
  wake_worker(p);
  FaceLock lock;
  FaceWrite &w = p.writes[index];
  bool in_time = true;
  while (face_running && w.state != WriteState::kDone && in_time) in_time = wait_answered_until(deadline);
  return settle_write(p, w, answer);
}

// ---- Worker side (FaceMutex held).

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

void publish_read(FacePool &p, int index, uint32_t ticket, const uint8_t *reply, int length, bool valid,
                  int64_t now) {
  FaceRead &r = p.reads[index];
  if (!r.in_use || !ticket_names(ticket, r.generation)) return;
  r.in_flight = false;
  int n = fitting_answer(length, valid);
  r.last_valid = n > 0;
  if (n == 0) return;
  r.answer_length = copy_answer(reply, n, r.answer);
  r.answer_us = now;
  ++r.valid_answers;
}

void publish_write(FaceWrite &w, uint32_t ticket, const uint8_t *reply, int length, bool valid) {
  if (!ticket_names(ticket, w.generation)) return;
  if (w.state == WriteState::kAbandoned) {
    w.state = WriteState::kFree;
  } else if (w.state == WriteState::kInFlight) {
    w.answer_length = fitting_answer(length, valid);
    if (w.answer_length > 0) memcpy(w.answer, reply, static_cast<size_t>(w.answer_length));
    w.state = WriteState::kDone;
  }
}

}  // namespace

namespace {

bool take_write(void *, WorkExchange &x) {
  if (!face_running) return false;
  FaceLock lock;
  if (face.pending_writes == 0) return false;
  int pick = -1;
  for (int i = 0; i < kFaceWrites; ++i)
    if (face.writes[i].state == WriteState::kPending && (pick < 0 || face.writes[i].order < face.writes[pick].order))
      pick = i;
  if (pick < 0) return false;
  FaceWrite &w = face.writes[pick];
  w.state = WriteState::kInFlight;
  --face.pending_writes;
  fill_exchange(x, w.request, w.request_length, face.line_wait_us, make_ticket(true, pick, w.generation));
  return true;
}

bool take_read(void *, uint8_t unit, WorkExchange &x) {
  if (!face_running) return false;
  FaceLock lock;
  if (face.polled_of_unit[unit] == 0) return false;
  int64_t now = monotonic_us();
  for (int step = 1; step <= kFaceReads; ++step) {
    int i = (face.cursor_of_unit[unit] + step) % kFaceReads;
    FaceRead &r = face.reads[i];
    if (!r.in_use || !r.polled || r.request[0] != unit || r.in_flight) continue;
    if (idle(face, r, now)) {
      stop_polling(face, r);
      continue;
    }
    face.cursor_of_unit[unit] = static_cast<uint16_t>(i);
    r.in_flight = true;
    fill_exchange(x, r.request, kReadFrameLength, face.line_wait_us, make_ticket(false, i, r.generation));
    return true;
  }
  return false;
}

void publish(void *, const WorkExchange &x, const WorkOutcome &o) {
  if (!face_running) return;
  uint32_t index = x.ticket & kTicketIndexMask;
  {
    FaceLock lock;
    if ((x.ticket & kTicketWrite) != 0) {
      if (index < kFaceWrites) publish_write(face.writes[index], x.ticket, o.reply, o.length, o.answered);
    } else if (index < kFaceReads) {
      publish_read(face, static_cast<int>(index), x.ticket, o.reply, o.length, o.answered, o.at_us);
    }
  }
  pthread_cond_broadcast(&FaceAnswered);
}

bool has_work(void *) {
  if (!face_running) return false;
  FaceLock lock;
  int64_t now = monotonic_us();
  for (FaceRead &r : face.reads)
    if (r.polled && idle(face, r, now)) stop_polling(face, r);
  return face.polled_reads > 0 || face.pending_writes > 0;
}

}  // namespace

WorkSource modbustcp_work_source() { return {nullptr, take_write, take_read, publish, has_work}; }

// ---- Connections -----------------------------------------------------------------

namespace {

// A client that sends nothing for a minute is gone or has forgotten us; its
// place goes back. A client that does not take its answer within this long
// is stuck.
constexpr int kConnectionIdleMs = 60000;
constexpr int kSendWaitMs = 5000;
constexpr int kListenWaitMs = 10000;
constexpr uint32_t kAcceptFailureRestUs = 100000;
constexpr int64_t kStopWaitUs = 5000000;
// A burst of clients connecting at once must not overflow the backlog: a
// dropped SYN costs its client a second before the retry.
constexpr int kBacklog = kFaceConnections;

struct FaceServer {
  int listen_fd = -1;
  int stop_pipe[2] = {-1, -1};
  pthread_t listener;
  NetEndpoint bound;
  const AllowList *allow = nullptr;
  int conn_fd[kFaceConnections];  // -1: free; guarded by FaceMutex
  int connections;                // guarded by FaceMutex
};

FaceServer server;

struct FaceCounters {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> full{0};
  std::atomic<uint64_t> connected{0};
  std::atomic<uint64_t> by_status[kFaceStatusOther + 1];
};

FaceCounters counters;

// Bytes read from a connection and not yet answered: room for a whole
// request after any incomplete one, so pipelined requests are read in bulk.
struct InBuffer {
  uint8_t bytes[2 * kMbapMaxAdu];
  int length;
};

constexpr int kConnectionEnds = -1;

// Waits for a request's next bytes; a signal does not end the wait, it
// starts it over.
bool wait_readable(int fd, int timeout_ms) {
  int w;
  do {
    w = net_wait_ready(fd, POLLIN, timeout_ms);
  } while (w == kNetFailed && errno == EINTR);
  return w == kNetReady;
}

// The next whole request into `adu`: its length, or kConnectionEnds when the
// peer closed, stayed silent too long or sent a frame that breaks the stream.
int next_request(int fd, InBuffer &in, uint8_t *adu) {
  for (;;) {
    if (in.length >= kMbapHeaderSize) {
      MbapHeader h = mbap_read_header(in.bytes);
      if (!mbap_header_sane(h)) return kConnectionEnds;
      int total = kMbapHeaderSize - 1 + h.length;
      if (in.length >= total) {
        memcpy(adu, in.bytes, static_cast<size_t>(total));
        in.length -= total;
        memmove(in.bytes, in.bytes + total, static_cast<size_t>(in.length));
        return total;
      }
    }
    if (!wait_readable(fd, kConnectionIdleMs)) return kConnectionEnds;
    ssize_t r = recv(fd, in.bytes + in.length, sizeof in.bytes - static_cast<size_t>(in.length), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return kConnectionEnds;
    in.length += static_cast<int>(r);
  }
}

void count_answer(const uint8_t *response) {
  uint8_t function = response[kMbapHeaderSize];
  uint8_t code = response[kMbapHeaderSize + 1];
  int slot = (function & kExceptionBit) == 0 ? 0 : code < kFaceStatusOther ? code : kFaceStatusOther;
  counters.by_status[slot].fetch_add(1, std::memory_order_relaxed);
}

// The response to one whole request `adu` of n bytes; its length.
int answer_request(const uint8_t *adu, int n, uint8_t *out) {
  MbapHeader h = mbap_read_header(adu);
  const uint8_t *pdu = adu + kMbapHeaderSize;
  int pdu_length = n - kMbapHeaderSize;
  uint8_t code = check_request(h.unit, pdu, pdu_length);
  if (code != 0) return mbap_exception(h, pdu[0], code, out);
  uint8_t frame[kFaceFrameSize];
  uint8_t answer[kFaceFrameSize];
  int length = rtu_request_frame(h.unit, pdu, pdu_length, frame);
  int got = MRTU_IsRead(pdu[0]) ? face_read(face, frame, answer) : face_write(face, frame, length, answer);
  if (got == 0) return mbap_exception(h, pdu[0], kExTargetNoResponse, out);
  return mbap_response(h, answer, got, out);
}

void end_connection(int slot) {
  {
    FaceLock lock;
    close(server.conn_fd[slot]);  // under the lock: a stop never shuts down a reused number
    server.conn_fd[slot] = -1;
    --server.connections;
  }
  counters.connected.fetch_sub(1, std::memory_order_relaxed);
  pthread_cond_broadcast(&FaceAnswered);
}

// Requests of one connection are answered one after another, in order.
void *serve_connection(void *arg) {
  int slot = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  int fd;
  {
    FaceLock lock;
    fd = server.conn_fd[slot];
  }
  InBuffer in;
  in.length = 0;
  uint8_t adu[kMbapMaxAdu];
  uint8_t out[kMbapMaxAdu];
  for (;;) {
    int n = next_request(fd, in, adu);
    if (n == kConnectionEnds) break;
    int m = answer_request(adu, n, out);
    count_answer(out);
    if (!net_send_all(fd, out, static_cast<size_t>(m), monotonic_us() + kSendWaitMs * 1000)) break;
  }
  end_connection(slot);
  return nullptr;
}

// A free place for `fd`, or -1 when every place is taken.
int take_connection_slot(int fd) {
  FaceLock lock;
  for (int i = 0; i < kFaceConnections; ++i) {
    if (server.conn_fd[i] >= 0) continue;
    server.conn_fd[i] = fd;
    ++server.connections;
    return i;
  }
  return -1;
}

void accept_one() {
  struct sockaddr_storage peer;
  // A peer outside the allowed networks is closed before it takes a place.
  int fd = net_accept(server.listen_fd, server.allow, 0, peer, &counters.refused);
  if (fd == kAcceptFailed) {
    // Out of descriptors, or the peer gave up before we took it: rest, so a
    // lasting failure does not spin.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) sleep_us(kAcceptFailureRestUs);
  }
  if (fd < 0) return;
  // Answers are small and each one is awaited: send them at once. Without
  // the option they still go, a little later; no reason to refuse a client.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int slot = take_connection_slot(fd);
  // Full: a clear refusal beats a hang in the backlog. Each refusal is
  // counted before the close, so whoever sees the close finds it counted.
  if (slot < 0) {
    counters.full.fetch_add(1, std::memory_order_relaxed);
    close(fd);
    return;
  }
  counters.accepted.fetch_add(1, std::memory_order_relaxed);
  counters.connected.fetch_add(1, std::memory_order_relaxed);
  pthread_t thread;
  if (start_thread(&thread, serve_connection, reinterpret_cast<void *>(static_cast<intptr_t>(slot)), true) != 0)
    end_connection(slot);
}

void *listen_loop(void *) {
  for (;;) {
    struct pollfd fds[2] = {{server.listen_fd, POLLIN, 0}, {server.stop_pipe[0], POLLIN, 0}};
    int r = poll(fds, 2, kListenWaitMs);
    if (r < 0 && errno != EINTR) sleep_us(kAcceptFailureRestUs);
    if (r <= 0) continue;
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) accept_one();
  }
  return nullptr;
}

// The result of setting FaceAnswered up, once for the process: a face whose
// clients could not wait for their answers must not start.
int answered_cond_error;

void init_answered_cond() { answered_cond_error = init_monotonic_cond(FaceAnswered); }

void close_server_fds() {
  for (int *fd : {&server.listen_fd, &server.stop_pipe[0], &server.stop_pipe[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

// The listening socket and the port actually bound: 0, or the errno of the
// step that failed (nothing is open then).
int open_listener(const NetEndpoint &e) {
  NetListener opened;
  if (net_listen(e, {kBacklog, false}, opened) != nullptr) return opened.error;
  server.listen_fd = opened.fd;
  server.bound = opened.bound;
  return 0;
}

void reset_pool(const ModbusTcpSettings &s) {
  FaceLock lock;
  memset(&face, 0, sizeof face);
  face.wait_us = static_cast<int64_t>(s.wait_ms) * 1000;
  face.max_age_us = static_cast<int64_t>(s.max_age_ms) * 1000;
  face.idle_us = static_cast<int64_t>(s.idle_ms) * 1000;
  // A client never waits longer for its answer than WAIT_MS, so neither
  // does the line for the first byte of it.
  const uint32_t wait_ms = s.timeout_ms < s.wait_ms ? s.timeout_ms : s.wait_ms;
  face.line_wait_us = wait_ms * 1000;
  face.wake_worker = s.wake_worker;
  for (int &fd : server.conn_fd) fd = -1;
  server.connections = 0;
}

}  // namespace

int modbustcp_bind(const ModbusTcpSettings &settings) {
  if (face_running || server.listen_fd >= 0) return EALREADY;
  {
    FaceLock lock;
    if (server.connections > 0) return EBUSY;  // threads of a stop that timed out
  }
  pthread_once(&face_cond_once, init_answered_cond);
  if (answered_cond_error != 0) return answered_cond_error;
  reset_pool(settings);
  server.allow = settings.allow;
  for (auto &c : counters.by_status) c.store(0);
  counters.accepted = counters.refused = counters.full = counters.connected = 0;
  int err = open_listener(settings.endpoint);
  if (err == 0 && pipe2(server.stop_pipe, O_CLOEXEC) != 0) err = errno;
  if (err != 0) close_server_fds();
  return err;
}

int modbustcp_serve() {
  if (server.listen_fd < 0) return EBADF;
  if (face_running) return EALREADY;
  face_running = true;
  int err = start_thread(&server.listener, listen_loop, nullptr, false);
  if (err != 0) {
    face_running = false;
    close_server_fds();
  }
  return err;
}

int modbustcp_start(const ModbusTcpSettings &settings) {
  int err = modbustcp_bind(settings);
  return err != 0 ? err : modbustcp_serve();
}

NetEndpoint modbustcp_endpoint() { return server.bound; }

void modbustcp_stop() {
  if (!face_running) {  // bound, but never served: only the descriptors to close
    close_server_fds();
    return;
  }
  face_running = false;
  const uint8_t stop = 1;
  if (write(server.stop_pipe[1], &stop, 1) == 1) pthread_join(server.listener, nullptr);
  int64_t deadline = monotonic_us() + kStopWaitUs;
  {
    FaceLock lock;
    for (int fd : server.conn_fd)
      if (fd >= 0) shutdown(fd, SHUT_RDWR);
    pthread_cond_broadcast(&FaceAnswered);
    while (server.connections > 0 && wait_answered_until(deadline)) {
    }
  }
  close_server_fds();
}

ModbusTcpCounters modbustcp_counters() {
  ModbusTcpCounters c{};
  c.accepted = counters.accepted.load();
  c.refused = counters.refused.load();
  c.full = counters.full.load();
  c.connected = counters.connected.load();
  for (int i = 0; i <= kFaceStatusOther; ++i) c.by_status[i] = counters.by_status[i].load();
  return c;
}
