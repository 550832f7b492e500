// The RTU over TCP face of the real binary, and who may write through each
// of the gateway's three faces. pymodbus's TCP client with its RTU framer
// reads and writes a libmodbus unit through the face; raw frames pin down
// how the stream is cut (a bad CRC, frames that share a segment or are
// split over three, noise) and what the face answers itself; one gateway
// with every face on serves a reader and a writer on two loopback addresses.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_support.h"
#include "support/net_client.h"
#include "support/net_gateway.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/status_readers.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

std::string face_line(const char *face, int port) {
  return std::string("---- ") + face + "  127.0.0.1:" + std::to_string(port) + " ---\r\n";
}

std::string on_loopback(const char *variable, int port) {
  return std::string(variable) + "=127.0.0.1:" + std::to_string(port);
}

// velkord at 115200 bit/s on `line` with the RTU over TCP face on
// 127.0.0.1, and whatever else `env` switches on.
struct RtuGateway {
  explicit RtuGateway(vt::PtyPair &line, std::vector<std::string> env = {})
      : native(vt::free_tcp_port()), rtu(vt::free_tcp_port()) {
    env.push_back("VELKORD_TTY_PATTERN=" + line.pattern());
    env.push_back(on_loopback("VELKORD_RTU_OVER_TCP", rtu));
    process = std::make_unique<vt::Gateway>(vt::gateway_args(native), env);
    started = process->wait_for_output(face_line("rtu over tcp", rtu), vt::slow_ms(10000));
  }
  int native, rtu;
  std::unique_ptr<vt::Gateway> process;
  bool started;
};

// Frames of the unit's request that reached the line (`request` without CRC).
size_t count_on_line(const vt::ScriptedUnit &unit, const Bytes &request) {
  size_t n = 0;
  for (const vt::Frame &f : unit.frames())
    if (f.bytes == vt::with_crc(request)) ++n;
  return n;
}

// ---- Start-up ----------------------------------------------------------------

TEST(RtuOverTcpStart, RefusalsEndWith255AndOneLineNamingTheVariable) {
  vt::PtyPair line(0);
  const int native = vt::free_tcp_port(), taken = vt::free_tcp_port(), other = vt::free_tcp_port();
  vt::Squatter squatter(taken);
  const std::string port = std::to_string(other);
  const struct {
    std::vector<std::string> env;
    std::string reason;
    bool serial_opened;  // the line was opened (and closed again) before the refusal
  } cases[] = {
      {{on_loopback("VELKORD_RTU_OVER_TCP", taken)}, "Address already in use", true},
      {{"VELKORD_RTU_OVER_TCP=" + std::to_string(native)}, "native server's port", false},
      {{"VELKORD_RTU_OVER_TCP=" + port, "VELKORD_MODBUS_TCP=127.0.0.2:" + port}, "port of VELKORD_MODBUS_TCP", false},
      {{"VELKORD_RTU_OVER_TCP=" + port, "VELKORD_STATUS=" + port}, "port of VELKORD_STATUS", false},
      {{"VELKORD_RTU_OVER_TCP=localhost:502"}, "not an IPv4 address", false},
  };
  for (const auto &c : cases) {
    std::vector<std::string> env = c.env;
    env.push_back("VELKORD_TTY_PATTERN=" + line.pattern());
    vt::RunResult r = vt::run_velkord(vt::gateway_args(native), 10000, env);
    EXPECT_EQ(r.status, 255) << c.env[0];
    EXPECT_EQ(r.err.rfind("VELKORD_RTU_OVER_TCP=\"", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(vt::count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.out.find("opening tcp/ip"), std::string::npos) << "no client served: " << r.out;
    EXPECT_EQ(r.out.find("-- res serial open 0\r\n") != std::string::npos, c.serial_opened) << r.out;
  }
}

// ---- pymodbus's RTU framer over TCP, against libmodbus's RTU server ------------

vt::RunResult run_python(const std::string &script) {
  return vt::run_program("/usr/bin/python3", {"-c", script}, vt::slow_ms(15000));
}

bool have_pymodbus() { return run_python("import pymodbus.client").status == 0; }

TEST(RtuOverTcpPymodbus, ReadsEveryTableAndWritesThroughTheFace) {
  if (!have_pymodbus()) GTEST_SKIP() << "pymodbus is not installed";
  vt::PtyPair line(0);
  vt::LibmodbusUnit unit(line, 1, 115200);
  unit.set_coil(1, true);
  unit.set_discrete(2, true);
  unit.set_holding(3, 3333);
  unit.set_input(4, 4444);
  RtuGateway gw(line);  // without the Modbus TCP face: the pool runs for this one
  ASSERT_TRUE(gw.started) << gw.process->output();
  const std::string script =
      "from pymodbus.client import ModbusTcpClient\n"
      "from pymodbus.framer.rtu_framer import ModbusRtuFramer\n"
      "c = ModbusTcpClient('127.0.0.1', port=" + std::to_string(gw.rtu) + ", framer=ModbusRtuFramer, timeout=3)\n"
      "assert c.connect()\n"
      "print(c.read_coils(0, 3, slave=1).bits[:3], c.read_discrete_inputs(2, 1, slave=1).bits[0],\n"
      "      c.read_holding_registers(3, 1, slave=1).registers, c.read_input_registers(4, 1, slave=1).registers)\n"
      "w = [c.write_register(10, 1010, slave=1), c.write_registers(11, [1111, 1212], slave=1),\n"
      "     c.write_coil(20, True, slave=1), c.write_coils(21, [True, False, True], slave=1)]\n"
      "print([x.isError() for x in w])\n";
  vt::RunResult r = run_python(script);
  EXPECT_EQ(r.out, "[False, True, False] True [3333] [4444]\n[False, False, False, False]\n") << r.err;
  EXPECT_EQ(unit.holding(10), 1010);
  EXPECT_EQ(unit.holding(12), 1212);
  EXPECT_TRUE(unit.coil(20) && unit.coil(21) && !unit.coil(22) && unit.coil(23));
}

// ---- How the stream is cut, raw frames against a ScriptedUnit -------------------

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes piece(const Bytes &b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// A request frame as sent, and the default unit's answer to it.
Bytes sealed(const Bytes &frame) { return vt::with_crc(frame); }
Bytes answer_to(const Bytes &frame) { return vt::with_crc(vt::ScriptedUnit::default_reply(vt::with_crc(frame))); }

TEST(RtuOverTcpStream, IsCutByTheFunctionsShapeAndChecked) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  RtuGateway gw(line);
  ASSERT_TRUE(gw.started) << gw.process->output();
  const Bytes a = {1, 3, 0, 4, 0, 2}, b = {1, 4, 0, 9, 0, 1}, never = {1, 6, 0, 8, 0, 1};
  Bytes bad = sealed(never);
  bad.back() ^= 0xFF;
  const Bytes whole = sealed(a);
  const struct {
    const char *name;
    std::vector<Bytes> segments;  // sent one after another, a little apart
    Bytes answers;                // everything that comes back
  } cases[] = {
      {"a bad CRC gets no answer, the next frame does", {bad, sealed(b)}, answer_to(b)},
      {"a bad CRC, then a frame in the same segment", {concat({bad, whole})}, answer_to(a)},
      {"two frames in one segment", {concat({whole, sealed(b)})}, concat({answer_to(a), answer_to(b)})},
      {"one frame in three segments", {piece(whole, 0, 1), piece(whole, 1, 5), piece(whole, 5, 8)}, answer_to(a)},
      {"noise before a frame", {{0x00, 0x10, 0xFF, 0x42}, whole}, answer_to(a)},
      {"unit 0", {sealed({0, 3, 0, 0, 0, 1})}, sealed({0, 0x83, 0x0A})},
      {"unit 248", {sealed({248, 3, 0, 0, 0, 1})}, sealed({248, 0x83, 0x0A})},
      {"an unknown function", {sealed({1, 0x41, 7, 7})}, sealed({1, 0xC1, 0x01})},
      {"a quantity beyond Modbus's", {sealed({1, 3, 0, 0, 0, 126})}, sealed({1, 0x83, 0x03})},
  };
  for (const auto &c : cases) {
    vt::NetClient client(gw.rtu);
    for (const Bytes &s : c.segments) {
      ASSERT_TRUE(client.send(s)) << c.name;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(vt::hex(vt::read_for(client.fd(), c.answers.size(), vt::slow_ms(3000))), vt::hex(c.answers)) << c.name;
    EXPECT_TRUE(vt::read_for(client.fd(), 1, 100).empty()) << c.name << ": nothing more";
  }
  EXPECT_EQ(count_on_line(unit, never), 0u) << "a frame that fails its CRC never reaches the line";
  EXPECT_EQ(count_on_line(unit, {0, 3, 0, 0, 0, 1}) + count_on_line(unit, {1, 0x41, 7, 7}), 0u);
}

// ---- Who may write, on every face ---------------------------------------------

// A native request for `frame` through a slot of its own (by its register),
// repeated while the slot holds no answer yet: the status it settles on.
uint8_t native_status(vt::NetClient &client, const Bytes &frame) {
  constexpr uint8_t kNoAnswerYet = 0x81;
  vt::RequestFields r;
  r.mode = 2, r.slot = frame[3] % 5, r.timeout = 100000, r.lifetime = 1000000, r.frame = frame;
  std::optional<Bytes> got;
  const int64_t end = vt::now_us() + vt::slow_us(3000000);
  do got = client.exchange(vt::build_request(r), vt::slow_ms(3000));
  while (got && got->size() > 10 && (*got)[10] == kNoAnswerYet && vt::now_us() < end);
  return got && got->size() > 10 ? (*got)[10] : kNoAnswerYet;
}

// A Modbus frame (unit, PDU) as each Modbus face carries it.
Bytes as_mbap(const Bytes &frame) { return concat({{0, 7, 0, 0, 0, static_cast<uint8_t>(frame.size())}, frame}); }
Bytes as_rtu(const Bytes &frame) { return vt::with_crc(frame); }

// Every face on, writes only from 127.0.0.2: a reader (127.0.0.1) reads on
// every face and is refused every write, which never reaches the line.
TEST(WriteAllow, ReadersReadEverywhereAndOnlyWritersWrite) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  const int modbus = vt::free_tcp_port(), status = vt::free_tcp_port();
  RtuGateway gw(line, {on_loopback("VELKORD_MODBUS_TCP", modbus), on_loopback("VELKORD_STATUS", status),
                       "VELKORD_WRITE_ALLOW=127.0.0.2"});
  ASSERT_TRUE(gw.process->wait_for_output(face_line("status", status), vt::slow_ms(5000))) << gw.process->output();
  const std::string out = gw.process->output(), lines = "---- opening tcp/ip  " + std::to_string(gw.native) +
      " ----\r\n" + face_line("modbus tcp", modbus) + face_line("rtu over tcp", gw.rtu) + face_line("status", status);
  EXPECT_EQ(out.substr(out.size() - lines.size()), lines) << "each face's line, in order";
  const struct {
    const char *protocol;
    int port;
    Bytes (*carried)(const Bytes &);  // nullptr: the native protocol
  } faces[] = {{"native", gw.native, nullptr}, {"modbus_tcp", modbus, as_mbap}, {"rtu_over_tcp", gw.rtu, as_rtu}};
  const struct {
    const char *peer;
    bool write;
    bool refused;
  } rows[] = {{"127.0.0.1", false, false}, {"127.0.0.1", true, true}, {"127.0.0.2", false, false}, {"127.0.0.2", true, false}};
  uint8_t address = 100;  // each request its own, to find it on the line
  for (const auto &face : faces)
    for (const auto &row : rows) {
      const Bytes frame = {1, static_cast<uint8_t>(row.write ? 6 : 3), 0, ++address, 0, 1};
      const std::string what = std::string(face.protocol) + " from " + row.peer + (row.write ? ", write" : ", read");
      vt::NetClient client(face.port, "127.0.0.1", row.peer);
      if (face.carried == nullptr) {
        EXPECT_EQ(native_status(client, frame), row.refused ? 0x88 : 0x00) << what;
      } else {
        const Bytes answer = row.refused ? Bytes{1, 0x86, 0x01} : vt::ScriptedUnit::default_reply(sealed(frame));
        ASSERT_TRUE(client.send(face.carried(frame)));
        const Bytes want = face.carried(answer);
        EXPECT_EQ(vt::hex(vt::read_for(client.fd(), want.size(), vt::slow_ms(3000))), vt::hex(want)) << what;
      }
      if (row.write) {
        EXPECT_EQ(count_on_line(unit, frame), row.refused ? 0u : 1u) << what;
      }
    }
  const std::string metrics = vt::http_get(status, "/metrics"), json = vt::http_get(status, "/status");
  bool missing = false;
  auto seen = vt::status_facts("metrics", metrics.substr(metrics.find("\r\n\r\n") + 4), &missing);
  for (const auto &face : faces) {
    const std::string key = "velkord_requests_total{protocol=\"" + std::string(face.protocol) + "\",status=\"write_refused\"}";
    EXPECT_TRUE(missing || seen[key] == "1.0") << key << "\n" << metrics;
  }
  auto doc = vt::status_facts("json", json.substr(json.find("\r\n\r\n") + 4), &missing);
  EXPECT_EQ(doc["write_allow.0"], "\"127.0.0.2/32\"");
  EXPECT_EQ(doc.count("write_allow.1"), 0u);
}

}  // namespace
