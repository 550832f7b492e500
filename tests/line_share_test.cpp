// Nobody takes the line: a unit that does not answer is set aside and tried
// now and then, writes leave the reads and the slots their share, and the
// Modbus face's places go to the clients that talk. The back-off rules are
// seen by stepping a line's worker against silent units on a
// pseudo-terminal; the rest on the real binary, with libmodbus clients, a
// native client and the status face's metrics.
#include <gtest/gtest.h>
#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbusRTU.h"
#include "support/engine_support.h"
#include "support/modbus_tcp_client.h"
#include "support/net_client.h"
#include "support/net_gateway.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/status_readers.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

constexpr uint8_t kDeadUnit = 6;
constexpr uint32_t kLongLife = 600000000;  // µs, outlives every test

Bytes read_holding(uint8_t unit) { return {unit, 3, 0, 0, 0, 1}; }

// ---- The back-off, on a stepped line -------------------------------------------

// A line of the test's own at 115200 bit/s whose worker the test steps, a
// unit on it that answers every address but `kDeadUnit`, and the rules.
class SteppedLine : public ::testing::Test {
 protected:
  void open(const OfflineRules &rules) {
    serial.options.offline = rules;
    ASSERT_TRUE(vt::open_stepped_line(serial, line, 115200));
    unit.set_behaviour(kDeadUnit, vt::Behaviour::Silent());
  }
  void TearDown() override { line_close(serial); }
  void arm(uint8_t u, uint8_t mode, uint32_t lifetime = kLongLife) {
    vt::run_command(serial, {.frame = read_holding(u), .slot = 0, .mode = mode,
                             .timeout = vt::char_times_us(serial, 255), .lifetime = lifetime});
  }
  // The frames the unit got for `u`.
  size_t sent_to(uint8_t u) { return vt::frames_of(unit.frames(), u).size(); }
  UnitReach reach_of(uint8_t u) {
    Locked table(serial.mutex);
    return serial.reach.units[u - 1];
  }

  std::unique_ptr<SerialLine> owned = vt::fresh_line();
  SerialLine &serial = *owned;
  vt::PtyPair line{0};
  vt::ScriptedUnit unit{line};
};

// Tries of a silent unit come once per interval, each interval twice the
// one before up to 32 times the first; its first answer ends it at once.
// Each try reaches the unit no sooner than the retry the one before set.
TEST_F(SteppedLine, SilentUnitIsTriedOncePerDoublingIntervalAndBackAtItsAnswer) {
  constexpr uint32_t kRetryUs = 10000;
  constexpr size_t kTries = 8;
  open({.after = 3, .retry_us = kRetryUs, .native = true});
  arm(kDeadUnit, kModeRepeat);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(line_unit_offline(serial, kDeadUnit)) << "after " << i;
    ASSERT_EQ(vt::exchange_next(serial).unit, kDeadUnit);
  }
  EXPECT_TRUE(line_unit_offline(serial, kDeadUnit));
  std::vector<UnitReach> set = {reach_of(kDeadUnit)};  // the state each try left
  const int64_t give_up = vt::now_us() + vt::slow_us(3000000);
  while (set.size() <= kTries && vt::now_us() < give_up) {
    if (vt::exchange_next(serial).unit == kDeadUnit)
      set.push_back(reach_of(kDeadUnit));
    else
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_EQ(set.size(), kTries + 1);
  ASSERT_TRUE(unit.wait_frames(3 + kTries, vt::slow_ms(1000)));
  const std::vector<vt::Frame> frames = vt::frames_of(unit.frames(), kDeadUnit);
  ASSERT_EQ(frames.size(), 3 + kTries) << "nothing between the tries";
  for (size_t k = 1; k <= kTries; ++k) {
    EXPECT_GE(frames[2 + k].first_us, set[k - 1].next_try_us) << "try " << k;
    EXPECT_EQ(set[k].retry_us, std::min(kRetryUs << k, 32 * kRetryUs)) << "after try " << k;
  }

  unit.reset_behaviour(kDeadUnit);
  ASSERT_TRUE(vt::wait_until([&] { return vt::exchange_next(serial).unit == kDeadUnit; }, 1000));
  EXPECT_FALSE(line_unit_offline(serial, kDeadUnit));
  EXPECT_EQ(vt::exchange_next(serial).unit, kDeadUnit) << "on its schedule again";
  EXPECT_EQ(reach_of(kDeadUnit).went_offline, 1u);
}

struct HoldRow {
  const char *name;
  bool native;    // VELKORD_OFFLINE_NATIVE
  uint8_t mode;   // of the slot
  bool garbled;   // the unit answers, with a bad CRC
  bool held;      // its next turn waits for the retry
};

void PrintTo(const HoldRow &row, std::ostream *os) { *os << row.name; }

class HeldSlots : public SteppedLine, public ::testing::WithParamInterface<HoldRow> {};

// A held-back turn reads "no answer" and pays its lifetime as an exchange
// without an answer would; a slot a client waits for once is never held
// back, and without OFFLINE_NATIVE the slots keep the line's schedule. A
// unit whose replies are garbled is there: it is never set aside.
TEST_P(HeldSlots, FollowTheBackOffOnlyWhereTheyShould) {
  const HoldRow &row = GetParam();
  open({.after = 3, .retry_us = 10000000, .native = row.native});
  if (row.garbled) unit.set_behaviour(kDeadUnit, vt::Behaviour::WrongCrc());
  const uint32_t life = 100 * static_cast<uint32_t>(serial.settings.time_silence);
  arm(kDeadUnit, row.mode, life);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(vt::exchange_next(serial).unit, kDeadUnit);
  EXPECT_EQ(line_unit_offline(serial, kDeadUnit), !row.garbled);
  const ExchangeSlot before = vt::slot_copy(serial, kDeadUnit, 0);
  EXPECT_EQ(vt::exchange_next(serial).unit, row.held ? 0 : kDeadUnit);
  ASSERT_TRUE(unit.wait_frames(row.held ? 3 : 4, vt::slow_ms(1000)));
  EXPECT_EQ(sent_to(kDeadUnit), row.held ? 3u : 4u);
  const ExchangeSlot after = vt::slot_copy(serial, kDeadUnit, 0);
  EXPECT_EQ(after.result, row.garbled ? kResultBadAnswer : kResultNoAnswer);
  EXPECT_LT(after.lifetime, before.lifetime) << "each turn costs the slot a silence time";
  EXPECT_EQ(after.mode, row.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HeldSlots,
    ::testing::Values(HoldRow{"RepeatingSlotWaitsForTheRetry", true, kModeRepeat, false, true},
                      HoldRow{"SlotUntilAnsweredIsSentAllTheSame", true, kModeUntilAnswered, false, false},
                      HoldRow{"WithoutOfflineNativeTheScheduleStays", false, kModeRepeat, false, false},
                      HoldRow{"GarbledRepliesAreNoSilence", true, kModeRepeat, true, false}),
    [](const ::testing::TestParamInfo<HoldRow> &info) { return std::string(info.param.name); });

// ---- The real gateway ---------------------------------------------------------------

// velkord at 115200 bit/s on `line` with the Modbus TCP face and the status
// face on 127.0.0.1.
struct ShareGateway {
  ShareGateway(vt::PtyPair &line, std::vector<std::string> env)
      : native(vt::free_tcp_port()), face(vt::free_tcp_port()), status(vt::free_tcp_port()) {
    env.push_back("VELKORD_TTY_PATTERN=" + line.pattern());
    env.push_back("VELKORD_MODBUS_TCP=127.0.0.1:" + std::to_string(face));
    env.push_back("VELKORD_STATUS=127.0.0.1:" + std::to_string(status));
    process = std::make_unique<vt::Gateway>(vt::gateway_args(native), env);
    started = process->wait_for_output("---- status  127.0.0.1:" + std::to_string(status), vt::slow_ms(10000));
  }
  // The value of one sample of the metrics, as text; empty when it is missing.
  std::string metric(const std::string &sample) {
    const std::string text = vt::http_get(status, "/metrics"), key = "\n" + sample + " ";
    const size_t at = text.find(key);
    return at == std::string::npos ? "" : text.substr(at + key.size(), text.find('\n', at + 1) - at - key.size());
  }
  int native, face, status;
  std::unique_ptr<vt::Gateway> process;
  bool started;
};

// A libmodbus client reading one register of `unit` through the face every
// 100 ms until it is destroyed, noting each read's time and outcome.
class Reader {
 public:
  Reader(int port, uint8_t unit, uint16_t address = 0) : client_(port, unit) {
    thread_ = std::thread([this, address] {
      while (!stop_) {
        uint16_t reg;
        const int64_t start = vt::now_us();
        const bool ok = modbus_read_registers(client_.ctx, address, 1, &reg) == 1;
        {
          std::lock_guard<std::mutex> lock(m_);
          reads_.push_back({start, vt::now_us(), ok});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  ~Reader() {
    stop_ = true;
    thread_.join();
  }
  struct Read {
    int64_t start_us, end_us;
    bool ok;
  };
  std::vector<Read> reads() {
    std::lock_guard<std::mutex> lock(m_);
    return reads_;
  }
  // Whether a read that began at or after `since_us` was answered.
  bool answered_since(int64_t since_us) {
    for (const Read &r : reads())
      if (r.ok && r.start_us >= since_us) return true;
    return false;
  }

 private:
  vt::ModbusTcpClient client_;
  std::mutex m_;
  std::vector<Read> reads_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sleeps `ms`; true, so that a condition polled in wait_until asks less often.
bool nap(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return true;
}

// Exchanges per second of units 1 to 5 between two times, as the unit saw them.
double live_rate(const vt::ScriptedUnit &unit, int64_t from_us, int64_t to_us) {
  size_t n = 0;
  for (const vt::Frame &f : unit.frames())
    if (f.unit() >= 1 && f.unit() <= 5 && f.first_us >= from_us && f.first_us < to_us) ++n;
  return static_cast<double>(n) * 1e6 / static_cast<double>(to_us - from_us);
}

// A gateway on a line of its own with units 1 to 5 answering after 20 ms,
// as slow units do (the rates then hardly depend on how quickly a loaded
// machine wakes the worker), each read through the face; with `dead`, unit
// 6 is read too and never answers.
struct ReadLine {
  ReadLine(bool dead, const std::vector<std::string> &env) {
    unit.set_behaviour(vt::Behaviour::Late(20000));
    unit.set_behaviour(kDeadUnit, vt::Behaviour::Silent());
    gw = std::make_unique<ShareGateway>(line, env);
    if (!gw->started) return;
    for (uint8_t u = 1; u <= (dead ? kDeadUnit : 5); ++u) readers.push_back(std::make_unique<Reader>(gw->face, u));
  }
  vt::PtyPair line{0};
  vt::ScriptedUnit unit{line};
  std::unique_ptr<ShareGateway> gw;
  std::vector<std::unique_ptr<Reader>> readers;
};

// Five live units and a dead one, every one read through the face, with a
// time-out of 500 ms, beside the same five alone on another gateway: after
// three silent exchanges the dead unit is set aside, its reads are answered
// 0x0B at once, the live units keep 90 % of the rate they have alone (the
// two lines measured in the same window, so the machine's load weighs on
// both alike), it is tried once per interval and answers again at the
// first try after its return.
TEST(LineShare, DeadUnitIsSetAsideAndBackWithinAnIntervalOfItsReturn) {
  constexpr int64_t kTimeoutUs = 500000, kRetryUs = 3000000, kWindowUs = 1800000;
  const std::vector<std::string> env = {"VELKORD_MODBUS_TCP_TIMEOUT_MS=500", "VELKORD_MODBUS_TCP_WAIT_MS=3000",
                                        "VELKORD_OFFLINE_RETRY_MS=3000"};
  ReadLine alone(false, env), with(true, env);
  ASSERT_TRUE(alone.gw->started && with.gw->started) << alone.gw->process->output() << with.gw->process->output();
  ShareGateway &gw = *with.gw;
  ASSERT_TRUE(vt::wait_until([&] { return gw.metric("velkord_unit_offline{unit=\"6\"}") == "1" || !nap(20); }, 8000));
  const std::vector<vt::Frame> silent = vt::frames_of(with.unit.frames(), kDeadUnit);
  ASSERT_EQ(silent.size(), 3u) << "set aside after three exchanges without an answer";
  EXPECT_EQ(gw.metric("velkord_unit_offline_total{unit=\"6\"}"), "1");
  // From then until its first try its reads are answered at once, and the
  // live units run on. It went offline once the third exchange's wait was
  // over, so its try is due no sooner than an interval after that; it comes
  // back well before.
  const int64_t offline_us = silent[2].first_us + kTimeoutUs;
  const int64_t from = offline_us + 100000, to = from + kWindowUs;
  std::this_thread::sleep_for(std::chrono::microseconds(std::max<int64_t>(0, to - vt::now_us())));
  with.unit.reset_behaviour(kDeadUnit);
  const int64_t back = vt::now_us();
  EXPECT_GE(live_rate(with.unit, from, to), 0.9 * live_rate(alone.unit, from, to))
      << "without it: " << live_rate(alone.unit, from, to) << "/s";
  Reader &dead = *with.readers.back();
  for (const Reader::Read &r : dead.reads()) {
    if (r.start_us < from || r.start_us >= back) continue;
    EXPECT_LT(r.end_us - r.start_us, vt::slow_us(500000)) << "0x0B at once";
  }
  // Its try is due at most one interval after its return; the reader asks
  // every 100 ms, and a loaded machine may take a while over either.
  EXPECT_TRUE(vt::wait_until([&] { return dead.answered_since(back); }, static_cast<int>(kRetryUs / 1000) + 1500));
  const std::vector<vt::Frame> tried = vt::frames_of(with.unit.frames(), kDeadUnit);
  ASSERT_GE(tried.size(), 4u);
  EXPECT_GE(tried[3].first_us - silent[2].first_us, kTimeoutUs + kRetryUs - 100000) << "one try per interval";
  EXPECT_EQ(gw.metric("velkord_unit_offline{unit=\"6\"}"), "0");
}

// A flood of writes, or one writer of an absent unit, beside a face reader
// of another unit and a native slot: the reads stay fresh (MAX_AGE_MS) and
// never get 0x0B, and the slot keeps being exchanged.
TEST(LineShare, WritersLeaveReadsAndSlotsTheirShare) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  unit.set_behaviour(vt::Behaviour::Late(1000));
  unit.set_behaviour(9, vt::Behaviour::Silent());
  // IDLE_MS: a row's read leaves the line soon after it, so the next row's
  // read has its unit's turns to itself.
  ShareGateway gw(line, {"VELKORD_MODBUS_TCP_WAIT_MS=2000", "VELKORD_MODBUS_TCP_MAX_AGE_MS=1500",
                         "VELKORD_MODBUS_TCP_IDLE_MS=300"});
  ASSERT_TRUE(gw.started) << gw.process->output();
  vt::NetClient native(gw.native);
  vt::RequestFields slot;
  slot.mode = kModeRepeat, slot.timeout = 100000, slot.lifetime = kLongLife, slot.frame = read_holding(3);
  ASSERT_TRUE(vt::exchange_until_answered(native, vt::build_request(slot), vt::slow_ms(3000)));
  const struct {
    const char *name;
    uint8_t written;
    int writers;
    size_t slot_exchanges;  // at least, while the reader reads
  } rows[] = {{"two writers of a unit that answers", 1, 2, 20}, {"one writer of an absent unit", 9, 1, 1}};
  uint16_t address = 0;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < row.writers; ++w)
      writers.emplace_back([&, w] {
        vt::ModbusTcpClient c(gw.face, row.written);
        for (uint16_t v = 0; !stop; ++v) modbus_write_register(c.ctx, 100 + w, v);
      });
    const size_t slot_before = vt::frames_of(unit.frames(), 3).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
      Reader reader(gw.face, 2, ++address);  // a read nobody asked for before
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      const std::vector<Reader::Read> reads = reader.reads();
      EXPECT_GE(reads.size(), 2u);
      for (const Reader::Read &r : reads) EXPECT_TRUE(r.ok) << "a read at " << (r.start_us - reads[0].start_us) / 1000 << " ms";
    }
    EXPECT_GE(vt::frames_of(unit.frames(), 3).size() - slot_before, row.slot_exchanges);
    stop = true;
    for (std::thread &t : writers) t.join();
  }
}

// 64 connections that send a request a byte every half second, then 64 that
// send nothing: a client that talks is served within 8 s and within 2 s.
TEST(LineShare, SlowAndSilentConnectionsGiveWayToAClientThatTalks) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  ShareGateway gw(line, {});
  ASSERT_TRUE(gw.started) << gw.process->output();
  // The MBAP head of a write of 123 registers: 260 bytes in all.
  const Bytes head = {0, 1, 0, 0, 0, 254, 1, 16, 0, 0, 0, 123, 246};
  const struct {
    const char *name;
    bool trickles;
    int within_ms;
    const char *counted;
  } rows[] = {{"slow senders", true, 8000, "incomplete"}, {"silent connections", false, 2000, "evicted"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::unique_ptr<vt::NetClient>> hogs;
    for (int i = 0; i < 64; ++i) hogs.push_back(std::make_unique<vt::NetClient>(gw.face));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
      for (size_t k = 0; row.trickles && !stop; ++k) {
        for (auto &h : hogs) h->send({head[k % head.size()]});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // every place taken
    const int64_t start = vt::now_us();
    bool served = false;
    while (!served && vt::now_us() - start < vt::slow_us(10000000)) {
      vt::ModbusTcpClient c(gw.face);
      uint16_t reg;
      served = c.connected && modbus_read_registers(c.ctx, 0, 1, &reg) == 1;
      if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(served);
    EXPECT_LT(vt::now_us() - start, vt::slow_us(row.within_ms * 1000));
    stop = true;
    trickle.join();
    EXPECT_NE(gw.metric(std::string("velkord_connections_total{protocol=\"modbus_tcp\",result=\"") + row.counted + "\"}"), "0");
  }
}

}  // namespace
