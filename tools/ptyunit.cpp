#include "ptyunit.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace ptyunit {
namespace {

// Request fields, at these offsets for every function with a known shape.
constexpr size_t kUnitAt = 0;
constexpr size_t kFunctionAt = 1;
constexpr size_t kHeaderSize = 2;            // unit and function
constexpr size_t kFixedRequestSize = 6;      // functions 1 to 6 and 8
constexpr size_t kFifoRequestSize = 4;       // function 24
constexpr size_t kMaskWriteRequestSize = 8;  // function 22
constexpr size_t kDeviceIdRequestSize = 5;   // function 43, MEI type 14
constexpr size_t kMeiTypeAt = 2;
constexpr uint8_t kMeiDeviceIdentification = 14;
// Requests whose length a byte count gives: where the count sits; the data
// it counts follows it directly.
constexpr size_t kWriteByteCountAt = 6;       // functions 15 and 16
constexpr size_t kFileByteCountAt = 2;        // functions 20 and 21
constexpr size_t kReadWriteByteCountAt = 10;  // function 23
constexpr size_t kCrcSize = 2;

constexpr uint16_t kPolynomial = 0xA001;  // 0x8005 reflected
constexpr int kCharBits = 11;
constexpr uint8_t kLastUnit = 247;
constexpr uint8_t kExceptionBit = 0x80;
// With nobody on the slave end a pty master reports a hang-up at once and
// for as long as it lasts: wait this long instead of spinning.
constexpr int64_t kHangUpPauseUs = 1000;

struct timespec timespec_from_us(int64_t us) {
  return {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

void sleep_us(int64_t us) {
  if (us <= 0) return;
  struct timespec ts = timespec_from_us(us);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::vector<uint8_t> sealed(std::vector<uint8_t> payload, const Shape &shape) {
  if (payload.empty()) return payload;
  std::vector<uint8_t> out =
      with_crc(misshape(std::move(payload), shape.wrong_unit, shape.wrong_function, shape.short_answer));
  if (shape.wrong_crc) {
    out[out.size() - 2] ^= 0xFF;
    out[out.size() - 1] ^= 0xFF;
  }
  return out;
}

// Length with CRC of a request whose byte count sits at `at`; 0 while the
// count is not in yet.
size_t counted_length(const std::vector<uint8_t> &bytes, size_t at) {
  return bytes.size() > at ? at + 1 + bytes[at] + kCrcSize : 0;
}

}  // namespace

// ------------------------------------------------------------ frame rules

uint16_t crc16(const uint8_t *data, size_t length, uint16_t start) {
  uint16_t crc = start;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kPolynomial : crc >> 1;
  }
  return crc;
}

uint16_t crc16(const std::vector<uint8_t> &bytes) { return crc16(bytes.data(), bytes.size()); }

std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes) {
  uint16_t crc = crc16(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

bool crc_ok(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < kCrcSize) return false;
  size_t n = bytes.size() - kCrcSize;
  return crc16(bytes.data(), n) == (bytes[n] | (bytes[n + 1] << 8));
}

size_t request_length(const std::vector<uint8_t> &bytes) {
  if (bytes.size() <= kFunctionAt) return 0;
  switch (bytes[kFunctionAt]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return kFixedRequestSize + kCrcSize;
    case 7:
    case 11:
    case 12:
    case 17:
      return kHeaderSize + kCrcSize;
    case 8:
      // A sub-function and one data word, which is what all but "return
      // query data" carry; an echo request of other length fails the CRC
      // here and ends on silence.
      return kFixedRequestSize + kCrcSize;
    case 22:
      return kMaskWriteRequestSize + kCrcSize;
    case 24:
      return kFifoRequestSize + kCrcSize;
    case 43:
      if (bytes.size() <= kMeiTypeAt) return 0;
      return bytes[kMeiTypeAt] == kMeiDeviceIdentification ? kDeviceIdRequestSize + kCrcSize : 0;
    case 15:
    case 16:
      return counted_length(bytes, kWriteByteCountAt);
    case 20:
    case 21:
      return counted_length(bytes, kFileByteCountAt);
    case 23:
      return counted_length(bytes, kReadWriteByteCountAt);
    default:
      return 0;
  }
}

std::vector<uint8_t> misshape(std::vector<uint8_t> reply, bool wrong_unit, bool wrong_function, bool short_answer) {
  if (reply.size() <= kFunctionAt) return reply;
  if (wrong_unit) reply[kUnitAt] = static_cast<uint8_t>(reply[kUnitAt] % kLastUnit + 1);
  if (wrong_function) {
    uint8_t fc = reply[kFunctionAt] & ~kExceptionBit;
    // 1<->2, 3<->4, 5<->6 and 15<->16 answer in the same layout.
    uint8_t other = fc == 15 ? 16 : fc == 16 ? 15 : (fc % 2 ? fc + 1 : fc - 1);
    reply[kFunctionAt] = static_cast<uint8_t>(other | (reply[kFunctionAt] & kExceptionBit));
  }
  if (short_answer) reply.pop_back();
  return reply;
}

std::vector<uint8_t> garbage(size_t n) {
  std::vector<uint8_t> g(n);
  uint32_t x = 0x2545F491u;
  for (auto &b : g) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  if (crc_ok(g)) g.back() ^= 0x01;
  return g;
}

int64_t char_time_us(int baud) { return (kCharBits * 1000000LL + baud - 1) / baud; }

int64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::vector<uint8_t> answer_bytes(const Shape &shape, const PayloadFn &payload) {
  if (shape.raw) return *shape.raw;
  if (shape.flood > 0) return garbage(shape.flood);
  return sealed(payload(), shape);
}

// ------------------------------------------------------------------ Line

Line::Line(int fd, FrameHandler on_frame, SentHandler on_sent)
    : fd_(fd), on_frame_(std::move(on_frame)), on_sent_(std::move(on_sent)) {
  saved_flags_ = fcntl(fd_, F_GETFL);
  if (saved_flags_ >= 0) fcntl(fd_, F_SETFL, saved_flags_ | O_NONBLOCK);
}

Line::~Line() {
  if (saved_flags_ >= 0) fcntl(fd_, F_SETFL, saved_flags_);
}

void Line::step(int64_t max_wait_us, const sigset_t *mask) {
  int64_t now = now_us();
  bool want_out = write_due(now);
  now = now_us();
  if (!rx_.empty() && now - rx_last_us_ >= silence_us_) {
    emit(rx_, rx_first_us_, rx_last_us_);
    rx_.clear();
  }

  int64_t wait = max_wait_us;
  if (!out_.empty() && !want_out) wait = std::min(wait, out_.front().due_us - now);
  if (!rx_.empty()) wait = std::min(wait, rx_last_us_ + silence_us_ - now);
  wait = std::max<int64_t>(wait, 0);
  struct pollfd p = {fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
  struct timespec ts = {0, 0};
  if (wait != kNoLimit) ts = timespec_from_us(wait);
  int r = ppoll(&p, 1, wait == kNoLimit ? nullptr : &ts, mask);
  if (r <= 0) return;

  bool hung_up = (p.revents & (POLLHUP | POLLERR)) != 0;
  if (p.revents & POLLIN) {
    ssize_t n = receive();
    if (n > 0)
      hung_up = false;
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
      hung_up = true;
  }
  if (hung_up) sleep_us(std::min(wait, kHangUpPauseUs));
}

// The read's result; errno tells why when it is negative.
ssize_t Line::receive() {
  uint8_t buf[512];
  ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) return n;
  int64_t t = now_us();
  if (rx_.empty()) rx_first_us_ = t;
  rx_.insert(rx_.end(), buf, buf + n);
  rx_last_us_ = t;
  split_complete_requests();
  if (max_frame_bytes_ > 0 && rx_.size() > max_frame_bytes_) {
    emit(rx_, rx_first_us_, rx_last_us_);
    rx_.clear();
  }
  return n;
}

// Hands over complete known requests from the front of rx_ without waiting
// for the silence; what remains waits for more bytes or for the silence.
void Line::split_complete_requests() {
  for (;;) {
    size_t len = request_length(rx_);
    if (len == 0 || rx_.size() < len) return;
    std::vector<uint8_t> head(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(len));
    if (!crc_ok(head)) return;
    emit(head, rx_first_us_, rx_last_us_);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(len));
    rx_first_us_ = rx_last_us_;
    if (rx_.empty()) return;
  }
}

void Line::emit(const std::vector<uint8_t> &bytes, int64_t first_us, int64_t last_us) {
  Frame f;
  f.bytes = bytes;
  f.first_us = first_us;
  f.last_us = last_us;
  on_frame_(f, *this);
}

void Line::answer(const Frame &request, const Shape &shape, const PayloadFn &payload, std::string note) {
  if (shape.silent) return;
  Outgoing o;
  o.bytes = answer_bytes(shape, payload);
  o.piece = shape.piece;
  o.first_piece = shape.first_piece;
  o.gap_us = shape.gap_us;
  if (shape.pace_baud > 0) {
    o.piece = 1;
    o.first_piece = 0;
    o.pace_us = char_time_us(shape.pace_baud);
  }
  o.due_us = request.last_us + shape.delay_us;
  o.note = std::move(note);
  o.unit = request.unit();
  enqueue(std::move(o));
}

void Line::send(std::vector<uint8_t> bytes, int64_t start_us, size_t piece, int64_t gap_us, size_t first_piece,
                std::string note) {
  Outgoing o;
  o.bytes = std::move(bytes);
  o.piece = piece;
  o.first_piece = first_piece;
  o.gap_us = gap_us;
  o.due_us = start_us;
  o.note = std::move(note);
  enqueue(std::move(o));
}

void Line::enqueue(Outgoing o) {
  if (o.bytes.empty()) return;
  if (o.piece == 0) o.piece = o.bytes.size();
  if (o.first_piece == 0) o.first_piece = o.piece;
  out_.push_back(std::move(o));
}

void Line::drop_replies(uint8_t unit) {
  if (unit == kNoUnit) return;
  for (auto it = out_.begin(); it != out_.end();) {
    if (it->unit != unit) {
      ++it;
      continue;
    }
    Outgoing o = std::move(*it);
    it = out_.erase(it);
    if (on_sent_) on_sent_(o.bytes, o.note, ECANCELED);
  }
}

// Where the next write ends. A paced reply has byte k due k character times
// after its first byte, as on a wire: a late wake-up catches up instead of
// stretching the reply, and no byte ever goes out ahead of its time.
size_t Line::Outgoing::next_piece_end(int64_t now) const {
  if (pace_us > 0) {
    size_t due = static_cast<size_t>((now - start_us) / pace_us) + 1;
    return std::min(std::max(due, pos + 1), bytes.size());
  }
  return std::min(pos + (pos == 0 ? first_piece : piece), bytes.size());
}

// Writes whatever is due; true when the front reply is due but the pty would
// not take it now (then wait for room).
bool Line::write_due(int64_t now) {
  while (!out_.empty()) {
    Outgoing &o = out_.front();
    if (o.due_us > now) return false;
    std::unique_lock<std::mutex> lock(sent_mutex_);
    if (o.pos == 0 && o.piece_end == 0) o.start_us = now;
    if (o.pos == o.piece_end) o.piece_end = o.next_piece_end(now);
    ssize_t n = write(fd_, o.bytes.data() + o.pos, o.piece_end - o.pos);
    if (n < 0) {
      int error = errno;
      if (error == EAGAIN || error == EINTR) return true;
      lock.unlock();
      finish_front(error);  // the line is gone; drop the reply
      continue;
    }
    int64_t t = now_us();
    record_locked(o, static_cast<size_t>(n), t);
    lock.unlock();
    o.pos += static_cast<size_t>(n);
    if (o.pos < o.piece_end) return true;  // the rest of this piece as soon as possible
    if (o.pos < o.bytes.size()) {
      o.due_us = o.pace_us > 0 ? o.start_us + static_cast<int64_t>(o.pos) * o.pace_us : t + o.gap_us;
      return false;
    }
    finish_front(0);
    now = now_us();
    if (!out_.empty()) out_.front().due_us = std::max(out_.front().due_us, now);
  }
  return false;
}

void Line::finish_front(int error) {
  Outgoing o = std::move(out_.front());
  out_.pop_front();
  if (on_sent_) on_sent_(o.bytes, o.note, error);
}

void Line::record_locked(Outgoing &o, size_t n, int64_t t) {
  if (!keep_sent_) return;
  if (!o.recorded) {
    o.recorded = true;
    o.record = sent_count_++;
    sent_.push_back(Frame{});
  }
  if (o.record < sent_base_) return;  // cleared meanwhile
  Frame &f = sent_[o.record - sent_base_];
  if (f.bytes.empty()) f.first_us = t;
  f.bytes.insert(f.bytes.end(), o.bytes.begin() + static_cast<std::ptrdiff_t>(o.pos),
                 o.bytes.begin() + static_cast<std::ptrdiff_t>(o.pos + n));
  f.last_us = t;
}

std::vector<Frame> Line::sent() const {
  std::lock_guard<std::mutex> lock(sent_mutex_);
  return sent_;
}

void Line::clear_sent() {
  std::lock_guard<std::mutex> lock(sent_mutex_);
  sent_.clear();
  sent_base_ = sent_count_;
}

}  // namespace ptyunit
