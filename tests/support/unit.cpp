#include "support/unit.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vt {

uint16_t crc16_modbus(const uint8_t *data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

uint16_t crc16_modbus(const std::vector<uint8_t> &bytes) {
  return crc16_modbus(bytes.data(), bytes.size());
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes) {
  uint16_t crc = crc16_modbus(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

bool crc_ok(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < 2) return false;
  size_t n = bytes.size() - 2;
  return crc16_modbus(bytes.data(), n) == (bytes[n] | (bytes[n + 1] << 8));
}

namespace {

constexpr int64_t kDefaultSilenceUs = 3000;
// Longest single wait of a line thread: bounds how late it notices a stop.
constexpr int64_t kMaxWaitUs = 2000;
constexpr int kCharBits = 11;  // start, 8 data, parity or second stop, stop

struct timespec timespec_from_us(int64_t us) {
  return {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

void sleep_us(int64_t us) {
  if (us <= 0) return;
  struct timespec ts = timespec_from_us(us);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Length of the request that `bytes` starts with, when its function has a
// known request shape and enough of it is in to tell; else 0.
size_t known_request_length(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < 2) return 0;
  uint8_t fc = bytes[1];
  if (fc >= 1 && fc <= 6) return 8;
  if (fc == 15 || fc == 16) return bytes.size() >= 7 ? 9 + bytes[6] : 0;
  return 0;
}

// The unit's side of the line: gathers received bytes into frames, hands each
// frame to a handler, and writes scheduled replies piece by piece. Everything
// happens on one thread, so reading goes on while a slow reply is out.
class LineLoop {
 public:
  using Handler = std::function<void(const Frame &, LineLoop &)>;

  LineLoop(int fd, Handler on_frame) : fd_(fd), on_frame_(std::move(on_frame)) {
    // Non-blocking writes, so a full pty buffer can never wedge the thread.
    saved_flags_ = fcntl(fd_, F_GETFL);
    fcntl(fd_, F_SETFL, saved_flags_ | O_NONBLOCK);
    thread_ = std::thread([this] { run(); });
  }

  ~LineLoop() {
    stop_ = true;
    thread_.join();
    fcntl(fd_, F_SETFL, saved_flags_);
  }

  void set_silence_us(int64_t us) { silence_us_ = us; }

  // Queues a reply; only for the handler, on the line thread. Its first
  // piece goes out at start_us (or when the reply before it is done), each
  // further piece at least gap_us after the previous one was written.
  void send(std::vector<uint8_t> bytes, int64_t start_us, size_t piece, int64_t gap_us, size_t first_piece = 0) {
    if (bytes.empty()) return;
    Outgoing o;
    o.bytes = std::move(bytes);
    o.piece = piece == 0 ? o.bytes.size() : piece;
    o.first_piece = first_piece == 0 ? o.piece : first_piece;
    o.gap_us = gap_us;
    o.due_us = start_us;
    out_.push_back(std::move(o));
  }

  std::vector<Frame> sent() const {
    std::lock_guard<std::mutex> lock(sent_mutex_);
    return sent_;
  }
  void clear_sent() {
    std::lock_guard<std::mutex> lock(sent_mutex_);
    sent_.clear();
    sent_base_ = sent_count_;
  }

 private:
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    size_t piece_end = 0;  // end of the piece being written
    size_t piece = 0;
    size_t first_piece = 0;
    int64_t gap_us = 0;
    int64_t due_us = 0;
    bool recorded = false;
    size_t record = 0;  // number of this reply in sent_count_ terms
  };

  void run() {
    std::vector<uint8_t> rx;
    int64_t first_us = 0, last_us = 0;
    while (!stop_) {
      int64_t now = now_us();
      bool want_out = write_due(now);
      now = now_us();
      if (!rx.empty() && now - last_us >= silence_us_) {
        emit(rx, first_us, last_us);
        rx.clear();
      }

      int64_t wait = kMaxWaitUs;
      if (!out_.empty() && !want_out) wait = std::min(wait, out_.front().due_us - now);
      if (!rx.empty()) wait = std::min(wait, last_us + silence_us_ - now);
      wait = std::max<int64_t>(wait, 0);
      struct pollfd p = {fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
      struct timespec ts = timespec_from_us(wait);
      int r = ppoll(&p, 1, &ts, nullptr);
      if (r <= 0) continue;

      bool hung_up = (p.revents & (POLLHUP | POLLERR)) != 0;
      if (p.revents & POLLIN) {
        uint8_t buf[512];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
          int64_t t = now_us();
          if (rx.empty()) first_us = t;
          rx.insert(rx.end(), buf, buf + n);
          last_us = t;
          split_complete_requests(rx, first_us, last_us);
          hung_up = false;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          hung_up = true;
        }
      }
      // With nobody on the slave end a pty master reports a hang-up at once
      // and for as long as it lasts: wait a little instead of spinning.
      if (hung_up) sleep_us(std::min<int64_t>(wait, 1000));
    }
  }

  // Emits complete known requests from the front of rx without waiting for
  // the silence; what remains waits for more bytes or for the silence.
  void split_complete_requests(std::vector<uint8_t> &rx, int64_t &first_us, int64_t last_us) {
    for (;;) {
      size_t len = known_request_length(rx);
      if (len == 0 || rx.size() < len) return;
      std::vector<uint8_t> head(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(len));
      if (!crc_ok(head)) return;
      emit(head, first_us, last_us);
      rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(len));
      first_us = last_us;
      if (rx.empty()) return;
    }
  }

  void emit(const std::vector<uint8_t> &bytes, int64_t first_us, int64_t last_us) {
    Frame f;
    f.bytes = bytes;
    f.first_us = first_us;
    f.last_us = last_us;
    on_frame_(f, *this);
  }

  // Writes whatever is due; true when the front reply is due but the pty
  // would not take it now (then wait for POLLOUT). The record of a reply is
  // updated under the same lock as its write, so whoever has seen the bytes
  // on the other end also sees them in sent().
  bool write_due(int64_t now) {
    while (!out_.empty()) {
      Outgoing &o = out_.front();
      if (o.due_us > now) return false;
      std::unique_lock<std::mutex> lock(sent_mutex_);
      if (o.pos == o.piece_end) o.piece_end = std::min(o.pos + (o.pos == 0 ? o.first_piece : o.piece), o.bytes.size());
      ssize_t n = write(fd_, o.bytes.data() + o.pos, o.piece_end - o.pos);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        out_.pop_front();  // the line is gone; drop the reply
        continue;
      }
      int64_t t = now_us();
      if (!o.recorded) {
        o.recorded = true;
        o.record = sent_count_++;
        sent_.push_back(Frame{});
      }
      note_sent_locked(o, static_cast<size_t>(n), t);
      lock.unlock();
      o.pos += static_cast<size_t>(n);
      if (o.pos < o.piece_end) return true;  // the rest of this piece as soon as possible
      if (o.pos == o.bytes.size()) {
        out_.pop_front();
        if (!out_.empty()) out_.front().due_us = std::max(out_.front().due_us, t);
        now = now_us();
        continue;
      }
      o.due_us = t + o.gap_us;
      return false;
    }
    return false;
  }

  void note_sent_locked(const Outgoing &o, size_t n, int64_t t) {
    if (o.record < sent_base_) return;  // cleared meanwhile
    Frame &f = sent_[o.record - sent_base_];
    if (f.bytes.empty()) f.first_us = t;
    f.bytes.insert(f.bytes.end(), o.bytes.begin() + static_cast<std::ptrdiff_t>(o.pos),
                   o.bytes.begin() + static_cast<std::ptrdiff_t>(o.pos + n));
    f.last_us = t;
  }

  int fd_;
  int saved_flags_ = 0;
  Handler on_frame_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> silence_us_{kDefaultSilenceUs};
  std::deque<Outgoing> out_;  // line thread only

  mutable std::mutex sent_mutex_;
  std::vector<Frame> sent_;
  size_t sent_count_ = 0;  // replies ever started
  size_t sent_base_ = 0;   // sent_count_ at the last clear

  std::thread thread_;
};

// Deterministic junk for floods, fixed up so that it never ends in a valid CRC.
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

}  // namespace

// ---------------------------------------------------------------- Behaviour

Behaviour Behaviour::Answer() { return Behaviour{}; }

Behaviour Behaviour::Answer(std::vector<uint8_t> payload) {
  Behaviour b;
  b.reply = [payload](const std::vector<uint8_t> &) { return payload; };
  return b;
}

Behaviour Behaviour::Answer(ReplyFn fn) {
  Behaviour b;
  b.reply = std::move(fn);
  return b;
}

Behaviour Behaviour::Silent() {
  Behaviour b;
  b.silent = true;
  return b;
}

Behaviour Behaviour::WrongCrc() {
  Behaviour b;
  b.wrong_crc = true;
  return b;
}

Behaviour Behaviour::Late(int64_t delay_us) {
  Behaviour b;
  b.delay_us = delay_us;
  return b;
}

Behaviour Behaviour::Split(size_t piece, int64_t gap_us) {
  Behaviour b;
  b.piece = piece;
  b.gap_us = gap_us;
  return b;
}

Behaviour Behaviour::Paced(int baud) {
  Behaviour b;
  b.pace_baud = baud;
  return b;
}

Behaviour Behaviour::Flood(size_t n) {
  Behaviour b;
  b.flood = n;
  return b;
}

Behaviour Behaviour::Raw(std::vector<uint8_t> bytes) {
  Behaviour b;
  b.raw = std::move(bytes);
  return b;
}

// ------------------------------------------------------------- ScriptedUnit

struct ScriptedUnit::Impl {
  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  std::vector<Frame> frames;
  Behaviour fallback;
  std::map<uint8_t, Behaviour> per_unit;
  std::unique_ptr<LineLoop> loop;  // last: its thread uses the members above

  void on_frame(const Frame &f, LineLoop &loop) {
    Behaviour b;
    {
      std::lock_guard<std::mutex> lock(mutex);
      frames.push_back(f);
      auto it = per_unit.find(f.unit());
      b = it != per_unit.end() ? it->second : fallback;
    }
    arrived.notify_all();
    if (f.bytes.size() < 4 || !f.crc_ok() || b.silent) return;

    std::vector<uint8_t> out;
    if (b.raw) {
      out = *b.raw;
    } else if (b.flood > 0) {
      out = garbage(b.flood);
    } else {
      std::vector<uint8_t> payload = b.reply ? b.reply(f.bytes) : default_reply(f.bytes);
      if (payload.empty()) return;
      out = with_crc(std::move(payload));
      if (b.wrong_crc) {
        out[out.size() - 2] ^= 0xFF;
        out[out.size() - 1] ^= 0xFF;
      }
    }
    size_t piece = b.piece;
    int64_t gap = b.gap_us;
    if (b.pace_baud > 0) {
      piece = 1;
      gap = (kCharBits * 1000000LL + b.pace_baud - 1) / b.pace_baud;
    }
    loop.send(std::move(out), f.last_us + b.delay_us, piece, gap, b.pace_baud > 0 ? 0 : b.first_piece);
  }
};

ScriptedUnit::ScriptedUnit(PtyPair &line) : impl_(std::make_unique<Impl>()) {
  Impl *impl = impl_.get();
  impl->loop = std::make_unique<LineLoop>(
      line.master(), [impl](const Frame &f, LineLoop &loop) { impl->on_frame(f, loop); });
}

ScriptedUnit::~ScriptedUnit() { impl_->loop.reset(); }

void ScriptedUnit::set_behaviour(const Behaviour &b) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->fallback = b;
}

void ScriptedUnit::set_behaviour(uint8_t unit, const Behaviour &b) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->per_unit[unit] = b;
}

void ScriptedUnit::reset_behaviour(uint8_t unit) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->per_unit.erase(unit);
}

void ScriptedUnit::set_silence_us(int64_t us) { impl_->loop->set_silence_us(us); }

std::vector<Frame> ScriptedUnit::frames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frames;
}

std::vector<Frame> ScriptedUnit::sent() const { return impl_->loop->sent(); }

bool ScriptedUnit::wait_frames(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return impl_->frames.size() >= n; });
}

void ScriptedUnit::clear() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->frames.clear();
  }
  impl_->loop->clear_sent();
}

std::vector<uint8_t> ScriptedUnit::default_reply(const std::vector<uint8_t> &request) {
  if (request.size() < 2) return {};
  uint8_t unit = request[0];
  uint8_t fc = request[1];
  auto exception = [&](uint8_t code) {
    return std::vector<uint8_t>{unit, static_cast<uint8_t>(fc | 0x80), code};
  };
  if (request.size() < 6) return exception(0x03);
  unsigned addr = (request[2] << 8) | request[3];
  unsigned qty = (request[4] << 8) | request[5];
  switch (fc) {
    case 3:
    case 4: {
      if (qty < 1 || qty > 125) return exception(0x03);
      std::vector<uint8_t> r = {unit, fc, static_cast<uint8_t>(2 * qty)};
      for (unsigned i = 0; i < qty; ++i) {
        uint16_t v = static_cast<uint16_t>(addr + i);
        r.push_back(static_cast<uint8_t>(v >> 8));
        r.push_back(static_cast<uint8_t>(v & 0xFF));
      }
      return r;
    }
    case 1:
    case 2: {
      if (qty < 1 || qty > 2000) return exception(0x03);
      std::vector<uint8_t> r = {unit, fc, static_cast<uint8_t>((qty + 7) / 8)};
      r.resize(3 + (qty + 7) / 8, 0);
      for (unsigned i = 0; i < qty; ++i)
        if ((addr + i) & 1) r[3 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
      return r;
    }
    case 5:
    case 6:
    case 15:
    case 16:
      return std::vector<uint8_t>(request.begin(), request.begin() + 6);
    default:
      return exception(0x01);
  }
}

// ------------------------------------------------------------ LibmodbusUnit

struct LibmodbusUnit::Impl {
  std::vector<uint8_t> units;
  modbus_t *ctx = nullptr;
  modbus_mapping_t *map = nullptr;
  int reply_pipe[2] = {-1, -1};  // libmodbus writes its reply into [1]
  mutable std::mutex mutex;      // guards ctx and map
  mutable std::condition_variable answered;
  size_t served = 0;
  std::atomic<bool> responding{true};
  std::unique_ptr<LineLoop> loop;  // last: its thread uses the members above

  void on_frame(const Frame &f, LineLoop &loop) {
    if (!responding || f.bytes.size() < 4 || !f.crc_ok()) return;
    if (std::find(units.begin(), units.end(), f.unit()) == units.end()) return;
    // modbus_reply reads request fields at fixed offsets: give it a full-size,
    // zero-padded buffer so a short request cannot make it read past the end.
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH + 8] = {};
    std::copy(f.bytes.begin(), f.bytes.end(), req);
    {
      std::lock_guard<std::mutex> lock(mutex);
      modbus_set_slave(ctx, f.unit());
      if (modbus_reply(ctx, req, static_cast<int>(f.bytes.size()), map) <= 0) return;
    }
    std::vector<uint8_t> out;
    uint8_t buf[512];
    ssize_t n;
    while ((n = read(reply_pipe[0], buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    loop.send(std::move(out), f.last_us, 0, 0);
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++served;
    }
    answered.notify_all();
  }

  void check(int addr) const {
    if (addr < 0 || addr >= kTableSize) throw std::out_of_range("unit table address");
  }
};

LibmodbusUnit::LibmodbusUnit(PtyPair &line, uint8_t unit, int baud)
    : LibmodbusUnit(line, std::vector<uint8_t>{unit}, baud) {}

LibmodbusUnit::LibmodbusUnit(PtyPair &line, std::vector<uint8_t> units, int baud)
    : impl_(std::make_unique<Impl>()) {
  Impl *impl = impl_.get();
  impl->units = std::move(units);
  // The device name is never opened: the context is only used to build replies.
  impl->ctx = modbus_new_rtu(line.slave_path().c_str(), baud, 'N', 8, 1);
  impl->map = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
  if (!impl->ctx || !impl->map || pipe2(impl->reply_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error("libmodbus unit set-up failed");
  modbus_set_socket(impl->ctx, impl->reply_pipe[1]);
  // On some malformed requests modbus_reply "flushes" the line after sleeping
  // the response time-out (0.5 s by default); keep that from stalling the line.
  modbus_set_response_timeout(impl->ctx, 0, 1);
  impl->loop = std::make_unique<LineLoop>(
      line.master(), [impl](const Frame &f, LineLoop &loop) { impl->on_frame(f, loop); });
}

LibmodbusUnit::~LibmodbusUnit() {
  impl_->loop.reset();
  // Not modbus_close: for an RTU context it would restore terminal settings
  // it never saved on a descriptor that is ours.
  modbus_free(impl_->ctx);
  modbus_mapping_free(impl_->map);
  close(impl_->reply_pipe[0]);
  close(impl_->reply_pipe[1]);
}

void LibmodbusUnit::set_holding(int addr, uint16_t value) {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->map->tab_registers[addr] = value;
}

uint16_t LibmodbusUnit::holding(int addr) const {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->map->tab_registers[addr];
}

void LibmodbusUnit::set_input(int addr, uint16_t value) {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->map->tab_input_registers[addr] = value;
}

uint16_t LibmodbusUnit::input(int addr) const {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->map->tab_input_registers[addr];
}

void LibmodbusUnit::set_coil(int addr, bool on) {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->map->tab_bits[addr] = on ? 1 : 0;
}

bool LibmodbusUnit::coil(int addr) const {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->map->tab_bits[addr] != 0;
}

void LibmodbusUnit::set_discrete(int addr, bool on) {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->map->tab_input_bits[addr] = on ? 1 : 0;
}

bool LibmodbusUnit::discrete(int addr) const {
  impl_->check(addr);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->map->tab_input_bits[addr] != 0;
}

void LibmodbusUnit::set_responding(bool on) { impl_->responding = on; }

size_t LibmodbusUnit::served() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->served;
}

bool LibmodbusUnit::wait_served(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->answered.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return impl_->served >= n; });
}

}  // namespace vt
