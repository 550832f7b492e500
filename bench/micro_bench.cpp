// Micro-benchmarks of the gateway's hot paths, in process, no worker thread
// running: the frame check, one command intake as a client handler makes it,
// the worker's walk over an idle table, what watching the line costs (a
// status snapshot, the page), and the pauses the worker sleeps.
//
//   micro_bench                                  all, default run times
//   micro_bench --benchmark_min_time=0.01        a quick pass (CI)
//   micro_bench --benchmark_filter=Crc           one group
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "intake.h"
#include "message.h"
#include "modbusRTU.h"
#include "modbustcp.h"
#include "pelnet.h"
#include "rtuovertcp.h"
#include "sleep_us.h"
#include "snapshot.h"
#include "status.h"
#include "worker.h"

namespace {

// ---- Frame check -----------------------------------------------------------

void BM_Crc(benchmark::State &state) {
  std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 37 + 11);
  for (auto _ : state) {
    benchmark::DoNotOptimize(buf.data());
    uint16_t crc = MRTU_CRC(buf.data(), static_cast<uint16_t>(buf.size()));
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
// 8: a sealed read request; 255: the longest frame a slot holds.
BENCHMARK(BM_Crc)->Arg(8)->Arg(255);

// The reply check the worker makes after every chunk it reads: a read of
// `range` registers and its answer behind a late 7-byte reply of another unit.
void BM_FindReply(benchmark::State &state) {
  int quantity = static_cast<int>(state.range(0));
  uint8_t request[8] = {1, 3, 0, 0, 0, static_cast<uint8_t>(quantity)};
  MRTU_SealFrame(request, 6);
  std::vector<uint8_t> bytes = {2, 3, 2, 0, 1, 0, 0};
  MRTU_SealFrame(bytes.data(), 5);
  size_t at = bytes.size();
  bytes.resize(at + 5 + 2 * static_cast<size_t>(quantity));
  bytes[at] = 1;
  bytes[at + 1] = 3;
  bytes[at + 2] = static_cast<uint8_t>(2 * quantity);
  MRTU_SealFrame(bytes.data() + at, 3 + 2 * quantity);
  if (MRTU_FindReply(request, 8, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(at))
    state.SkipWithError("the answer is not found");
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    int found = MRTU_FindReply(request, 8, bytes.data(), static_cast<int>(bytes.size()));
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_FindReply)->Arg(1)->Arg(125);

// ---- Command intake --------------------------------------------------------

// The line timing of 115200 bit/s, 8N1, as OpenSerial would derive it; the
// intake needs time_one_sym to turn the time-out into character times.
void set_line_115200() {
  ModbusRTU.baudrate = 115200;
  ModbusRTU.databits = 8;
  ModbusRTU.stopbits = 1;
  derive_line_timing(ModbusRTU);
}

// A request for unit `unit` as a client sends it: read `qty` holding
// registers from 0 (function 3), or, with `write_bytes` > 0, function 16
// writing that many bytes.
void build_request(uint8_t *req, uint8_t unit, int write_bytes) {
  memset(req, 0, msg::kCapacity);
  uint8_t *f = req + msg::kFrame;
  f[0] = unit;
  if (write_bytes == 0) {
    f[1] = 3;
    f[5] = 1;
    msg::put16(req, msg::kLength, msg::kHeaderSize + 6);
  } else {
    f[1] = 16;
    f[5] = static_cast<uint8_t>(write_bytes / 2);
    f[6] = static_cast<uint8_t>(write_bytes);
    for (int i = 0; i < write_bytes; ++i) f[7 + i] = static_cast<uint8_t>(i);
    msg::put16(req, msg::kLength, static_cast<uint16_t>(msg::kHeaderSize + 7 + write_bytes));
  }
  req[msg::kMode] = 1;
  msg::put32(req, msg::kTimeout, 100000);
  msg::put32(req, msg::kLifetime, 750000);
}

// The slot as the worker leaves it: either holding a valid 7-byte answer or
// marked "no answer" by an idle pass.
void prime_slot(uint8_t unit, bool answered) {
  ExchangeSlot &s = MRTU_SerialData[unit - 1].slots[0];
  static const uint8_t kAnswer[7] = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
  memcpy(s.rxFrame, kAnswer, sizeof kAnswer);
  s.rxLength = sizeof kAnswer;
  s.result = answered ? kResultValid : kResultNoAnswer;
}

// One call of MRTU_CMD as the handler makes it (response cleared first),
// with no worker running, so the mutex is never contended. Arguments:
// answered (0/1), bytes of a function 16 write (0: a function 3 read).
void BM_MrtuCmd(benchmark::State &state) {
  set_line_115200();
  const bool answered = state.range(0) != 0;
  const int write_bytes = static_cast<int>(state.range(1));
  const uint8_t unit = 1;
  prime_slot(unit, answered);
  static uint8_t request[msg::kCapacity];
  static uint8_t response[msg::kCapacity];
  build_request(request, unit, write_bytes);
  const int expected = answered ? kCmdOk : kCmdNoAnswer;
  for (auto _ : state) {
    memset(response, 0, sizeof response);
    int r = MRTU_CMD(request, response, request[msg::kSlot], request[msg::kMode],
                     static_cast<int32_t>(msg::get32(request, msg::kTimeout)),
                     msg::get32(request, msg::kLifetime), msg::get32(request, msg::kDelay));
    if (r != expected) {
      state.SkipWithError("MRTU_CMD gave an unexpected result");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  // The slot stays armed for nobody: leave the table idle for the next case.
  MRTU_SerialData[unit - 1].slots[0].mode = kModeIdle;
}
BENCHMARK(BM_MrtuCmd)
    ->ArgNames({"answered", "fc16_bytes"})
    ->Args({0, 0})     // first request to a slot: stored, 0x81
    ->Args({1, 0})     // steady polling: stored, answer copied out
    ->Args({1, 246});  // the longest request the intake takes

// ---- Idle walk ---------------------------------------------------------------

// One walk of the process line's worker over the idle table, stepped by the
// benchmark record visit by record visit, under one hold of SerialMutex, as
// the worker thread makes it: for each record a look at its pending bits
// (none are set once a walk has marked the idle slots), until the walk comes
// round.
void BM_IdleWalk(benchmark::State &state) {
  SerialLine &line = SerialProcessLine;
  for (DeviceRecord &rec : line.table)
    for (ExchangeSlot &s : rec.slots) s.mode = kModeIdle;
  SerialWorker &worker = line.worker;
  for (auto _ : state) {
    Locked table(line.mutex);
    worker.position = 0;
    worker.walk_exchanged = false;
    Visit v = Visit::kPassed;
    while (v == Visit::kPassed) v = visit_record(line, table);
    if (v != Visit::kIdleCycle) {
      state.SkipWithError("the table was not idle");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.counters["slot_tests"] = kUnitCount * kSlotCount;
}
BENCHMARK(BM_IdleWalk);

// ---- Watching: the status snapshot and the page ------------------------------

constexpr int kWatchedUnits = 32;
constexpr int kFaceReadsPerUnit = 2;

// The process line as a busy one looks to the status face: 32 units with 5
// active slots each, every one exchanged; and a started pool with 2 reads of
// each unit on the line (asked once, with nobody to answer them).
struct WatchedLine {
  ModbusTcpFace face;
  RtuOverTcpFace rtu;      // off, as on most lines
  AllowList write_allow{};  // everyone may write
  GatewayFacts facts = {"bench", 1, &NativeProcessServer, &face, &rtu, &write_allow, &face.pool};

  WatchedLine() {
    SerialLine &line = SerialProcessLine;
    for (int u = 0; u < kWatchedUnits; ++u) {
      line.counters.unit_seen[u] = kUnitRequested | kUnitExchanged;
      line.counters.units[u].exchanges[kOutcomeValid] = 1000;
      for (ExchangeSlot &s : line.table[u].slots) {
        const uint8_t read[6] = {static_cast<uint8_t>(u + 1), 3, 0, 10, 0, 4};
        memcpy(s.txFrame, read, sizeof read);
        s.mode = kModeRepeat;
      }
    }
    PoolSettings quick;
    quick.wait_ms = 1;
    pool_start(face.pool, quick);
    for (int u = 1; u <= kWatchedUnits; ++u)
      for (int k = 0; k < kFaceReadsPerUnit; ++k) {
        const uint8_t read[6] = {static_cast<uint8_t>(u), 3, 0, static_cast<uint8_t>(100 + k), 0, 2};
        uint8_t answer[kFaceFrameSize];
        pool_ask(face.pool, read, sizeof read, answer);
      }
  }
  ~WatchedLine() {
    pool_stop(face.pool);
    for (int u = 0; u < kWatchedUnits; ++u) {
      SerialProcessLine.counters.unit_seen[u] = 0;
      for (ExchangeSlot &s : SerialProcessLine.table[u].slots) s.mode = kModeIdle;
    }
  }
};

// One snapshot as the status server takes it for every answer: the line's
// part copied under SerialMutex (held for that copy only), the pool's reads
// under its lock, the clients' counts; ages and rates worked out after.
void BM_StatusSnapshot(benchmark::State &state) {
  auto watched = std::make_unique<WatchedLine>();
  auto s = std::make_unique<StatusSnapshot>();
  for (auto _ : state) {
    status_snapshot_reset(*s);
    fill_status(*s, &watched->facts);
    benchmark::DoNotOptimize(s->unit_count);
  }
  if (s->unit_count != kWatchedUnits || s->read_count != kWatchedUnits * kFaceReadsPerUnit)
    state.SkipWithError("the snapshot does not list the line");
}
BENCHMARK(BM_StatusSnapshot);

bool count_bytes(void *context, const char *, size_t length) {
  *static_cast<size_t *>(context) += length;
  return true;
}

// The page of that snapshot, with ten minutes of graphs in which every
// second differs from the one before (the longest paths), rendered twice as
// the server does (to count, then to send); and /metrics and /status once.
void BM_StatusRender(benchmark::State &state) {
  auto watched = std::make_unique<WatchedLine>();
  auto s = std::make_unique<StatusSnapshot>();
  auto samples = std::make_unique<StatusSamples>();
  status_snapshot_reset(*s);
  fill_status(*s, &watched->facts);
  s->samples = samples.get();
  samples_start(*samples, *s, 0);
  for (int t = 1; t <= kSampleSeconds; ++t) {
    for (int i = 0; i < s->unit_count; ++i) s->units[i].exchanges[kOutcomeValid] += 4 + (t + i) % 3;
    samples_take(*samples, *s, t * kSampleIntervalUs);
  }
  static char buffer[kStatusOutBytes];
  void (*const render)(const StatusSnapshot &, TextOut &) =
      state.range(0) == 0 ? render_page : state.range(0) == 1 ? render_metrics : render_status_json;
  const int times = state.range(0) == 0 ? 2 : 1;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (int n = 0; n < times; ++n) {
      TextOut out(buffer, sizeof buffer, count_bytes, &bytes);
      render(*s, out);
      out.flush();
    }
  }
  state.counters["bytes"] = static_cast<double>(bytes / static_cast<size_t>(times));
}
BENCHMARK(BM_StatusRender)->ArgName("page0_metrics1_status2")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// ---- Sleeps ------------------------------------------------------------------

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// sleep_us as the worker calls it (timer slack 1 µs) and as the client
// handlers call it (the default slack). Reports the median overshoot: the
// line schedule is a chain of such sleeps. Arguments: µs, slack in ns.
void BM_SleepUs(benchmark::State &state) {
  const uint32_t us = static_cast<uint32_t>(state.range(0));
  const unsigned long slack_ns = static_cast<unsigned long>(state.range(1));
  unsigned long old_slack = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
  prctl(PR_SET_TIMERSLACK, slack_ns, 0, 0, 0);
  std::vector<int64_t> over;
  over.reserve(4096);
  for (auto _ : state) {
    int64_t t0 = now_ns();
    sleep_us(us);
    if (over.size() < over.capacity()) over.push_back(now_ns() - t0 - int64_t{us} * 1000);
  }
  prctl(PR_SET_TIMERSLACK, old_slack, 0, 0, 0);
  if (!over.empty()) {
    std::sort(over.begin(), over.end());
    state.counters["overshoot_p50_us"] = static_cast<double>(over[over.size() / 2]) / 1000.0;
    state.counters["overshoot_p99_us"] =
        static_cast<double>(over[over.size() * 99 / 100]) / 1000.0;
  }
}
BENCHMARK(BM_SleepUs)
    ->ArgNames({"us", "slack_ns"})
    ->Args({95, 1})      // a poll pause at 115200 bit/s
    ->Args({380, 1})     // the silence pause at 115200 bit/s
    ->Args({1000, 1})    // the pause before an exchange with delay 0
    ->Args({4580, 1})    // the silence pause at 9600 bit/s
    ->Args({1, 50000})   // a client handler's pause 1, default slack
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
