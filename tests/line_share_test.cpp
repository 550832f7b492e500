// Nobody takes the line, seen on the real binary with libmodbus clients, a
// native client and the status face's metrics: a dead unit is set aside and
// brought back, writes leave the reads and the slots their share, and the
// Modbus face's places go to the clients that talk. (The back-off's rules
// step by step are in worker_test.)
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
using std::chrono::milliseconds;

constexpr uint8_t kDeadUnit = 6;

// velkord at 115200 bit/s on `line` with the Modbus TCP face and the status
// face on 127.0.0.1; a unit on the line answering after `late_us`, except
// the units set silent.
struct ShareGateway {
  ShareGateway(std::vector<std::string> env, int64_t late_us, std::vector<uint8_t> silent = {})
      : native(vt::free_tcp_port()), face(vt::free_tcp_port()), status(vt::free_tcp_port()) {
    unit.set_behaviour(vt::Behaviour::Late(late_us));
    for (uint8_t u : silent) unit.set_behaviour(u, vt::Behaviour::Silent());
    for (std::string e : {"VELKORD_TTY_PATTERN=" + line.pattern(), "VELKORD_MODBUS_TCP=127.0.0.1:" + std::to_string(face),
                          "VELKORD_STATUS=127.0.0.1:" + std::to_string(status)})
      env.push_back(e);
    process = std::make_unique<vt::Gateway>(vt::gateway_args(native), env);
    started = process->wait_for_output("---- status  127.0.0.1:" + std::to_string(status), vt::slow_ms(10000));
  }
  // One sample of the metrics, as text; empty when it is missing.
  std::string metric(const std::string &sample) {
    const std::string text = vt::http_get(status, "/metrics"), key = "\n" + sample + " ";
    const size_t at = text.find(key);
    return at == std::string::npos ? "" : text.substr(at + key.size(), text.find('\n', at + 1) - at - key.size());
  }
  vt::PtyPair line{0};
  vt::ScriptedUnit unit{line};
  int native, face, status;
  std::unique_ptr<vt::Gateway> process;
  bool started;
};

// A libmodbus client reading one register of each of `units` through the
// face every 100 ms until it is destroyed, noting every read.
class Reader {
 public:
  struct Read {
    uint8_t unit;
    int64_t start_us, end_us;
    bool ok;
  };
  Reader(int port, std::vector<uint8_t> units, uint16_t address = 0) : client_(port) {
    thread_ = std::thread([this, units, address] {
      for (uint16_t reg; !stop_; std::this_thread::sleep_for(milliseconds(100)))
        for (uint8_t u : units) {
          modbus_set_slave(client_.ctx, u);
          const int64_t start = vt::now_us();
          const bool ok = modbus_read_registers(client_.ctx, address, 1, &reg) == 1;
          std::lock_guard<std::mutex> lock(m_);
          reads_.push_back({u, start, vt::now_us(), ok});
        }
    });
  }
  ~Reader() {
    stop_ = true;
    thread_.join();
  }
  std::vector<Read> reads() {
    std::lock_guard<std::mutex> lock(m_);
    return reads_;
  }

 private:
  vt::ModbusTcpClient client_;
  std::mutex m_;
  std::vector<Read> reads_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Exchanges per second of units 1 to 5 between two times, as the unit saw them.
double live_rate(const vt::ScriptedUnit &unit, int64_t from_us, int64_t to_us) {
  const std::vector<vt::Frame> all = unit.frames();
  const auto n = std::count_if(all.begin(), all.end(), [&](const vt::Frame &f) {
    return f.unit() >= 1 && f.unit() <= 5 && f.first_us >= from_us && f.first_us < to_us;
  });
  return static_cast<double>(n) * 1e6 / static_cast<double>(to_us - from_us);
}

// Five live units and a dead one, all read through the face with a time-out
// of 500 ms, beside the same five alone on another gateway (both lines in
// the same window, so a loaded machine weighs on them alike; the units
// answer after 20 ms, as slow ones do): after three silent exchanges the
// dead unit is set aside and read 0x0B at once, the live units keep 90 %
// of their rate alone, and it is tried once per interval and answers again
// at the first try after its return.
TEST(LineShare, DeadUnitIsSetAsideAndBackWithinAnIntervalOfItsReturn) {
  constexpr int64_t kTimeoutUs = 500000, kRetryUs = 3000000, kWindowUs = 1800000;
  const std::vector<std::string> env = {"VELKORD_MODBUS_TCP_TIMEOUT_MS=500", "VELKORD_MODBUS_TCP_WAIT_MS=3000",
                                        "VELKORD_OFFLINE_RETRY_MS=3000"};
  ShareGateway alone(env, 20000), with(env, 20000, {kDeadUnit});
  ASSERT_TRUE(alone.started && with.started) << alone.process->output() << with.process->output();
  Reader alone_reads(alone.face, {1, 2, 3, 4, 5}), reads(with.face, {1, 2, 3, 4, 5, kDeadUnit});
  const std::string offline = "velkord_unit_offline{unit=\"6\"}";
  ASSERT_TRUE(vt::wait_until([&] { return with.metric(offline) == "1" || (std::this_thread::sleep_for(milliseconds(20)), false); }, 8000));
  const std::vector<vt::Frame> silent = vt::frames_of(with.unit.frames(), kDeadUnit);
  ASSERT_EQ(silent.size(), 3u) << "set aside after three exchanges without an answer";
  EXPECT_EQ(with.metric("velkord_unit_offline_total{unit=\"6\"}"), "1");
  // It went offline when the third exchange's wait was over: its try is due
  // an interval after that, and it comes back well before.
  const int64_t from = silent[2].first_us + kTimeoutUs + 100000, to = from + kWindowUs;
  std::this_thread::sleep_for(std::chrono::microseconds(std::max<int64_t>(0, to - vt::now_us())));
  with.unit.reset_behaviour(kDeadUnit);
  const int64_t back = vt::now_us();
  // Give or take one exchange at the window's edges.
  const double edge = 1e6 / static_cast<double>(kWindowUs);
  EXPECT_GE(live_rate(with.unit, from, to) + edge, 0.9 * live_rate(alone.unit, from, to))
      << "alone: " << live_rate(alone.unit, from, to) << "/s";
  for (const Reader::Read &r : reads.reads()) {
    if (r.unit != kDeadUnit || r.start_us < from || r.start_us >= back) continue;
    EXPECT_LT(r.end_us - r.start_us, vt::slow_us(500000)) << "0x0B at once";
  }
  auto answered_since_back = [&] {
    const std::vector<Reader::Read> all = reads.reads();
    return std::any_of(all.begin(), all.end(), [&](auto &r) { return r.unit == kDeadUnit && r.ok && r.start_us >= back; });
  };
  EXPECT_TRUE(vt::wait_until(answered_since_back, static_cast<int>(kRetryUs / 1000) + 1500));
  const std::vector<vt::Frame> tried = vt::frames_of(with.unit.frames(), kDeadUnit);
  ASSERT_GE(tried.size(), 4u);
  EXPECT_GE(tried[3].first_us - silent[2].first_us, kTimeoutUs + kRetryUs - 100000) << "one try per interval";
  EXPECT_EQ(with.metric(offline), "0");
}

// A flood of writes, or one writer of an absent unit, beside a face reader
// of another unit and a native slot: the reads stay fresh (MAX_AGE_MS) and
// never get 0x0B, and the slot keeps being exchanged. IDLE_MS: a row's read
// leaves the line soon after it.
TEST(LineShare, WritersLeaveReadsAndSlotsTheirShare) {
  ShareGateway gw({"VELKORD_MODBUS_TCP_WAIT_MS=4000", "VELKORD_MODBUS_TCP_MAX_AGE_MS=1500", "VELKORD_MODBUS_TCP_IDLE_MS=300"},
                  1000, {9});
  ASSERT_TRUE(gw.started) << gw.process->output();
  vt::NetClient native(gw.native);
  vt::RequestFields slot;
  slot.mode = kModeRepeat, slot.timeout = 100000, slot.lifetime = 600000000, slot.frame = {3, 3, 0, 0, 0, 1};
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
    const size_t slot_before = vt::frames_of(gw.unit.frames(), 3).size();
    std::this_thread::sleep_for(milliseconds(200));
    std::vector<Reader::Read> reads;
    {
      Reader reader(gw.face, {2}, ++address);  // a read nobody asked for before
      std::this_thread::sleep_for(milliseconds(2500));
      // A loaded machine may hold the first read back: a little longer for a second.
      vt::wait_until([&] { return reader.reads().size() >= 2; }, vt::slow_ms(5000));
      reads = reader.reads();
    }
    EXPECT_GE(reads.size(), 2u);
    EXPECT_TRUE(std::all_of(reads.begin(), reads.end(), [](auto &r) { return r.ok; }));
    EXPECT_GE(vt::frames_of(gw.unit.frames(), 3).size() - slot_before, row.slot_exchanges);
    stop = true;
    for (std::thread &t : writers) t.join();
  }
}

// 64 connections that send a request a byte every half second, then 64 that
// send nothing: a client that talks is served within 8 s and within 2 s.
TEST(LineShare, SlowAndSilentConnectionsGiveWayToAClientThatTalks) {
  ShareGateway gw({}, 0);
  ASSERT_TRUE(gw.started) << gw.process->output();
  const Bytes head = {0, 1, 0, 0, 0, 254, 1, 16, 0, 0, 0, 123, 246};  // of a 260-byte write
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
      for (size_t k = 0; row.trickles && !stop; ++k, std::this_thread::sleep_for(milliseconds(500)))
        for (auto &h : hogs) h->send({head[k % head.size()]});
    });
    std::this_thread::sleep_for(milliseconds(200));  // every place taken
    const int64_t start = vt::now_us();
    bool served = false;
    while (!served && vt::now_us() - start < vt::slow_us(10000000)) {
      vt::ModbusTcpClient c(gw.face);
      uint16_t reg;
      served = c.connected && modbus_read_registers(c.ctx, 0, 1, &reg) == 1;
      if (!served) std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_TRUE(served);
    EXPECT_LT(vt::now_us() - start, vt::slow_us(row.within_ms * 1000));
    stop = true;
    trickle.join();
    EXPECT_NE(gw.metric(std::string("velkord_connections_total{protocol=\"modbus_tcp\",result=\"") + row.counted + "\"}"), "0");
  }
}

}  // namespace
