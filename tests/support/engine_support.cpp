#include "support/engine_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "message.h"
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

CommandOutcome run_command(const Command &cmd) {
  Message request = request_message(cmd);
  CommandOutcome out;
  int64_t start = now_us();
  out.result = MRTU_CMD(request.data(), out.response.data(), cmd.slot, cmd.mode, cmd.timeout, cmd.lifetime, cmd.delay);
  out.took_us = now_us() - start;
  return out;
}

ExchangeSlot slot_copy(uint8_t unit, int slot) {
  Locked table(SerialMutex);
  return MRTU_SerialData[unit - 1].slots[slot];
}

std::vector<DeviceRecord> table_copy() {
  Locked table(SerialMutex);
  return std::vector<DeviceRecord>(MRTU_SerialData, MRTU_SerialData + kUnitCount);
}

Bytes head(const uint8_t *frame, size_t n) { return Bytes(frame, frame + n); }

void configure_line(const PtyPair &line, int baud) {
  line.export_pattern();
  ModbusRTU = ModbusRTUSettings{};
  ModbusRTU.serialport = line.port();
  ModbusRTU.baudrate = baud;
  ModbusRTU.databits = 8;
  ModbusRTU.stopbits = 1;
  derive_line_timing(ModbusRTU);
}

bool open_stepped_line(const PtyPair &line, int baud) {
  configure_line(line, baud);
  return prepare_table_locks() == 0 && open_line() == 0;
}

void clear_table() {
  Locked table(SerialMutex);
  memset(static_cast<void *>(MRTU_SerialData), 0, sizeof MRTU_SerialData);
  memset(TableChanged.pending, (1 << kSlotCount) - 1, sizeof TableChanged.pending);
}

void stop_worker() {
  const int threads = thread_count();
  if (SerialWork.exchange(0) == 0) return;  // none started, or ended already
  {
    Locked table(SerialMutex);
    pthread_cond_broadcast(&TableChanged.signal);
  }
  // The worker is detached: it has ended when the process has one thread
  // less. A worker in a long pause or exchange finishes that first.
  wait_until([&] { return thread_count() < threads; }, 12000);
}

Visit step(SerialWorker &w) {
  Locked table(SerialMutex);
  return visit_record(w, table);
}

Exchanged exchange_next(SerialWorker &w) {
  for (int visits = 0; visits < 2 * (kUnitCount + 1); ++visits) {
    if (step(w) != Visit::kExchanged) continue;
    Locked table(SerialMutex);
    const DeviceRecord &rec = MRTU_SerialData[w.position - 1];
    return {w.position, (rec.currentSlot + kSlotCount - 1) % kSlotCount};
  }
  return {};
}

int32_t char_times_us(int n) { return n * ModbusRTU.time_one_sym; }

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
