// Fuzz target: the reply path. Arbitrary bytes from a unit reach the polling
// worker's exchange step, exchange_slot, over a real pseudo-terminal opened
// with open_line at 921600 bit/s, as OpenSerial opens the line, but without
// the worker thread: this target arms one slot of a line of its own, lets a
// unit thread answer the request with the fuzz bytes, and performs one
// exchange of that line's worker under its lock. The slot must then hold a result of 0, 1 or 2,
// at most 255 bytes that really came off the line in that order, result 0
// only for the answer to the armed request, result 2 never for it, one more
// exchange in the count of its outcome, and the mode and lifetime its rules
// give; nothing else of the table may change.
//
// Input: byte 0 the slot's mode; byte 1 how the reply is delivered (low four
// bits: piece size, 0 for all at once; high four bits: pause between pieces
// in steps of 20 µs); byte 2 the lifetime in steps of 4 µs (the silence time
// at this rate is 44 µs); byte 3 the lifetime reload; the rest is the reply.
// Every run gets a fresh pseudo-terminal, so bytes that come too late for
// one run never reach the next.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "exchange.h"
#include "message.h"
#include "modbusRTU.h"
#include "pelnet.h"
#include "tq708port.h"

namespace {

constexpr int kPort = 0;
constexpr int kUnit = 17;
constexpr int kSlot = 2;
constexpr int kRequestWaitMs = 2000;
constexpr int kReplyWaitSymbols = 64;
constexpr uint8_t kEarlierLength = 7;  // what the slot held before the exchange
constexpr uint32_t kPieceGapStepUs = 20;
constexpr uint32_t kLifetimeStepUs = 4;

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_reply: %s\n", what);
  abort();
}

// For a system call of the harness itself that failed.
[[noreturn]] void fail_errno(const char *what) {
  fprintf(stderr, "fuzz_reply: %s: %s\n", what, strerror(errno));
  abort();
}

// Written independently of the gateway's table-driven CRC.
bool crc_checks(const uint8_t *bytes, size_t n) {
  if (n < 2) return false;
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n - 2; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc == (bytes[n - 2] | bytes[n - 1] << 8);
}

// The answer to the armed request (unit 17, function 3, two registers),
// judged here without the gateway's own rules: 9 bytes with byte count 4,
// or an exception of 5; the CRC checks.
bool is_the_answer(const uint8_t *bytes, size_t n) {
  if (!crc_checks(bytes, n) || n < 2 || bytes[0] != 17) return false;
  if (bytes[1] == 0x83) return n == 5;
  return bytes[1] == 3 && n == 9 && bytes[2] == 4;
}

bool came_off_the_line(const uint8_t *bytes, size_t n, const std::vector<uint8_t> &reply) {
  return n <= reply.size() && std::search(reply.begin(), reply.end(), bytes, bytes + n) != reply.end();
}

// The exchanges the slot's counts record, by outcome.
uint32_t counted(const SlotCounts &c, uint8_t result) {
  return result == kResultValid ? c.valid : result == kResultNoAnswer ? c.no_answer : c.bad_crc + c.mismatch;
}

void sleep_real_us(uint32_t us) {
  struct timespec t = {0, static_cast<long>(us) * 1000};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

int64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The unit: waits for the whole request, then answers with `reply`, in
// pieces when asked. Sets `heard` to what it read.
void unit_answers(int master, size_t request_length, const std::vector<uint8_t> &reply, size_t piece, uint32_t gap_us,
                  std::vector<uint8_t> *heard) {
  // libFuzzer's time-out alarm must land on its own thread, not cut this
  // thread's reads and writes short.
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  int64_t end = now_us() + kRequestWaitMs * 1000;
  while (heard->size() < request_length) {
    int left_ms = static_cast<int>((end - now_us()) / 1000);
    if (left_ms <= 0) return;
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, left_ms) <= 0) continue;
    uint8_t buf[512];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return;
    heard->insert(heard->end(), buf, buf + n);
  }
  size_t step = piece == 0 ? reply.size() : piece;
  for (size_t at = 0; at < reply.size(); at += step) {
    if (at > 0 && gap_us > 0) sleep_real_us(gap_us);
    size_t len = reply.size() - at < step ? reply.size() - at : step;
    if (write(master, reply.data() + at, len) != static_cast<ssize_t>(len)) return;
  }
}

// The slot's mode and lifetime after an exchange with `outcome`, by the
// rules the worker follows.
void expected_mode_and_lifetime(uint8_t outcome, uint8_t *mode, uint32_t *lifetime, uint32_t reload,
                                uint32_t silence) {
  auto charge = [&] {
    if (*lifetime > silence) {
      *lifetime -= silence;
    } else {
      *lifetime = 0;
      *mode = 0;
    }
  };
  if (*mode == kModeIdle) {
    *lifetime = 0;
  } else if (outcome != kResultValid || *mode == kModeRepeat) {
    charge();
  } else if (*mode == kModeUntilAnswered) {
    *lifetime = 0;
    *mode = 0;
  } else {
    charge();
    *lifetime = reload;
  }
}

// The target's line, made once: every run arms and exchanges the same slot.
SerialLine *line;
DeviceRecord before[kUnitCount];

// Opens the port on the slave end of a fresh pty the way the gateway does,
// through the device-node pattern; the folder with the link is gone again
// once the port is open, so no run leaves anything behind.
void open_port_on(const char *slave) {
  char dir[] = "/tmp/velkord-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) fail_errno("no temporary folder");
  std::string link = std::string(dir) + "/ttyM" + std::to_string(kPort);
  if (symlink(slave, link.c_str()) != 0) fail_errno("symlink failed");
  setenv(kTtyPatternVariable, (std::string(dir) + "/ttyM%d").c_str(), 1);
  int res = open_line(*line);
  unlink(link.c_str());
  rmdir(dir);
  if (res != 0) fail("the serial library could not open the pty");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  line = new SerialLine();
  ModbusRTUSettings &rtu = line->settings;
  rtu.serialport = kPort;
  rtu.baudrate = 921600;
  rtu.databits = 8;
  rtu.stopbits = 1;
  derive_line_timing(rtu);
  // As the worker does: its polls are a few microseconds apart.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t head[4] = {0, 0, 0, 0};
  memcpy(head, data, size < 4 ? size : 4);
  std::vector<uint8_t> reply(data + (size < 4 ? size : 4), data + size);
  uint8_t mode = head[0];
  size_t piece = head[1] & 0x0F;
  uint32_t gap_us = (head[1] >> 4) * kPieceGapStepUs;
  uint32_t lifetime = head[2] * kLifetimeStepUs;
  uint32_t reload = head[3];

  // A fresh line for every run.
  int master = -1, slave = -1;
  char name[PATH_MAX];
  struct termios raw;
  cfmakeraw(&raw);
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) fail_errno("openpty failed");
  close(slave);
  open_port_on(name);

  // Arm the slot through the intake. The wait for the first reply byte is
  // ample for a unit thread on the same machine, and short enough that a
  // silent input costs a few milliseconds, not twenty.
  DeviceRecord &rec = line->table[kUnit - 1];
  ExchangeSlot &s = rec.slots[kSlot];
  memset(&s, 0, sizeof s);
  uint8_t request[msg::kCapacity] = {};
  uint8_t response[msg::kCapacity] = {};
  const uint8_t frame[] = {kUnit, 3, 0x00, 0x10, 0x00, 0x02};
  memcpy(request + msg::kFrame, frame, sizeof frame);
  msg::put16(request, msg::kLength, static_cast<uint16_t>(msg::kFrame + sizeof frame));
  native_intake(*line, request, response, kSlot, mode, kReplyWaitSymbols * line->settings.time_one_sym, lifetime, 0);
  s.lifetimeReload = reload;
  s.result = kResultNoAnswer;
  s.rxLength = kEarlierLength;
  for (int i = 0; i < kFrameSize; ++i) s.rxFrame[i] = static_cast<uint8_t>(0xA5 ^ i);
  line->worker.position = kUnit - 1;
  rec.currentSlot = kSlot;
  memcpy(before, line->table, sizeof before);

  std::vector<uint8_t> heard;
  std::thread unit(unit_answers, master, static_cast<size_t>(s.txLength), std::cref(reply), piece, gap_us, &heard);
  {
    Locked table(line->mutex);
    exchange_slot(*line, s);
  }
  unit.join();
  TQ708sclose(kPort);
  close(master);

  const ExchangeSlot &was = before[kUnit - 1].slots[kSlot];
  if (heard.size() != was.txLength || memcmp(heard.data(), was.txFrame, heard.size()) != 0)
    fail("the unit did not hear the armed request");

  if (s.result > kResultBadAnswer) fail("result is not 0, 1 or 2");
  if (s.rxLength > kFrameSize - 1) fail("rxLength claims more than rxFrame holds");
  if (s.result == kResultNoAnswer) {
    if (s.rxLength != kEarlierLength || memcmp(s.rxFrame, was.rxFrame, kFrameSize) != 0)
      fail("no answer, yet the earlier reply changed");
  } else {
    if (!came_off_the_line(s.rxFrame, s.rxLength, reply)) fail("rxFrame holds bytes the unit did not send");
    if (s.result == kResultValid && !is_the_answer(s.rxFrame, s.rxLength)) fail("result 0 for what is not the answer");
    // A frame that fills the buffer is refused whatever it holds.
    if (s.result == kResultBadAnswer && s.rxLength < kFrameSize - 1 && is_the_answer(s.rxFrame, s.rxLength))
      fail("result 2 for the answer");
  }
  if (counted(s.counts, s.result) != counted(was.counts, s.result) + 1) fail("the outcome was not counted");
  uint8_t want_mode = was.mode;
  uint32_t want_lifetime = was.lifetime;
  expected_mode_and_lifetime(s.result, &want_mode, &want_lifetime, reload,
                             static_cast<uint32_t>(line->settings.time_silence));
  if (s.mode != want_mode || s.lifetime != want_lifetime) fail("mode or lifetime against the rules");
  if (s.answerKept != (was.mode == kModeUntilAnswered && s.result == kResultValid))
    fail("an answer kept other than a mode 2 slot's good one");

  // Everything else stays: the request, its timing, the other slots and units.
  if (line->worker.position != kUnit - 1 || rec.currentSlot != kSlot) fail("the exchange moved the worker's position");
  ExchangeSlot expected;
  memcpy(&expected, &was, sizeof expected);  // padding included, for the memcmp below
  expected.result = s.result;
  expected.rxLength = s.rxLength;
  memcpy(expected.rxFrame, s.rxFrame, kFrameSize);
  expected.mode = s.mode;
  expected.lifetime = s.lifetime;
  expected.answerKept = s.answerKept;
  expected.counts = s.counts;
  if (memcmp(&expected, &s, sizeof s) != 0) fail("the exchange wrote a field of the slot it must not");
  memcpy(&before[kUnit - 1].slots[kSlot], &s, sizeof s);
  if (memcmp(before, line->table, sizeof before) != 0) fail("the exchange wrote outside its slot");
  return 0;
}
