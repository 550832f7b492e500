#include "support/unit.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vt {

namespace {

// Longest single wait of a line step: bounds how late a unit notices a stop.
constexpr int64_t kMaxStepUs = 2000;

// A ptyunit::Line stepped on a thread of its own until destroyed.
class LineThread {
 public:
  LineThread(int fd, ptyunit::Line::FrameHandler on_frame) : line_(fd, std::move(on_frame)) {
    line_.keep_sent();
    thread_ = std::thread([this] {
      while (!stop_) line_.step(kMaxStepUs);
    });
  }
  ~LineThread() {
    stop_ = true;
    thread_.join();
  }
  LineThread(const LineThread &) = delete;
  LineThread &operator=(const LineThread &) = delete;

  ptyunit::Line &line() { return line_; }

 private:
  ptyunit::Line line_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

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

Behaviour Behaviour::Pausing(int baud, int64_t delay_us) {
  Behaviour b = Late(delay_us);
  b.piece = 1;
  b.gap_us = ptyunit::char_time_us(baud) * 3 / 2;
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
  std::unique_ptr<LineThread> loop;  // last: its thread uses the members above

  void on_frame(const Frame &f, ptyunit::Line &line) {
    Behaviour b;
    {
      std::lock_guard<std::mutex> lock(mutex);
      frames.push_back(f);
      auto it = per_unit.find(f.unit());
      b = it != per_unit.end() ? it->second : fallback;
    }
    arrived.notify_all();
    if (f.bytes.size() < ptyunit::kMinAnswerable || !f.crc_ok()) return;
    line.answer(f, b, [&] { return b.reply ? b.reply(f.bytes) : default_reply(f.bytes); });
  }
};

ScriptedUnit::ScriptedUnit(PtyPair &line) : impl_(std::make_unique<Impl>()) {
  Impl *impl = impl_.get();
  impl->loop = std::make_unique<LineThread>(
      line.master(), [impl](const Frame &f, ptyunit::Line &loop) { impl->on_frame(f, loop); });
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

void ScriptedUnit::set_silence_us(int64_t us) { impl_->loop->line().set_silence_us(us); }

std::vector<Frame> ScriptedUnit::frames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frames;
}

std::vector<Frame> ScriptedUnit::sent() const { return impl_->loop->line().sent(); }

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
  impl_->loop->line().clear_sent();
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
  std::unique_ptr<LineThread> loop;  // last: its thread uses the members above

  void on_frame(const Frame &f, ptyunit::Line &line) {
    if (!responding || f.bytes.size() < ptyunit::kMinAnswerable || !f.crc_ok()) return;
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
    line.send(std::move(out), f.last_us, 0, 0);
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
  impl->loop = std::make_unique<LineThread>(
      line.master(), [impl](const Frame &f, ptyunit::Line &loop) { impl->on_frame(f, loop); });
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
