// Soak run of the real gateway, bounded in time: velkord-soak [seconds]
// (default 120). Not part of the test suite; scripts/soak builds and runs it.
//
// The gateway polls a scripted unit on a pseudo-terminal whose units switch
// between answering, silence, wrong CRCs, late and too-late replies, and
// replies with another unit's address, another function or a byte short. Ten
// clients talk to it at full rate (pause 1 µs): eight steady ones that keep
// their connection, and two cycling lanes that open a connection, misbehave
// in one of a dozen ways (clean close, reset, half a message, over-long
// lengths, zero lengths, garbage), and open the next. The gateway serves ten
// connections at most, so the cycling lanes only ever compete with each
// other for the last two places and the steady clients are never locked out;
// a steady client that loses its connection all the same reconnects.
//
// Checked: every response is well-formed; every status 0 answer is a reply
// to the lane's own request: each unit tags its registers with its address,
// the start address and a sequence number it counts up, so an answer that
// another unit gave, to another function, address or quantity, or that no
// unit ever gave, counts as crossed and fails the run; the gateway
// accepted every connection; at the end its open descriptors are back to
// their count before the run, its anonymous memory (heap, stacks) grew by
// at most 64 KiB after warm-up, and it still accepts and answers. Then a
// gateway at 9600 bit/s reads 125-register blocks from velkord-sim in paced
// mode, and every answer must be the block asked for.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

constexpr int kDefaultSeconds = 120;
constexpr int kSteadyLanes = 8;
constexpr int kCyclingLanes = 2;
constexpr int kLanes = kSteadyLanes + kCyclingLanes;
constexpr int kCyclesPer120s = 2000;
constexpr long kAnonGrowthLimitKiB = 64;
constexpr int kPhaseMs = 1500;
constexpr int kResponseWaitMs = 10000;
constexpr int32_t kTimeoutUs = 20000;      // the worker's wait for a reply
constexpr uint32_t kLifetimeUs = 2000000;  // renewed by every request
constexpr uint8_t kStatusNoAnswer = 0x81;
constexpr uint8_t kErrorStatuses[] = {0x80, 0x81, 0x82, 0x84, 0x88, 0x90};

// Unit behaviours over time, per lane shifted so that at any moment some
// units answer and others fail.
enum Fault {
  kAnswer,
  kWrongUnit,
  kLate,
  kWrongCrc,
  kAnswer2,
  kShortAnswer,
  kSilent,
  kWrongFunction,
  kTooLate,
  kFaultCount
};
const char *const kFaultNames[] = {"answer",         "wrong unit", "late",           "wrong CRC", "answer",
                                   "short answer",   "silent",     "wrong function", "too late"};

// What each lane asks: its own unit, slot, function and registers.
struct Lane {
  int index = 0;
  uint8_t unit = 0;
  uint8_t slot = 0;
  uint8_t function = 0;
  uint16_t address = 0;
  uint16_t quantity = 0;
  Bytes frame;  // request frame without CRC
};

// Replies the lane's unit has made so far: the sequence numbers it has used.
std::atomic<uint32_t> replies_made[kLanes];

// Register k of an answer: the unit and (the low byte of) the start address
// for k = 0, the unit's sequence number for k = 1, the unit and the low byte
// of the register's address after that.
uint16_t tag(uint8_t unit, unsigned address) { return static_cast<uint16_t>(unit << 8 | (address & 0xFF)); }

std::vector<Lane> make_lanes() {
  std::vector<Lane> lanes;
  for (int i = 0; i < kLanes; ++i) {
    Lane l;
    l.index = i;
    l.unit = static_cast<uint8_t>(20 + i);
    l.slot = static_cast<uint8_t>(i % 5);
    l.function = i % 2 ? 4 : 3;
    l.address = static_cast<uint16_t>(100 + 10 * i);
    l.quantity = static_cast<uint16_t>(2 + i % 3);  // room for the tag and the sequence
    l.frame = {l.unit,
               l.function,
               static_cast<uint8_t>(l.address >> 8),
               static_cast<uint8_t>(l.address),
               0,
               static_cast<uint8_t>(l.quantity)};
    lanes.push_back(l);
  }
  return lanes;
}

// The unit's tagged answer to the lane's request (no CRC), with the fault
// that the unit shows: neighbouring lanes have the next unit address and the
// other read function, so a wrong unit or function is another lane's shape.
Bytes tagged_answer(const Lane &l, Fault f) {
  uint32_t sequence = replies_made[l.index]++;
  Bytes a = {l.unit, l.function, static_cast<uint8_t>(2 * l.quantity)};
  for (unsigned k = 0; k < l.quantity; ++k) {
    uint16_t v = k == 1 ? static_cast<uint16_t>(sequence) : tag(l.unit, l.address + k);
    a.push_back(static_cast<uint8_t>(v >> 8));
    a.push_back(static_cast<uint8_t>(v));
  }
  if (f == kWrongUnit) ++a[0];
  if (f == kWrongFunction) a[1] = a[1] == 3 ? 4 : 3;
  if (f == kShortAnswer) a.pop_back();
  return a;
}

vt::Behaviour behaviour_for(const Lane &l, Fault f) {
  vt::Behaviour b = vt::Behaviour::Answer([&l, f](const Bytes &) { return tagged_answer(l, f); });
  if (f == kWrongCrc) b.wrong_crc = true;
  if (f == kSilent) b.silent = true;
  if (f == kLate) b.delay_us = 5000;      // well inside the worker's wait
  if (f == kTooLate) b.delay_us = 40000;  // after the worker has given up
  return b;
}

// True when `frame` (no CRC) is a reply the lane's unit made to the lane's
// request: its shape, its tags, and a sequence number already used.
bool is_own_answer(const Lane &l, const Bytes &frame) {
  if (frame.size() != 3u + 2 * l.quantity || frame[0] != l.unit || frame[1] != l.function ||
      frame[2] != 2 * l.quantity)
    return false;
  for (unsigned k = 0; k < l.quantity; ++k) {
    uint16_t v = static_cast<uint16_t>(frame[3 + 2 * k] << 8 | frame[4 + 2 * k]);
    if (k == 1 ? v >= replies_made[l.index].load() : v != tag(l.unit, l.address + k)) return false;
  }
  return true;
}

Bytes lane_request(const Lane &l, uint32_t keep_alive, uint16_t pause) {
  vt::RequestFields r;
  r.keep_alive = keep_alive;
  r.pause = pause;
  r.mode = 1;
  r.slot = l.slot;
  r.timeout = kTimeoutUs;
  r.lifetime = kLifetimeUs;
  r.frame = l.frame;
  return vt::build_request(r);
}

// ---- Tallies and failures --------------------------------------------------

enum Cycle {
  kClean,
  kReset,
  kHalfThenClose,
  kHalfThenReset,
  kLong1025,
  kLong65535,
  kLong65535Cut,
  kZeroLengths,
  kGarbageMessage,
  kGarbageCut,
  kSilentClose,
  kCycleKinds
};
const char *const kCycleNames[] = {"clean close",     "reset",        "half message, close", "half message, reset",
                                   "length 1025",     "length 65535", "length 65535 cut",    "lengths 0 and 1",
                                   "garbage message", "garbage cut",  "connect and close"};

struct Tally {
  std::atomic<long> requests{0};
  std::atomic<long> answers{0};    // status 0, the lane's own data
  std::atomic<long> crossed{0};    // status 0, not a reply to the lane's own request
  std::atomic<long> no_answer{0};  // status 0x81 for a lane request
  std::atomic<long> refusals{0};   // error responses to deliberate junk
  std::atomic<long> connections{0};
  std::atomic<long> steady_reconnects{0};
  std::atomic<long> cycles[kCycleKinds] = {};
  std::atomic<long> lane_answers[kLanes] = {};
};

Tally tally;
std::mutex failures_mutex;
std::vector<std::string> failures;

void failure(const std::string &what) {
  std::lock_guard<std::mutex> lock(failures_mutex);
  if (failures.size() < 20) fprintf(stderr, "soak: FAILURE: %s\n", what.c_str());
  failures.push_back(what);
}

std::vector<Lane> lanes;

// ---- Response checks -------------------------------------------------------

bool header_zero_except(const Bytes &r, size_t a, size_t b) {
  for (size_t i = 2; i < 32 && i < r.size(); ++i)
    if (i != a && i != b && r[i] != 0) return false;
  return true;
}

// An error response: 32 bytes, a status of the table, nothing else set.
bool is_error_response(const Bytes &r, uint8_t *status) {
  if (r.size() != 32 || (r[0] | r[1] << 8) != 32) return false;
  if (std::find(std::begin(kErrorStatuses), std::end(kErrorStatuses), r[10]) == std::end(kErrorStatuses)) return false;
  *status = r[10];
  return header_zero_except(r, 10, 10);
}

// A response to a lane's request: a reply of its unit to its request, or
// 0x81 while the unit fails.
void check_lane_response(const Lane &l, const std::optional<Bytes> &resp, const char *context) {
  tally.requests++;
  if (!resp) {
    failure(std::string("lane ") + std::to_string(l.index) + ": no response (" + context + ")");
    return;
  }
  const Bytes &r = *resp;
  uint8_t status = 0;
  if (is_error_response(r, &status)) {
    if (status == kStatusNoAnswer) {
      tally.no_answer++;
    } else {
      failure("lane " + std::to_string(l.index) + ": status " + std::to_string(status) + " for a valid request (" +
              context + ")");
    }
    return;
  }
  if (r.size() < 32 || (r[0] | r[1] << 8) != static_cast<int>(r.size()) || r[10] != 0 || r[12] != l.slot ||
      !header_zero_except(r, 12, 12)) {
    failure("lane " + std::to_string(l.index) + ": malformed response " + vt::hex(r) + " (" + context + ")");
    return;
  }
  if (is_own_answer(l, Bytes(r.begin() + 32, r.end()))) {
    tally.answers++;
    tally.lane_answers[l.index]++;
    return;
  }
  tally.crossed++;
  failure("lane " + std::to_string(l.index) + ": crossed answer " + vt::hex(r) + " (" + context + ")");
}

void check_refusal(const std::optional<Bytes> &resp, uint8_t want, const char *context) {
  tally.requests++;
  uint8_t status = 0;
  if (!resp || !is_error_response(*resp, &status) || (want != 0 && status != want)) {
    failure(std::string("refusal expected (") + context + "), got " + (resp ? vt::hex(*resp) : "nothing"));
    return;
  }
  tally.refusals++;
}

// ---- Clients ---------------------------------------------------------------

std::atomic<bool> stopping{false};
int gateway_port = 0;

// Connects, retrying while the listen queue is full.
std::unique_ptr<vt::NetClient> connect_client() {
  for (int attempt = 0;; ++attempt) {
    try {
      auto c = std::make_unique<vt::NetClient>(gateway_port);
      tally.connections++;
      return c;
    } catch (const std::exception &e) {
      if (attempt >= 50) {
        failure(std::string("cannot connect: ") + e.what());
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void steady_lane(const Lane &l) {
  const Bytes request = lane_request(l, 0, 1);
  auto c = connect_client();
  while (c && !stopping) {
    auto r = c->exchange(request, vt::slow_ms(kResponseWaitMs));
    if (!r && c->eof()) {
      // The gateway ended the connection: only the idle budget may do that,
      // and a client at full rate never runs it out. Count it and go on.
      tally.steady_reconnects++;
      c = connect_client();
      continue;
    }
    check_lane_response(l, r, "steady");
  }
  // keepAlive 1: the handler ends right after this response.
  if (c) check_lane_response(l, c->exchange(lane_request(l, 1, 1), vt::slow_ms(kResponseWaitMs)), "last");
}

// The lane's request, sent at full rate; keepAlive 2 with pause 1 on the
// last one makes the handler end one turn after the client has gone.
void requests_then_leave(vt::NetClient &c, const Lane &l, int count) {
  for (int i = 0; i < count; ++i) {
    bool last = i == count - 1;
    check_lane_response(l, c.exchange(lane_request(l, last ? 2 : 0, 1), vt::slow_ms(kResponseWaitMs)), "cycling");
  }
}

Bytes garbage(std::mt19937 &rng, size_t n) {
  Bytes g(n);
  for (auto &b : g) b = static_cast<uint8_t>(rng());
  return g;
}

// A whole message of junk that stays clear of what the soak checks: no
// keepAlive or pause (a junk budget could keep a handler for hours), mode 0
// (nothing gets exchanged on the line), and a unit address no lane uses.
Bytes garbage_message(std::mt19937 &rng) {
  size_t n = 2 + rng() % 299;
  Bytes m = garbage(rng, n);
  m[0] = static_cast<uint8_t>(n);
  m[1] = static_cast<uint8_t>(n >> 8);
  for (size_t i = 4; i < 10 && i < n; ++i) m[i] = 0;
  if (n > 11) m[11] = 0;
  if (n > 32) m[32] = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : 200 + rng() % 56);
  return m;
}

void one_cycle(const Lane &l, Cycle kind, std::mt19937 &rng) {
  auto c = connect_client();
  if (!c) return;
  const Bytes request = lane_request(l, 0, 1);
  switch (kind) {
    case kClean:
      requests_then_leave(*c, l, 1 + static_cast<int>(rng() % 8));
      c->close();
      break;
    case kReset:
      for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n; ++i)
        check_lane_response(l, c->exchange(request, vt::slow_ms(kResponseWaitMs)), "before reset");
      c->reset();
      break;
    case kHalfThenClose:
    case kHalfThenReset:
      c->send(Bytes(request.begin(), request.begin() + 1 + static_cast<long>(rng() % (request.size() - 1))));
      if (kind == kHalfThenReset)
        c->reset();
      else
        c->close();
      break;
    case kLong1025:
    case kLong65535: {
      uint16_t declared = kind == kLong1025 ? 1025 : 65535;
      Bytes m = vt::raw_message(declared, declared, 0x5A);
      c->send(m);
      check_refusal(c->read_response(vt::slow_ms(kResponseWaitMs)), kStatusNoAnswer, "over-long message");
      // The stream is still in step: the next request is read whole.
      requests_then_leave(*c, l, 1);
      c->close();
      break;
    }
    case kLong65535Cut:
      c->send(vt::raw_message(65535, 2 + rng() % 4000, 0xA5));
      c->close();
      break;
    case kZeroLengths:
      check_refusal(c->exchange({0, 0}, vt::slow_ms(kResponseWaitMs)), kStatusNoAnswer, "length 0");
      check_refusal(c->exchange({1, 0}, vt::slow_ms(kResponseWaitMs)), kStatusNoAnswer, "length 1");
      requests_then_leave(*c, l, 1);
      c->close();
      break;
    case kGarbageMessage:
      // Junk reaches no slot the worker would exchange: never status 0.
      check_refusal(c->exchange(garbage_message(rng), vt::slow_ms(kResponseWaitMs)), 0, "garbage message");
      requests_then_leave(*c, l, 1);
      c->close();
      break;
    case kGarbageCut: {
      size_t declared = 40 + rng() % 985;
      Bytes m = garbage(rng, 2 + rng() % (declared - 2));
      m[0] = static_cast<uint8_t>(declared);
      m[1] = static_cast<uint8_t>(declared >> 8);
      c->send(m);
      c->reset();
      break;
    }
    case kSilentClose:
    case kCycleKinds: c->close(); break;
  }
  tally.cycles[kind]++;
}

void cycling_lane(const Lane &l) {
  std::mt19937 rng(0x5eed0000u + static_cast<uint32_t>(l.index));
  for (long n = 0; !stopping; ++n) one_cycle(l, static_cast<Cycle>((n + l.index) % kCycleKinds), rng);
}

// ---- The gateway's figures -------------------------------------------------

long rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Resident KiB of the mappings no file backs: the heap, thread stacks and
// anonymous maps, where a leak would show. VmRSS also counts the pages of
// the binary and the C library, which the kernel maps in 64 KiB runs the
// first time a path runs: a rare path late in the run grows it by a run
// without anything leaking. -1 when smaps cannot be read.
long anon_maps_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/smaps");
  if (!f) return -1;
  long total = 0;
  bool file_backed = false;
  for (std::string line; std::getline(f, line);) {
    if (line.rfind("Rss:", 0) == 0) {
      if (!file_backed) total += std::stol(line.substr(4));
    } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < line.find(' ')) {
      // "start-end perms offset dev inode [path]": a path from / is a file.
      file_backed = line.find(" /") != std::string::npos;
    }
  }
  return total;
}

struct Memory {
  long anon;  // anon_maps_kib
  long rss;   // VmRSS, shown only
};

Memory memory_of(pid_t pid) { return {anon_maps_kib(pid), rss_kib(pid)}; }

// Drains the gateway's output while waiting; true once `done` holds.
template <typename Pred>
bool wait_while_draining(vt::Gateway &gw, int timeout_ms, Pred done) {
  int64_t end = vt::now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  while (!done()) {
    if (vt::now_us() > end) return false;
    gw.output();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// ---- Full-size blocks through the paced simulator -------------------------

// velkord-sim in paced mode (a byte every character time) behind a gateway of
// its own at 9600 bit/s: lanes read 125-register blocks of unit 1, each at
// its own address, through slots of their own with a time-out of 1 s. The
// simulator's holding register i holds i, so a status 0 answer that is not
// exactly the lane's block is crossed.
constexpr int kBlockLanes = 3;
constexpr int kBlockRegisters = 125;
constexpr uint16_t kBlockSpacing = 200;

struct BlockTally {
  std::atomic<long> answers{0};
  std::atomic<long> crossed{0};
  std::atomic<long> no_answer{0};
};

BlockTally blocks;

bool is_block(const Bytes &frame, uint16_t address) {
  if (frame.size() != 3u + 2 * kBlockRegisters || frame[0] != 1 || frame[1] != 3 || frame[2] != 2 * kBlockRegisters)
    return false;
  for (int k = 0; k < kBlockRegisters; ++k)
    if ((frame[3 + 2 * k] << 8 | frame[4 + 2 * k]) != address + k) return false;
  return true;
}

void block_lane(int port, int index, int64_t end_us) {
  const uint16_t address = static_cast<uint16_t>(kBlockSpacing * index);
  vt::RequestFields r;
  r.mode = 1, r.slot = static_cast<uint8_t>(index), r.timeout = 1000000, r.lifetime = 5000000;
  r.frame = {1, 3, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0, kBlockRegisters};
  try {
    vt::NetClient c(port);
    while (vt::now_us() < end_us) {
      std::optional<Bytes> resp = c.exchange(vt::build_request(r), vt::slow_ms(kResponseWaitMs));
      if (!resp || resp->size() < 32) {
        failure("block lane " + std::to_string(index) + ": no response");
        return;
      }
      if ((*resp)[10] == kStatusNoAnswer) {
        blocks.no_answer++;
      } else if ((*resp)[10] == 0 && is_block(Bytes(resp->begin() + 32, resp->end()), address)) {
        blocks.answers++;
      } else {
        blocks.crossed++;
        failure("block lane " + std::to_string(index) + ": crossed or malformed " + vt::hex(*resp));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  } catch (const std::exception &e) {
    failure(std::string("block lane: ") + e.what());
  }
}

void soak_full_size_blocks(int seconds) {
  vt::SimProcess sim({"-b", "9600", "-P", "-t", "5000"});
  const int port = vt::free_tcp_port();
  vt::Gateway gw({"-sp", "0", "-br", "9600", "-db", "8", "-sb", "1", "-p", std::to_string(port)},
                 {"VELKORD_TTY_PATTERN=" + sim.pattern()});
  if (!sim.ready() || !gw.wait_for_output("---- opening tcp/ip", vt::slow_ms(10000))) {
    failure("velkord-sim or the gateway behind it did not start: " + gw.output());
    return;
  }
  const int64_t end_us = vt::now_us() + static_cast<int64_t>(seconds) * 1000000;
  std::vector<std::thread> threads;
  for (int i = 0; i < kBlockLanes; ++i) threads.emplace_back(block_lane, port, i, end_us);
  for (auto &t : threads) t.join();
  printf("soak: 125-register blocks through velkord-sim -P at 9600 bit/s for %d s: answers %ld, crossed %ld, "
         "no answer yet %ld\n",
         seconds, blocks.answers.load(), blocks.crossed.load(), blocks.no_answer.load());
  if (blocks.answers < kBlockLanes) failure("too few 125-register blocks answered through velkord-sim");
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : kDefaultSeconds;
  if (seconds < 10) {
    fprintf(stderr, "usage: velkord-soak [seconds, at least 10]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  lanes = make_lanes();

  vt::PtyPair line(0);
  line.export_pattern();
  vt::ScriptedUnit unit(line);
  gateway_port = vt::free_tcp_port();
  vt::Gateway gw({"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p", std::to_string(gateway_port)});
  if (!gw.wait_for_output("---- opening tcp/ip", vt::slow_ms(10000))) {
    fprintf(stderr, "soak: the gateway did not start:\n%s\n", gw.output().c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const pid_t pid = gw.pid();
  const int fds_before = vt::count_open_fds(pid);
  printf("soak: gateway pid %d on port %d, %d s, %d steady clients and %d cycling lanes\n", pid, gateway_port, seconds,
         kSteadyLanes, kCyclingLanes);

  std::vector<std::thread> threads;
  for (int i = 0; i < kLanes; ++i)
    threads.emplace_back(i < kSteadyLanes ? steady_lane : cycling_lane, std::cref(lanes[i]));

  const int64_t start = vt::now_us();
  // The baseline is taken once the run has had a third of its time to meet
  // every kind of client and unit.
  const int64_t warm_up_end = start + std::clamp<int64_t>(seconds / 3, 5, 40) * 1000000;
  const int64_t run_end = start + static_cast<int64_t>(seconds) * 1000000;
  Memory warm{-1, -1};
  int phase = -1;
  while (vt::now_us() < run_end) {
    int now_phase = static_cast<int>((vt::now_us() - start) / (kPhaseMs * 1000));
    if (now_phase != phase) {
      phase = now_phase;
      for (const Lane &l : lanes)
        unit.set_behaviour(l.unit, behaviour_for(l, static_cast<Fault>((phase + l.index) % kFaultCount)));
    }
    if (warm.anon < 0 && vt::now_us() >= warm_up_end) warm = memory_of(pid);
    gw.output();
    unit.clear();  // the unit's record of frames is not needed and would grow
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const Memory end = memory_of(pid);

  stopping = true;
  for (const Lane &l : lanes) unit.set_behaviour(l.unit, behaviour_for(l, kAnswer));
  for (auto &t : threads) t.join();
  bool fds_back = wait_while_draining(gw, vt::slow_ms(20000), [&] { return vt::count_open_fds(pid) <= fds_before; });
  const int fds_after_run = vt::count_open_fds(pid);

  // Still accepting and answering: the first request may find the last
  // exchange failed, the next ones the unit's answer.
  bool still_answers = false;
  {
    const Lane &l = lanes[0];
    auto c = connect_client();
    for (int i = 0; c && i < 50 && !still_answers; ++i) {
      auto r = c->exchange(lane_request(l, 0, 1), vt::slow_ms(kResponseWaitMs));
      still_answers = r && r->size() > 32 && is_own_answer(l, Bytes(r->begin() + 32, r->end()));
      if (!still_answers) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (c) c->exchange(lane_request(l, 1, 1), vt::slow_ms(kResponseWaitMs));
  }
  fds_back =
      wait_while_draining(gw, vt::slow_ms(20000), [&] { return vt::count_open_fds(pid) <= fds_before; }) && fds_back;
  const int fds_after = vt::count_open_fds(pid);
  const Memory after = memory_of(pid);
  const long connections = tally.connections;
  bool all_accepted = wait_while_draining(
      gw, 5000, [&] { return static_cast<long>(vt::count_of(gw.output(), "-----CLIENT-----")) >= connections; });
  const long accepted = static_cast<long>(vt::count_of(gw.output(), "-----CLIENT-----"));
  const bool alive = gw.wait_exit(0) < 0;

  long cycles = 0;
  for (auto &n : tally.cycles) cycles += n;
  const long cycles_wanted = (kCyclesPer120s * static_cast<long>(seconds) + 119) / 120;

  printf("soak: connection cycles %ld (wanted at least %ld)\n", cycles, cycles_wanted);
  for (int k = 0; k < kCycleKinds; ++k) printf("soak:   %-20s %ld\n", kCycleNames[k], tally.cycles[k].load());
  printf(
      "soak: requests %ld: status 0 %ld (of them crossed answers %ld), no answer yet %ld, "
      "refused junk %ld\n",
      tally.requests.load(), tally.answers.load() + tally.crossed.load(), tally.crossed.load(), tally.no_answer.load(),
      tally.refusals.load());
  printf("soak: status 0 answers per lane:");
  for (int i = 0; i < kLanes; ++i) printf(" %ld", tally.lane_answers[i].load());
  printf("\n");
  printf("soak: connections %ld, accepted by the gateway %ld, steady reconnects %ld\n", connections, accepted,
         tally.steady_reconnects.load());
  printf("soak: descriptors before %d, after the run %d, at the end %d\n", fds_before, fds_after_run, fds_after);
  printf("soak: anonymous memory after warm-up %ld KiB, at the end of the load %ld KiB (%+ld KiB), at the end %ld KiB\n",
         warm.anon, end.anon, end.anon - warm.anon, after.anon);
  printf("soak: VmRSS after warm-up %ld KiB, at the end of the load %ld KiB (%+ld KiB), at the end %ld KiB\n", warm.rss,
         end.rss, end.rss - warm.rss, after.rss);
  printf("soak: unit behaviours rotated every %d ms through:", kPhaseMs);
  for (int f = 0; f < kFaultCount; ++f) printf(" %s%s", kFaultNames[f], f + 1 < kFaultCount ? "," : "\n");

  printf("soak: crossed answers %ld\n", tally.crossed.load());
  if (tally.crossed > 0) failure("answers that were not a reply to the client's own request");
  if (cycles < cycles_wanted) failure("too few connection cycles");
  for (int i = 0; i < kLanes; ++i)
    if (tally.lane_answers[i] == 0) failure("lane " + std::to_string(i) + " never got its unit's answer");
  if (!fds_back || fds_after != fds_before) failure("the gateway's descriptors did not come back to their count");
  if (warm.anon < 0 || end.anon < 0 || end.anon - warm.anon > kAnonGrowthLimitKiB)
    failure("anonymous memory grew by more than 64 KiB after warm-up");
  if (after.anon < 0 || after.anon - warm.anon > kAnonGrowthLimitKiB)
    failure("anonymous memory at the end is more than 64 KiB above warm-up");
  if (!all_accepted || accepted != connections) failure("the gateway did not accept every connection");
  if (!alive) failure("the gateway has ended");
  if (!still_answers) failure("the gateway no longer answers");

  soak_full_size_blocks(std::clamp(seconds / 6, 10, 30));

  if (!failures.empty()) {
    printf("soak: FAILED, %zu failure(s)\n", failures.size());
    return 1;
  }
  printf("soak: passed\n");
  return 0;
}
