#include "support/engine_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "message.h"
#include "pelnet.h"
#include "sleep_us.h"
#include "support/slowdown.h"

namespace vt {

Message request_message(const Command &cmd) {
  Message m{};
  msg::put16(m.data(), msg::kLength, static_cast<uint16_t>(msg::kHeaderSize + cmd.frame.size()));
  m[msg::kMode] = cmd.mode;
  m[msg::kSlot] = cmd.slot;
  msg::put32(m.data(), msg::kTimeout, static_cast<uint32_t>(cmd.timeout));
  msg::put32(m.data(), msg::kDelay, cmd.delay);
  msg::put32(m.data(), msg::kLifetime, cmd.lifetime);
  if (msg::kFrame + cmd.frame.size() > m.size()) throw std::length_error("frame too long for a request");
  std::copy(cmd.frame.begin(), cmd.frame.end(), m.begin() + msg::kFrame);
  return m;
}

std::unique_ptr<SerialLine> fresh_line() { return std::make_unique<SerialLine>(); }

CommandOutcome run_command(SerialLine &line, const Command &cmd) {
  Message request = request_message(cmd);
  CommandOutcome out;
  int64_t start = now_us();
  out.result = native_intake(line, request.data(), out.response.data(), cmd.slot, cmd.mode, cmd.timeout,
                             cmd.lifetime, cmd.delay, cmd.may_write);
  out.took_us = now_us() - start;
  return out;
}

ExchangeSlot slot_copy(SerialLine &line, uint8_t unit, int slot) {
  Locked table(line.mutex);
  return line.table[unit - 1].slots[slot];
}

std::vector<DeviceRecord> table_copy(SerialLine &line) {
  Locked table(line.mutex);
  return std::vector<DeviceRecord>(line.table, line.table + kUnitCount);
}

Bytes head(const uint8_t *frame, size_t n) { return Bytes(frame, frame + n); }

void configure_line(SerialLine &line, const PtyPair &pty, int baud) {
  pty.export_pattern();
  ModbusRTUSettings &rtu = line.settings;
  rtu = ModbusRTUSettings{};
  rtu.serialport = pty.port();
  rtu.baudrate = baud;
  rtu.databits = 8;
  rtu.stopbits = 1;
  derive_line_timing(rtu);
}

bool open_stepped_line(SerialLine &line, const PtyPair &pty, int baud) {
  configure_line(line, pty, baud);
  return prepare_table_locks(line) == 0 && open_line(line) == 0;
}

void stop_worker(SerialLine &line) {
  line_stop(line);
  if (!line_join(line)) throw std::runtime_error("the worker did not end");
}

Visit step(SerialLine &line) {
  Locked table(line.mutex);
  return visit_record(line, table);
}

Exchanged exchange_next(SerialLine &line) {
  const SerialWorker &w = line.worker;
  for (int visits = 0; visits < 2 * (kUnitCount + 1); ++visits) {
    if (step(line) != Visit::kExchanged) continue;
    Locked table(line.mutex);
    const DeviceRecord &rec = line.table[w.position - 1];
    return {w.position, (rec.currentSlot + kSlotCount - 1) % kSlotCount};
  }
  return {};
}

int32_t char_times_us(const SerialLine &line, int n) { return n * line.settings.time_one_sym; }

bool wait_until(const std::function<bool()> &done, int timeout_ms) {
  int64_t end = now_us() + static_cast<int64_t>(slow_ms(timeout_ms)) * 1000;
  while (!done()) {
    if (now_us() >= end) return done();
    sleep_us(1000);
  }
  return true;
}

std::vector<Frame> frames_of(const std::vector<Frame> &frames, uint8_t unit) {
  std::vector<Frame> out;
  for (const Frame &f : frames)
    if (f.unit() == unit && f.crc_ok()) out.push_back(f);
  return out;
}

size_t distinct_reads(const std::vector<Frame> &frames) {
  size_t n = 0;
  for (size_t i = 0; i < frames.size(); ++i)
    if (i == 0 || frames[i].first_us != frames[i - 1].first_us) ++n;
  return n;
}

double mean_spacing_us(const std::vector<Frame> &frames) {
  size_t reads = distinct_reads(frames);
  if (reads < 2) return 0;
  return static_cast<double>(frames.back().first_us - frames.front().first_us) / static_cast<double>(reads - 1);
}

int thread_count() {
  DIR *d = opendir("/proc/self/task");
  if (d == nullptr) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  char path[] = "/tmp/velkord-stdout-XXXXXX";
  file_ = mkstemp(path);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  unlink(path);
  saved_ = dup(STDOUT_FILENO);
  dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  text();
  close(file_);
}

std::string StdoutCapture::text() {
  if (saved_ < 0) return text_;
  fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  saved_ = -1;
  lseek(file_, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(file_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(n));
  return text_;
}

}  // namespace vt
