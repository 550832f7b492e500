// The Modbus TCP face of the real binary: start-up, refusals, and libmodbus's
// TCP client against the gateway with a unit on its pty line, either
// libmodbus's own RTU server (every function and exception) or a
// ScriptedUnit that counts and slows what reaches the line (cache, sharing,
// idle reads, writes sent once, fair turns).
#include <gtest/gtest.h>
#include <modbus.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_support.h"
#include "support/modbus_tcp_client.h"
#include "support/net_client.h"
#include "support/net_gateway.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

constexpr uint8_t kSilentUnit = 9;

std::string face_line(int port) { return "---- modbus tcp  127.0.0.1:" + std::to_string(port) + " ---\r\n"; }

// velkord at 115200 bit/s (or `baud`) on serial port 0 of the device-node
// pattern, with the face on 127.0.0.1.
struct FaceGateway {
  explicit FaceGateway(vt::PtyPair &line, std::vector<std::string> env = {}, int baud = 115200)
      : FaceGateway(line.pattern(), std::move(env), baud) {}
  FaceGateway(const std::string &pattern, std::vector<std::string> env, int baud)
      : native(vt::free_tcp_port()), face(vt::free_tcp_port()) {
    env.push_back("VELKORD_TTY_PATTERN=" + pattern);
    env.push_back("VELKORD_MODBUS_TCP=127.0.0.1:" + std::to_string(face));
    std::vector<std::string> args = vt::gateway_args(native);
    args[3] = std::to_string(baud);  // after "-br"
    process = std::make_unique<vt::Gateway>(args, env);
    started = process->wait_for_output(face_line(face), vt::slow_ms(10000));
  }
  int native, face;
  std::unique_ptr<vt::Gateway> process;
  bool started;
};

using Client = vt::ModbusTcpClient;

// How many frames the unit received that are exactly `request` (no CRC).
size_t count_on_line(const vt::ScriptedUnit &unit, const Bytes &request) {
  size_t n = 0;
  for (const vt::Frame &f : unit.frames())
    if (f.bytes.size() == request.size() + 2 && std::equal(request.begin(), request.end(), f.bytes.begin())) ++n;
  return n;
}

// ---- Start-up ----------------------------------------------------------------

TEST(ModbusTcpStart, PrintsItsLineAfterTheServerLine) {
  vt::PtyPair line(0);
  FaceGateway gw(line);
  ASSERT_TRUE(gw.started) << gw.process->output();
  const std::string out = gw.process->output();
  const std::string server = "---- opening tcp/ip  " + std::to_string(gw.native) + " ----\r\n";
  ASSERT_GE(out.size(), server.size() + face_line(gw.face).size());
  EXPECT_EQ(out.substr(out.size() - server.size() - face_line(gw.face).size()), server + face_line(gw.face));
  EXPECT_EQ(gw.process->wait_exit(200), -1);
}

TEST(ModbusTcpStart, RefusalsEndWith255AndOneLineNamingTheVariable) {
  vt::PtyPair line(0);
  const int native = vt::free_tcp_port(), taken = vt::free_tcp_port();
  vt::Squatter squatter(taken);
  const std::string serial_open = "-- res serial open 0\r\n";
  const struct {
    std::string setting;
    std::string reason;
    bool serial_opened;  // the line was opened (and closed again) before the refusal
  } cases[] = {
      {"VELKORD_MODBUS_TCP=127.0.0.1:" + std::to_string(taken), "Address already in use", true},
      {"VELKORD_MODBUS_TCP=" + std::to_string(native), "native server's port", false},
      {"VELKORD_MODBUS_TCP=localhost:502", "not an IPv4 address", false},
  };
  for (const auto &c : cases) {
    vt::RunResult r = vt::run_velkord(vt::gateway_args(native), 10000,
                                      {"VELKORD_TTY_PATTERN=" + line.pattern(), c.setting});
    EXPECT_EQ(r.status, 255) << c.setting;
    EXPECT_EQ(r.err.rfind("VELKORD_MODBUS_TCP=\"", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(vt::count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.out.find("opening tcp/ip"), std::string::npos) << "no client served: " << r.out;
    EXPECT_EQ(r.out.find(serial_open) != std::string::npos, c.serial_opened) << r.out;
  }
}

TEST(ModbusTcpStart, ConnectionsOutsideTheAllowListAreClosedAtOnce) {
  vt::PtyPair line(0);
  vt::LibmodbusUnit unit(line, 1, 115200);
  FaceGateway gw(line, {"VELKORD_ALLOW=10.0.0.0/8"});
  ASSERT_TRUE(gw.started) << gw.process->output();
  vt::NetClient raw(gw.face);
  raw.send({0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
  EXPECT_TRUE(raw.wait_closed(vt::slow_ms(2000)));
  EXPECT_EQ(unit.served(), 0u);
}

// ---- Every function and exception, against libmodbus's RTU server ----------

class ModbusTcpLibmodbus : public ::testing::Test {
 protected:
  vt::PtyPair line{0};
  vt::LibmodbusUnit unit{line, 1, 115200};
  // Long enough for the unit's answers on a loaded machine; the silent
  // unit's reads still end at the 500 ms time-out.
  FaceGateway gw{line, {"VELKORD_MODBUS_TCP_WAIT_MS=1000"}};
};

TEST_F(ModbusTcpLibmodbus, CarriesEveryFunction) {
  ASSERT_TRUE(gw.started) << gw.process->output();
  unit.set_holding(10, 0x1234);
  unit.set_input(11, 0x4321);
  unit.set_coil(12, true);
  unit.set_discrete(13, true);
  Client c(gw.face);
  ASSERT_TRUE(c.connected);
  uint8_t bits[4] = {};
  uint16_t regs[2] = {};
  const uint8_t coils[3] = {1, 0, 1};
  const uint16_t values[2] = {7, 8};
  const struct {
    const char *name;
    std::function<bool()> done;
  } cases[] = {
      {"read coils", [&] { return modbus_read_bits(c.ctx, 12, 2, bits) == 2 && bits[0] == 1 && bits[1] == 0; }},
      {"read inputs", [&] { return modbus_read_input_bits(c.ctx, 13, 1, bits) == 1 && bits[0] == 1; }},
      {"read holding", [&] { return modbus_read_registers(c.ctx, 10, 1, regs) == 1 && regs[0] == 0x1234; }},
      {"read input", [&] { return modbus_read_input_registers(c.ctx, 11, 1, regs) == 1 && regs[0] == 0x4321; }},
      {"write coil", [&] { return modbus_write_bit(c.ctx, 20, 1) == 1 && unit.coil(20); }},
      {"write register", [&] { return modbus_write_register(c.ctx, 21, 0xBEEF) == 1 && unit.holding(21) == 0xBEEF; }},
      {"write coils",
       [&] { return modbus_write_bits(c.ctx, 30, 3, coils) == 3 && unit.coil(30) && !unit.coil(31) && unit.coil(32); }},
      {"write registers",
       [&] { return modbus_write_registers(c.ctx, 40, 2, values) == 2 && unit.holding(41) == 8; }},
  };
  for (const auto &k : cases) EXPECT_TRUE(k.done()) << k.name << ": " << modbus_strerror(errno);
}

Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

Bytes read_body(uint8_t unit, uint8_t function, uint16_t address, uint16_t quantity) {
  Bytes b = {unit, function};
  for (uint16_t v : {address, quantity}) {
    Bytes f = be16(v);
    b.insert(b.end(), f.begin(), f.end());
  }
  return b;
}

TEST_F(ModbusTcpLibmodbus, AnswersEveryExceptionPath) {
  ASSERT_TRUE(gw.started) << gw.process->output();
  Client c(gw.face);
  ASSERT_TRUE(c.connected);
  const struct {
    const char *name;
    Bytes body;
    Bytes answer;
  } cases[] = {
      {"function 9", {1, 9}, {0x89, 0x01}},
      {"126 registers", read_body(1, 3, 0, 126), {0x83, 0x03}},
      {"2001 coils", read_body(1, 1, 0, 2001), {0x81, 0x03}},
      {"byte count not the quantity's", {1, 16, 0, 0, 0, 2, 3, 0, 1, 0}, {0x90, 0x03}},
      {"unit 0", read_body(0, 3, 0, 1), {0x83, 0x0A}},
      {"unit 248", read_body(248, 3, 0, 1), {0x83, 0x0A}},
      {"silent unit", read_body(kSilentUnit, 3, 0, 1), {0x83, 0x0B}},
      {"silent unit, write", {kSilentUnit, 6, 0, 1, 0, 2}, {0x86, 0x0B}},
      {"the unit's own exception", read_body(1, 3, vt::LibmodbusUnit::kTableSize, 1), {0x83, 0x02}},
  };
  for (const auto &k : cases) EXPECT_EQ(c.raw(k.body), k.answer) << k.name;
}

// Reads one MBAP response: header, then what its length announces.
Bytes read_adu(int fd) {
  Bytes head = vt::read_for(fd, 7, vt::slow_ms(3000));
  if (head.size() < 7) return head;
  Bytes rest = vt::read_for(fd, static_cast<size_t>(head[4] << 8 | head[5]) - 1, vt::slow_ms(3000));
  head.insert(head.end(), rest.begin(), rest.end());
  return head;
}

TEST_F(ModbusTcpLibmodbus, AnswersPipelinedRequestsInOrder) {
  ASSERT_TRUE(gw.started) << gw.process->output();
  const Bytes bodies[] = {read_body(1, 3, 0, 2), {1, 6, 0, 50, 0, 9}, {1, 9}, read_body(1, 4, 5, 1),
                          read_body(0, 3, 0, 1)};
  Bytes all;
  for (size_t i = 0; i < std::size(bodies); ++i) {
    Bytes a = be16(static_cast<uint16_t>(0x700 + i));
    Bytes rest = {0, 0, 0, static_cast<uint8_t>(bodies[i].size())};
    a.insert(a.end(), rest.begin(), rest.end());
    a.insert(a.end(), bodies[i].begin(), bodies[i].end());
    all.insert(all.end(), a.begin(), a.end());
  }
  vt::NetClient raw(gw.face);
  ASSERT_TRUE(raw.send(all));
  for (size_t i = 0; i < std::size(bodies); ++i) {
    Bytes r = read_adu(raw.fd());
    ASSERT_GE(r.size(), 9u) << i;
    EXPECT_EQ(static_cast<size_t>(r[0] << 8 | r[1]), 0x700 + i) << i;
    EXPECT_EQ(r[7] & 0x7F, bodies[i][1]) << i;
  }
  EXPECT_EQ(unit.holding(50), 9);
}

TEST_F(ModbusTcpLibmodbus, ServesThirtyTwoConnectionsAtOnce) {
  ASSERT_TRUE(gw.started) << gw.process->output();
  for (int a = 0; a < 8; ++a) unit.set_holding(a, static_cast<uint16_t>(100 + a));
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i)
    clients.emplace_back([&, i] {
      Client c(gw.face);
      uint16_t reg;
      for (int k = 0; k < 10 && c.connected; ++k)
        if (modbus_read_registers(c.ctx, i % 8, 1, &reg) == 1 && reg == 100 + i % 8) ++answered;
    });
  for (std::thread &t : clients) t.join();
  EXPECT_EQ(answered, 32 * 10);
}

// ---- What reaches the line, counted by a ScriptedUnit --------------------------

class ModbusTcpLine : public ::testing::Test {
 protected:
  void start(std::vector<std::string> env, int baud = 115200) {
    gw = std::make_unique<FaceGateway>(line, env, baud);
    ASSERT_TRUE(gw->started) << gw->process->output();
  }
  vt::PtyPair line{0};
  vt::ScriptedUnit unit{line};
  std::unique_ptr<FaceGateway> gw;
};

TEST_F(ModbusTcpLine, SecondReadOfABlockComesFromTheCache) {
  constexpr int64_t kExchangeUs = 40000;
  unit.set_behaviour(vt::Behaviour::Late(kExchangeUs));
  start({"VELKORD_MODBUS_TCP_WAIT_MS=2000"});
  Client c(gw->face);
  uint16_t regs[2];
  std::vector<int64_t> took;
  for (int i = 0; i < 7; ++i) {
    int64_t t0 = vt::now_us();
    ASSERT_EQ(modbus_read_registers(c.ctx, 4, 2, regs), 2);
    took.push_back(vt::now_us() - t0);
    EXPECT_EQ(regs[1], 5);
  }
  EXPECT_GE(took[0], kExchangeUs);
  std::sort(took.begin() + 1, took.end());
  EXPECT_LT(took[3], kExchangeUs / 4) << "median of the cached reads";
}

TEST_F(ModbusTcpLine, ClientsOfOneBlockShareOnePollStream) {
  unit.set_behaviour(vt::Behaviour::Late(2000));
  // Every request waits for a fresh answer; on a loaded or emulated machine
  // it may wait a while, which is no failure of sharing.
  start({"VELKORD_MODBUS_TCP_MAX_AGE_MS=1", "VELKORD_MODBUS_TCP_WAIT_MS=" + std::to_string(vt::slow_ms(5000))});
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (uint16_t address : {0, 0, 10})
    clients.emplace_back([&, address] {
      Client c(gw->face);
      uint16_t regs[2];
      while (!stop) EXPECT_EQ(modbus_read_registers(c.ctx, address, 2, regs), 2);
    });
  // 600 ms, and then until the lone block has been polled twenty times
  // however slow the machine.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  vt::wait_until([&] { return count_on_line(unit, {1, 3, 0, 10, 0, 2}) > 20; }, vt::slow_ms(10000));
  stop = true;
  for (std::thread &t : clients) t.join();
  size_t shared = count_on_line(unit, {1, 3, 0, 0, 0, 2}), single = count_on_line(unit, {1, 3, 0, 10, 0, 2});
  EXPECT_GT(single, 20u);
  EXPECT_LE(shared, single + 2) << "two streams for one block would double it";
}

TEST_F(ModbusTcpLine, AReadNotAskedForLeavesTheLine) {
  start({"VELKORD_MODBUS_TCP_IDLE_MS=500"});
  Client c(gw->face, 2);
  uint16_t reg;
  ASSERT_EQ(modbus_read_registers(c.ctx, 5, 1, &reg), 1);
  const Bytes read = {2, 3, 0, 5, 0, 1};
  // Quiet for 150 ms in a row: it has left the line.
  size_t before = 0;
  EXPECT_TRUE(vt::wait_until(
      [&] {
        before = count_on_line(unit, read);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return count_on_line(unit, read) == before;
      },
      3000));
  EXPECT_GT(before, 1u) << "polled while it was asked for";
  ASSERT_EQ(modbus_read_registers(c.ctx, 5, 1, &reg), 1);
  EXPECT_TRUE(vt::wait_until([&] { return count_on_line(unit, read) > before + 1; }, 2000)) << "back on the line";
}

TEST_F(ModbusTcpLine, WritesReachTheUnitOnce) {
  unit.set_behaviour(5, vt::Behaviour::Silent());  // acts, but its answer is lost
  start({"VELKORD_MODBUS_TCP_WAIT_MS=2000"});  // the silent unit ends at the 500 ms time-out
  const struct {
    uint8_t unit;
    int result;
  } cases[] = {{1, 1}, {5, -1}};
  for (const auto &k : cases) {
    Client c(gw->face, k.unit);
    EXPECT_EQ(modbus_write_register(c.ctx, 77, 0x55), k.result) << int{k.unit};
    const uint16_t values[2] = {1, 2};
    EXPECT_EQ(modbus_write_registers(c.ctx, 78, 2, values), k.result == 1 ? 2 : -1) << int{k.unit};
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(vt::slow_ms(400)));
  for (const auto &k : cases) {
    EXPECT_EQ(count_on_line(unit, {k.unit, 6, 0, 77, 0, 0x55}), 1u) << int{k.unit};
    EXPECT_EQ(count_on_line(unit, {k.unit, 16, 0, 78, 0, 2, 4, 0, 1, 0, 2}), 1u) << int{k.unit};
  }
}

TEST_F(ModbusTcpLine, ManyReadsOfOneUnitLeaveTheOthersTheirTurns) {
  unit.set_behaviour(vt::Behaviour::Late(1000));
  start({"VELKORD_MODBUS_TCP_MAX_AGE_MS=1"});
  // A native client keeps slot 0 of unit 1 polled beside the face.
  vt::NetClient native(gw->native);
  ASSERT_TRUE(vt::exchange_until_answered(native, vt::example_request(), vt::slow_ms(3000)));
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int block = 0; block < 8; ++block)
    clients.emplace_back([&, block] {
      Client c(gw->face, 1);
      uint16_t reg;
      while (!stop) modbus_read_registers(c.ctx, 10 + block, 1, &reg);
    });
  clients.emplace_back([&] {
    Client c(gw->face, 2);
    uint16_t reg;
    while (!stop) modbus_read_registers(c.ctx, 10, 1, &reg);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  unit.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<vt::Frame> seen = unit.frames();
  stop = true;
  for (std::thread &t : clients) t.join();
  size_t unit1_face = 0, unit2_face = 0, slot0 = 0;
  for (const vt::Frame &f : seen) {
    bool slot = f.bytes.size() == 8 && f.unit() == 1 && f.bytes[3] == 0;
    (slot ? slot0 : f.unit() == 1 ? unit1_face : unit2_face) += 1;
  }
  EXPECT_GT(unit1_face, 10u);
  // Each record visit gives the face one read: unit 2's one read keeps pace
  // with unit 1's eight together, and the native slot keeps its turn.
  EXPECT_GE(2 * unit2_face + 4, unit1_face);
  EXPECT_GE(2 * slot0 + 4, unit1_face);
}

// ---- Full-size replies, slow units, every function a gateway passes ------------

// The whole of 125 registers, or of 2000 coils, as the default unit holds
// them (register i holds i, coil i is on when i is odd).
bool reads_whole(Client &c, bool registers) {
  uint16_t regs[125];
  uint8_t bits[2000];
  int n = registers ? modbus_read_registers(c.ctx, 0, 125, regs) : modbus_read_bits(c.ctx, 0, 2000, bits);
  if (n != (registers ? 125 : 2000)) return false;
  for (int i = 0; i < n; ++i)
    if (registers ? regs[i] != i : bits[i] != i % 2) return false;
  return true;
}

class ModbusTcpFullSize : public ModbusTcpLine, public ::testing::WithParamInterface<int> {};

// Units 1 to 6 begin after 1, 5 or 20 ms and leave half a character between
// bytes. A unit thread kept off the processor past the frame gap cuts a
// reply now and then, and the unit then owes its replies one after another:
// a read that got 0x0B is asked again once the unit has sent everything
// (IDLE_MS 1 takes it off the line once nobody waits). A reply the window
// cuts is cut every time.
TEST_P(ModbusTcpFullSize, ReadsOfFullSizeAreAnsweredWhole) {
  const int baud = GetParam();
  const int64_t starts_us[] = {1000, 1000, 5000, 5000, 20000, 20000};
  for (uint8_t u = 1; u <= 6; ++u) unit.set_behaviour(u, vt::Behaviour::Pausing(baud, starts_us[u - 1]));
  start({"VELKORD_MODBUS_TCP_WAIT_MS=2000", "VELKORD_MODBUS_TCP_IDLE_MS=1"}, baud);
  auto owes_nothing = [&] {
    std::vector<vt::Frame> out = unit.sent();
    return out.size() == unit.frames().size() && (out.empty() || out.back().bytes.size() == 255);
  };
  for (uint8_t u = 1; u <= 6; ++u) {
    Client c(gw->face, u);
    bool whole = false;
    for (int attempt = 0; attempt < 5 && !whole; ++attempt) {
      ASSERT_TRUE(vt::wait_until(owes_nothing, 5000));
      whole = reads_whole(c, u % 2 == 1);
    }
    EXPECT_TRUE(whole) << "unit " << int{u};
  }
}

INSTANTIATE_TEST_SUITE_P(AtEverySpeed, ModbusTcpFullSize, ::testing::Values(9600, 115200, 921600));

// velkord-sim in paced mode at 9600 bit/s, a byte every character time after
// a 5 ms turnaround: 125 registers through the face and through a native
// slot with a time-out of 1 s.
TEST(ModbusTcpPacedSim, ReadsOf125RegistersThroughTheFaceAndANativeSlot) {
  vt::SimProcess sim({"-b", "9600", "-P", "-t", "5000"});
  if (!sim.ready()) GTEST_SKIP() << "velkord-sim is not built";
  FaceGateway gw(sim.pattern(), {"VELKORD_MODBUS_TCP_WAIT_MS=3000"}, 9600);
  ASSERT_TRUE(gw.started) << gw.process->output();
  Client c(gw.face, 1);
  uint16_t regs[125];
  ASSERT_EQ(modbus_read_registers(c.ctx, 0, 125, regs), 125) << modbus_strerror(errno);
  EXPECT_EQ(regs[124], 124);
  vt::NetClient native(gw.native);
  vt::RequestFields r;
  r.mode = 1, r.timeout = 1000000, r.lifetime = 10000000, r.frame = {1, 3, 0, 0, 0, 125};
  std::optional<Bytes> answer = vt::exchange_until_answered(native, vt::build_request(r), vt::slow_ms(5000));
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->size(), 32u + 253u);
  EXPECT_EQ(Bytes(answer->begin() + 32, answer->begin() + 35), (Bytes{1, 3, 250}));
}

// Units answering after 30, 300 and 900 ms, with TIMEOUT_MS 1000: every read
// gets its own answer.
TEST_F(ModbusTcpLine, SlowUnitsAreWaitedForUpToTimeoutMs) {
  const int64_t delays_us[] = {30000, 300000, 900000};
  for (uint8_t u = 1; u <= 3; ++u) unit.set_behaviour(u, vt::Behaviour::Late(delays_us[u - 1]));
  start({"VELKORD_MODBUS_TCP_TIMEOUT_MS=1000", "VELKORD_MODBUS_TCP_WAIT_MS=3000", "VELKORD_MODBUS_TCP_IDLE_MS=1"});
  for (uint8_t u = 1; u <= 3; ++u) {
    Client c(gw->face, u);
    for (int k = 0; k < 2; ++k) {
      uint16_t regs[2] = {};
      EXPECT_EQ(modbus_read_registers(c.ctx, 4, 2, regs), 2) << "unit " << int{u} << ": " << modbus_strerror(errno);
      EXPECT_EQ(regs[1], 5) << "unit " << int{u};
    }
  }
}

// A unit that knows the functions a gateway passes on; a request of the
// others gets the default unit's answer.
Bytes passing_unit(const Bytes &request) {
  const Bytes q(request.begin(), request.end() - 2);
  switch (q[1]) {
    case 7: return {q[0], 7, 0x5A};
    case 8: case 22: return q;
    case 11: return {q[0], 11, 0xFF, 0xFF, 0x01, 0x08};
    case 17: return {q[0], 17, 5, 0x2A, 0xFF, 'v', 'k', 'd'};
    case 23: {
      Bytes a = {q[0], 23, static_cast<uint8_t>(2 * q[5])};
      for (uint8_t i = 0; i < q[5]; ++i) a.insert(a.end(), {0, static_cast<uint8_t>(q[3] + i)});
      return a;
    }
    case 43: return {q[0], 43, 14, q[3], 0x01, 0, 0, 2, 0, 3, 'V', 'k', 'd', 1, 2, 'P', '1'};
    default: return vt::ScriptedUnit::default_reply(request);
  }
}

// The PDU of the answer to a raw request that libmodbus sends; its own
// receive does not know the length of every function's answer.
Bytes raw_pdu(Client &c, const Bytes &body) {
  if (modbus_send_raw_request(c.ctx, body.data(), static_cast<int>(body.size())) < 0) return {};
  Bytes adu = read_adu(modbus_get_socket(c.ctx));
  return adu.size() > 7 ? Bytes(adu.begin() + 7, adu.end()) : Bytes{};
}

// Each function through libmodbus's client: the unit's answer relayed, the
// request on the line exactly once; a request of the wrong shape or
// quantity is answered 0x03 and never reaches the line.
TEST_F(ModbusTcpLine, EveryFunctionAGatewayPassesIsSentOnceAndAnswered) {
  unit.set_behaviour(vt::Behaviour::Answer(passing_unit));
  start({});
  Client c(gw->face);
  ASSERT_TRUE(c.connected);
  const uint16_t written[2] = {7, 8};
  uint16_t read[3] = {};
  uint8_t id[16] = {};
  struct Row {
    const char *name;
    Bytes on_line;  // the request frame without CRC; raw rows send it as it is
    std::function<bool()> done;
    size_t times;
  };
  auto raw = [&](const char *name, const Bytes &body, const Bytes &answer, size_t times) {
    return Row{name, body, [&c, body, answer] { return raw_pdu(c, body) == answer; }, times};
  };
  const Row rows[] = {
      {"22 mask write", {1, 22, 0, 4, 0, 0xF2, 0, 0x25},
       [&] { return modbus_mask_write_register(c.ctx, 4, 0x00F2, 0x0025) == 1; }, 1},
      {"23 read/write", {1, 23, 0, 20, 0, 3, 0, 10, 0, 2, 4, 0, 7, 0, 8},
       [&] { return modbus_write_and_read_registers(c.ctx, 10, 2, written, 20, 3, read) == 3 && read[2] == 22; }, 1},
      {"17 report server id", {1, 17},
       [&] { return modbus_report_slave_id(c.ctx, sizeof id, id) == 5 && id[2] == 'v'; }, 1},
      raw("7 read exception status", {1, 7}, {7, 0x5A}, 1),
      raw("8 diagnostics", {1, 8, 0, 0, 0xA5, 0x37}, {8, 0, 0, 0xA5, 0x37}, 1),
      raw("11 comm event counter", {1, 11}, {11, 0xFF, 0xFF, 1, 8}, 1),
      raw("43/14 device identification", {1, 43, 14, 1, 0},
          {43, 14, 1, 1, 0, 0, 2, 0, 3, 'V', 'k', 'd', 1, 2, 'P', '1'}, 1),
      raw("23 reading 126", {1, 23, 0, 0, 0, 126, 0, 0, 0, 1, 2, 0, 1}, {0x97, 3}, 0),
      raw("23 byte count not the write's", {1, 23, 0, 0, 0, 1, 0, 0, 0, 1, 4, 0, 1, 0, 2}, {0x97, 3}, 0),
      raw("22 without its or-mask", {1, 22, 0, 4, 0, 0xF2}, {0x96, 3}, 0),
      raw("43/14 read code 5", {1, 43, 14, 5, 0}, {0xAB, 3}, 0),
  };
  for (const auto &row : rows) EXPECT_TRUE(row.done()) << row.name << ": " << modbus_strerror(errno);
  std::this_thread::sleep_for(std::chrono::milliseconds(vt::slow_ms(100)));
  for (const auto &row : rows) EXPECT_EQ(count_on_line(unit, row.on_line), row.times) << row.name;
}

// ---- pymodbus, when Debian's is installed -----------------------------------------

// Everything a child writes to the pipe `fd` until it closes it, or until
// timeout_ms has passed.
std::string read_pipe(int fd, int timeout_ms) {
  std::string text;
  int64_t end = vt::now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  for (int64_t now = vt::now_us(); now < end; now = vt::now_us()) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>((end - now) / 1000) + 1) <= 0) break;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

TEST(ModbusTcpPymodbus, ReadsAndWritesThroughTheFace) {
  const char *kProbe = "import pymodbus.client";
  {
    int out, err;
    pid_t pid = vt::spawn_program("/usr/bin/python3", {"-c", kProbe}, {}, &out, &err);
    int status = -1;
    waitpid(pid, &status, 0);
    close(out);
    close(err);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "pymodbus is not installed";
  }
  vt::PtyPair line(0);
  vt::LibmodbusUnit unit(line, 1, 115200);
  unit.set_input(2, 4242);
  FaceGateway gw(line);
  ASSERT_TRUE(gw.started) << gw.process->output();
  const std::string script =
      "import sys\n"
      "from pymodbus.client import ModbusTcpClient\n"
      "c = ModbusTcpClient('127.0.0.1', port=" + std::to_string(gw.face) + ")\n"
      "assert c.connect()\n"
      "r = c.read_input_registers(2, 1, slave=1)\n"
      "w = c.write_register(3, 99, slave=1)\n"
      "print(r.registers[0], w.isError())\n";
  int out, err;
  pid_t pid = vt::spawn_program("/usr/bin/python3", {"-c", script}, {}, &out, &err);
  std::string said = read_pipe(out, vt::slow_ms(10000));
  kill(pid, SIGKILL);  // gone already, unless it hangs
  int status = -1;
  waitpid(pid, &status, 0);
  std::string complaint = read_pipe(err, 100);
  close(out);
  close(err);
  EXPECT_EQ(said, "4242 False\n") << complaint;
  EXPECT_EQ(unit.holding(3), 99);
}

}  // namespace
