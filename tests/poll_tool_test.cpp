// velkord-poll and its client library: requests byte for byte, the checks
// made on answers, the polling rule against a scripted gateway on loopback,
// and the real tool against the real gateway with a Modbus unit on a
// pseudo-terminal.
#include <gtest/gtest.h>

#ifndef VELKORD_POLL_BINARY

TEST(PollTool, NotBuilt) { GTEST_SKIP() << "configured without the tools (VELKORD_TOOLS=OFF)"; }

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/poll_run.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/unit.h"
#include "velkord_client.h"

namespace {

using vclient::Bytes;

// ---------------------------------------------------------------------------
// The library: bytes of requests, decoding of responses, checks of answers

TEST(ClientLibrary, EncodesTheExampleReadRequestByteForByte) {
  // Holding register 0 of unit 1 through slot 0, mode 1, timeout 100000,
  // delay 0, lifetime 750000, keepAlive and pause left to the gateway.
  vclient::RequestParams p;
  p.slot = 0;
  p.mode = 1;
  p.timeout_us = 100000;
  p.delay_us = 0;
  p.lifetime_us = 750000;
  p.keepalive_us = 0;
  p.pause_us = 0;
  const Bytes expected = {0x26, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x00, 0x00, 0x00, 0xA0, 0x86, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB0, 0x71,
                          0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(vclient::encode_request(p, vclient::read_frame(1, 3, 0, 1)), expected);
}

TEST(ClientLibrary, PutsEveryHeaderFieldAtItsOffsetLittleEndian) {
  vclient::RequestParams p;
  p.slot = 4;
  p.mode = 2;
  p.timeout_us = -1;
  p.delay_us = 0x11223344;
  p.lifetime_us = 0xA1B2C3D4;
  p.keepalive_us = 0x01020304;
  p.pause_us = 0xBEEF;
  Bytes m = vclient::encode_request(p, {0x07, 0x06, 0x00, 0x10, 0x12, 0x34});
  ASSERT_EQ(m.size(), 38u);
  const Bytes header = {
      38,   0,                 // length
      0,    0,                 // reserved
      0x04, 0x03, 0x02, 0x01,  // keepAlive
      0xEF, 0xBE,              // pause
      0,                       // reserved (the status of a response)
      2,                       // mode
      4,                       // slot
      0,    0,    0,           // reserved
      0xFF, 0xFF, 0xFF, 0xFF,  // timeout -1
      0x44, 0x33, 0x22, 0x11,  // delay
      0xD4, 0xC3, 0xB2, 0xA1,  // lifetime
      0,    0,    0,    0,     // reserved
  };
  EXPECT_EQ(Bytes(m.begin(), m.begin() + 32), header);
  EXPECT_EQ(Bytes(m.begin() + 32, m.end()), (Bytes{0x07, 0x06, 0x00, 0x10, 0x12, 0x34}));
}

// The request examples of the Modbus application protocol, unit 0x11.
TEST(ClientLibrary, BuildsTheModbusFramesOfEachFunction) {
  struct Case {
    const char *name;
    Bytes frame, expected;
  } cases[] = {
      {"read coils", vclient::read_frame(0x11, 1, 0x0013, 0x0013), {0x11, 0x01, 0x00, 0x13, 0x00, 0x13}},
      {"read input registers", vclient::read_frame(0x11, 4, 0x0008, 1), {0x11, 0x04, 0x00, 0x08, 0x00, 0x01}},
      {"write coil on", vclient::write_coil_frame(0x11, 0x00AC, true), {0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}},
      {"write coil off",
       vclient::write_coil_frame(0x11, 0x00AC, false),
       {0x11, 0x05, 0x00, 0xAC, 0x00, 0x00}},
      {"write register",
       vclient::write_register_frame(0x11, 0x0001, 0x0003),
       {0x11, 0x06, 0x00, 0x01, 0x00, 0x03}},
      {"write coils",  // 1 0 1 1 0 0 1 1, 1 0: CD 01
       vclient::write_coils_frame(0x11, 0x0013, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0}),
       {0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}},
      {"write registers",
       vclient::write_registers_frame(0x11, 0x0001, {0x000A, 0x0102}),
       {0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}},
  };
  for (const Case &c : cases) EXPECT_EQ(c.frame, c.expected) << c.name;
}

TEST(ClientLibrary, DecodesTheExampleAnswerAndRefusesMalformedResponses) {
  Bytes ok(37, 0);
  ok[0] = 0x25;
  const Bytes answer = {0x01, 0x03, 0x02, 0x00, 0x2A};
  std::copy(answer.begin(), answer.end(), ok.begin() + 32);
  vclient::Response r;
  std::string why;
  ASSERT_TRUE(vclient::decode_response(ok.data(), ok.size(), r, why)) << why;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.slot, 0);
  EXPECT_EQ(r.frame, answer);
  const Bytes request = vclient::read_frame(1, 3, 0, 1);
  EXPECT_EQ(vclient::check_answer(request, r.frame).kind, vclient::AnswerCheck::kOk);
  EXPECT_EQ(vclient::answer_values(request, r.frame), (std::vector<uint16_t>{42}));

  Bytes short_one(31, 0);
  short_one[0] = 31;
  Bytes lying = ok;
  lying[0] = 0x26;
  Bytes error_with_frame = ok;
  error_with_frame[10] = 0x81;
  for (const Bytes *bad : {&short_one, &lying, &error_with_frame}) {
    why.clear();
    EXPECT_FALSE(vclient::decode_response(bad->data(), bad->size(), r, why));
    EXPECT_FALSE(why.empty());
  }
}

TEST(ClientLibrary, AcceptsOnlyAnswersThatFitTheRequest) {
  using K = vclient::AnswerCheck;
  const Bytes read2 = vclient::read_frame(1, 3, 10, 2);
  const Bytes coils10 = vclient::read_frame(1, 1, 0, 10);
  const Bytes write6 = vclient::write_register_frame(1, 5, 0x1234);
  const Bytes write16 = vclient::write_registers_frame(1, 5, {1, 2, 3});
  const Bytes write5 = vclient::write_coil_frame(1, 7, true);
  struct Case {
    const char *name;
    const Bytes &request;
    Bytes answer;
    K::Kind kind;
    uint8_t exception;
  } cases[] = {
      {"registers", read2, {1, 3, 4, 0, 1, 0, 2}, K::kOk, 0},
      {"other unit", read2, {2, 3, 4, 0, 1, 0, 2}, K::kMismatch, 0},
      {"other function", read2, {1, 4, 4, 0, 1, 0, 2}, K::kMismatch, 0},
      {"byte count of one register", read2, {1, 3, 2, 0, 1}, K::kMismatch, 0},
      {"byte count right, data short", read2, {1, 3, 4, 0, 1}, K::kMismatch, 0},
      {"exception", read2, {1, 0x83, 0x02}, K::kException, 0x02},
      {"exception of another function", read2, {1, 0x84, 0x02}, K::kMismatch, 0},
      {"exception with trailing bytes", read2, {1, 0x83, 0x02, 0x00}, K::kMismatch, 0},
      {"ten coils in two bytes", coils10, {1, 1, 2, 0xFF, 0x03}, K::kOk, 0},
      {"ten coils in one byte", coils10, {1, 1, 1, 0xFF}, K::kMismatch, 0},
      {"register echo", write6, {1, 6, 0, 5, 0x12, 0x34}, K::kOk, 0},
      {"register echo of another value", write6, {1, 6, 0, 5, 0x12, 0x35}, K::kMismatch, 0},
      {"registers written", write16, {1, 16, 0, 5, 0, 3}, K::kOk, 0},
      {"fewer registers written", write16, {1, 16, 0, 5, 0, 2}, K::kMismatch, 0},
      {"registers written elsewhere", write16, {1, 16, 0, 6, 0, 3}, K::kMismatch, 0},
      {"coil echo", write5, {1, 5, 0, 7, 0xFF, 0}, K::kOk, 0},
      {"empty", read2, {}, K::kMismatch, 0},
  };
  for (const Case &c : cases) {
    K k = vclient::check_answer(c.request, c.answer);
    EXPECT_EQ(k.kind, c.kind) << c.name << ": " << k.mismatch;
    EXPECT_EQ(k.exception, c.exception) << c.name;
    if (c.kind == K::kMismatch) {
      EXPECT_FALSE(k.mismatch.empty()) << c.name;
    }
  }
  // Bits come lowest address first, least significant bit first.
  EXPECT_EQ(vclient::answer_values(coils10, {1, 1, 2, 0x0D, 0x02}),
            (std::vector<uint16_t>{1, 0, 1, 1, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(vclient::answer_values(read2, {1, 3, 4, 0xAB, 0xCD, 0xFF, 0xFF}),
            (std::vector<uint16_t>{0xABCD, 0xFFFF}));
  EXPECT_EQ(vclient::answer_values(write5, {1, 5, 0, 7, 0xFF, 0}), (std::vector<uint16_t>{1}));
}

// ---------------------------------------------------------------------------
// The polling rule, against a gateway stand-in on loopback that answers each
// request with the next response of a script and records what it was sent.

Bytes response(uint8_t status, const Bytes &frame = {}, uint8_t slot = 0) {
  Bytes m(32 + frame.size(), 0);
  m[0] = static_cast<uint8_t>(m.size());
  m[1] = static_cast<uint8_t>(m.size() >> 8);
  m[10] = status;
  m[12] = status == 0 ? slot : 0;
  for (size_t i = 0; i < frame.size(); ++i) m[32 + i] = frame[i];
  return m;
}

class ScriptedGateway {
 public:
  explicit ScriptedGateway(std::vector<Bytes> script) : script_(std::move(script)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedGateway() {
    shutdown(listen_fd_, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
    }
    thread_.join();
    close(listen_fd_);
    if (conn_ >= 0) close(conn_);
  }
  uint16_t port() const { return port_; }
  std::vector<Bytes> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  bool read_exact(uint8_t *p, size_t n) {
    while (n > 0) {
      ssize_t r = recv(conn_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  void serve() {
    int c = accept(listen_fd_, nullptr, nullptr);
    if (c < 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      conn_ = c;
    }
    for (const Bytes &answer : script_) {
      uint8_t buf[1024];
      if (!read_exact(buf, 2)) return;
      size_t length = buf[0] | (buf[1] << 8);
      if (length < 2 || length > sizeof buf || !read_exact(buf + 2, length - 2)) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.emplace_back(buf, buf + length);
      }
      if (send(conn_, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size()))
        return;
    }
    // Script done: hold the connection and answer nothing more.
    uint8_t sink[256];
    while (recv(conn_, sink, sizeof sink, 0) > 0) {
    }
  }

  std::vector<Bytes> script_;
  int listen_fd_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Bytes> requests_;
};

TEST(ClientPolling, ArmsParksAndTrustsTheSlotAsItsAnswersRequire) {
  const Bytes frame = vclient::read_frame(1, 3, 0, 1);
  const Bytes answer = {1, 3, 2, 0, 42};
  const Bytes ok = response(0, answer, 3), empty = response(0x81);  // through slot 3
  using F = vclient::Fetch;
  struct Case {
    const char *name;
    bool trust_first, start_parked;
    uint8_t mode;
    std::vector<Bytes> script;
    F::End end;
    std::vector<uint8_t> modes;  // of the requests the gateway saw, in order
  } cases[] = {
      // A cold slot: stored, empty, then the unit's answer.
      {"cold slot", false, false, 1, {empty, empty, ok}, F::kAnswer, {1, 1, 1}},
      // The first answer may be the previous frame's: park the slot until the
      // worker has marked it empty, then arm it again.
      {"warm slot", false, false, 1, {ok, ok, empty, empty, ok}, F::kAnswer, {1, 0, 0, 1, 1}},
      {"trusted slot", true, false, 1, {ok}, F::kAnswer, {1}},
      // A write (mode 2) is armed only on an empty slot; the gateway idles
      // it at the answer, which the same request then collects.
      {"write", false, true, 2, {empty, empty, ok}, F::kAnswer, {0, 2, 2}},
      {"write to a warm slot", false, true, 2, {ok, ok, empty, ok}, F::kAnswer, {0, 0, 0, 2}},
      {"refused", false, false, 1, {response(0x84)}, F::kRefused, {1}},
      {"refused after parking", false, false, 1, {ok, response(0x88)}, F::kRefused, {1, 0}},
      {"answer for another slot", true, false, 1, {response(0, answer, 2)}, F::kIoFailure, {1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedGateway gw(c.script);
    vclient::Connection conn;
    const auto deadline = vclient::Clock::now() + std::chrono::seconds(5);
    ASSERT_TRUE(conn.open("127.0.0.1", gw.port(), deadline).ok());
    vclient::FetchPlan plan;
    plan.frame = frame;
    plan.params.mode = c.mode;
    plan.params.slot = 3;
    plan.trust_first = c.trust_first;
    plan.start_parked = c.start_parked;
    plan.retry_pause = std::chrono::milliseconds(1);
    F f = vclient::fetch_answer(conn, plan, deadline);
    EXPECT_EQ(f.end, c.end) << f.io.detail;
    if (c.end == F::kAnswer) {
      EXPECT_EQ(f.response.frame, answer);
    }
    if (c.end == F::kRefused) {
      EXPECT_EQ(f.response.status, c.script.back()[10]);
    }
    std::vector<Bytes> seen = gw.requests();
    ASSERT_EQ(seen.size(), c.modes.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      vclient::RequestParams p = plan.params;
      p.mode = c.modes[i];
      EXPECT_EQ(seen[i], vclient::encode_request(p, frame)) << "request " << i;
    }
  }
}

TEST(ClientPolling, EndsAtTheDeadlineAndTellsASilentGatewayFromAnEmptySlot) {
  using F = vclient::Fetch;
  const Bytes frame = vclient::read_frame(1, 3, 0, 1);
  for (bool gateway_answers : {true, false}) {
    SCOPED_TRACE(gateway_answers ? "slot stays empty" : "gateway silent");
    ScriptedGateway gw(gateway_answers ? std::vector<Bytes>(500, response(0x81)) : std::vector<Bytes>{});
    vclient::Connection conn;
    const auto start = vclient::Clock::now();
    const auto deadline = start + std::chrono::milliseconds(300);
    ASSERT_TRUE(conn.open("127.0.0.1", gw.port(), deadline).ok());
    vclient::FetchPlan plan;
    plan.frame = frame;
    F f = vclient::fetch_answer(conn, plan, deadline);
    const auto took = vclient::Clock::now() - start;
    EXPECT_EQ(f.end, gateway_answers ? F::kNoValidAnswer : F::kIoFailure);
    if (!gateway_answers) {
      EXPECT_EQ(f.io.fault, vclient::Fault::kTimedOut);
    }
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(2300));
  }
}

// ---------------------------------------------------------------------------
// The tool against the real gateway

const std::string kHost = "127.0.0.1";

vt::ProgramRun poll_tool(const std::vector<std::string> &args, int interrupt_after_ms = -1) {
  return vt::run_program(VELKORD_POLL_BINARY, args, 20000, interrupt_after_ms);
}

// The gateway on serial port 0 (a pseudo-terminal) at 9600 bit/s, where the
// tool's default 100000 µs wait for the unit is 88 character times.
class GatewayOn {
 public:
  explicit GatewayOn(vt::PtyPair &line) : port_(vt::free_tcp_port()) {
    gw_ = std::make_unique<vt::Gateway>(std::vector<std::string>{"-sp", "0", "-br", "9600", "-db", "8", "-sb",
                                                                 "1", "-p", std::to_string(port_)},
                                        std::vector<std::string>{"VELKORD_TTY_PATTERN=" + line.pattern()});
    ready_ = gw_->wait_for_output("---- opening tcp/ip  " + std::to_string(port_) + " ----\r\n", 10000);
  }
  bool ready() const { return ready_; }
  std::string output() { return gw_->output(); }
  // velkord-poll -1 -p <port> options... 127.0.0.1 -- values...
  vt::ProgramRun poll(const std::vector<std::string> &options, const std::vector<std::string> &values = {}) {
    std::vector<std::string> args = {"-1", "-p", std::to_string(port_)};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(kHost);
    if (!values.empty()) args.push_back("--");
    args.insert(args.end(), values.begin(), values.end());
    return poll_tool(args);
  }
  int port() const { return port_; }

 private:
  int port_;
  std::unique_ptr<vt::Gateway> gw_;
  bool ready_ = false;
};

class PollTool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gateway.ready()) << gateway.output(); }
  vt::PtyPair line{0};
  vt::LibmodbusUnit unit{line, 1};
  GatewayOn gateway{line};
};

std::string describe(const vt::ProgramRun &r) {
  return "status " + std::to_string(r.status) + ", stdout:\n" + r.out + "stderr:\n" + r.err;
}

TEST_F(PollTool, ReadsEachDataTypeThroughOneSlot) {
  unit.set_holding(4, 1234);
  unit.set_holding(5, 65535);
  unit.set_input(9, 7);
  unit.set_coil(1, true);
  unit.set_coil(2, true);
  unit.set_discrete(0, true);
  unit.set_discrete(2, true);
  struct Case {
    std::vector<std::string> options;
    std::string out;
  } cases[] = {
      {{"-t", "4", "-r", "5", "-c", "2"}, "[5]: 1234\n[6]: 65535\n"},
      {{"-r", "5", "-c", "2", "-t", "4:hex"}, "[5]: 0x04D2\n[6]: 0xFFFF\n"},
      {{"-t", "3", "-r", "10"}, "[10]: 7\n"},
      {{"-t", "3:hex", "-0", "-r", "9"}, "[9]: 0x0007\n"},
      {{"-t", "0", "-c", "5"}, "[1]: 0\n[2]: 1\n[3]: 1\n[4]: 0\n[5]: 0\n"},
      {{"-t", "1", "-0", "-r", "0", "-c", "3"}, "[0]: 1\n[1]: 0\n[2]: 1\n"},
  };
  // Every case changes the slot's frame: a leftover answer to the frame
  // before would show as wrong values or a mismatch.
  for (const Case &c : cases) {
    vt::ProgramRun r = gateway.poll(c.options);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, c.out) << describe(r);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(PollTool, ARepeatedReadShowsTheValueOfNowNotTheSlotsLastAnswer) {
  // With a 200 ms pause before each exchange the slot goes on holding its
  // answer "1" for a good while after the value has changed.
  unit.set_holding(0, 1);
  vt::ProgramRun first = gateway.poll({"--delay", "200000"});
  ASSERT_EQ(first.out, "[1]: 1\n") << describe(first);
  unit.set_holding(0, 2);
  vt::ProgramRun second = gateway.poll({"--delay", "200000", "-o", "5"});
  EXPECT_EQ(second.status, 0) << describe(second);
  EXPECT_EQ(second.out, "[1]: 2\n") << describe(second);
}

TEST_F(PollTool, WritesWithFunctions5_6_15_16AndReadsThemBack) {
  struct Case {
    const char *name;
    std::vector<std::string> options, values;
    std::string written;  // what the tool prints for the write
    std::vector<std::string> read_options;
    std::string read_back;
  } cases[] = {
      {"fc 5",
       {"-t", "0", "-r", "4"},
       {"1"},
       "[4]: 1\nWritten 1 reference.\n",
       {"-t", "0", "-r", "3", "-c", "3"},
       "[3]: 0\n[4]: 1\n[5]: 0\n"},
      {"fc 15",
       {"-t", "0", "-r", "10"},
       {"1", "0", "1", "1"},
       "Written 4 references.\n",
       {"-t", "0", "-r", "10", "-c", "4"},
       "[10]: 1\n[11]: 0\n[12]: 1\n[13]: 1\n"},
      {"fc 6",
       {"-r", "20"},
       {"0xBEEF"},
       "[20]: 48879\nWritten 1 reference.\n",
       {"-r", "20", "-t", "4:hex"},
       "[20]: 0xBEEF\n"},
      {"fc 16",
       {"-0", "-r", "30"},
       {"7", "-1", "65535"},
       "Written 3 references.\n",
       {"-0", "-r", "30", "-c", "3"},
       "[30]: 7\n[31]: 65535\n[32]: 65535\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vt::ProgramRun w = gateway.poll(c.options, c.values);
    EXPECT_EQ(w.status, 0) << describe(w);
    EXPECT_EQ(w.out, c.written) << describe(w);
    vt::ProgramRun r = gateway.poll(c.read_options);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, c.read_back) << describe(r);
  }
  EXPECT_TRUE(unit.coil(3));
  EXPECT_EQ(unit.holding(19), 0xBEEF);
  EXPECT_EQ(unit.holding(31), 0xFFFF);
}

TEST_F(PollTool, ASilentUnitFailsAtTheDeadline) {
  unit.set_responding(false);
  vt::ProgramRun r = gateway.poll({"-o", "1.0", "-r", "3"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err,
      "velkord-poll: no valid answer within 1.0 s (the unit did not answer, or its answers failed the CRC "
      "check or did not fit the request)\n");
  EXPECT_GE(r.elapsed_ms, 1000);
  EXPECT_LT(r.elapsed_ms, 4000);
}

TEST_F(PollTool, DecodesExceptionsAndRefusals) {
  struct Case {
    std::vector<std::string> options, values;
    int status;
    std::string err;
  } cases[] = {
      // The unit's tables end at address 99.
      {{"-r", "100", "-c", "2"},
       {},
       1,
       "velkord-poll: unit 1 answered with exception 02 (illegal data address)\n"},
      {{"-t", "0", "-r", "99", "-c", "5"},
       {},
       1,
       "velkord-poll: unit 1 answered with exception 02 (illegal data address)\n"},
      {{"-r", "101"}, {"5"}, 1, "velkord-poll: unit 1 answered with exception 02 (illegal data address)\n"},
      {{"--slot", "7"},
       {},
       1,
       "velkord-poll: the gateway refused the request: status 0x84 (slot out of range)\n"},
      {{"-a", "0"}, {}, 2, "velkord-poll: bad value \"0\" for -a (1..247) (see velkord-poll --help)\n"},
  };
  for (const Case &c : cases) {
    vt::ProgramRun r = gateway.poll(c.options, c.values);
    EXPECT_EQ(r.status, c.status) << describe(r);
    EXPECT_EQ(r.err, c.err) << describe(r);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(PollTool, PollsUntilInterrupted) {
  unit.set_input(0, 5);
  vt::ProgramRun r = poll_tool({"-t", "3", "-l", "100", "-p", std::to_string(gateway.port()), kHost}, 1500);
  EXPECT_EQ(r.status, 0) << describe(r);
  size_t polls = 0, values = 0;
  for (size_t at = 0; (at = r.out.find("-- Polling unit 1... Ctrl-C to stop\n", at)) != std::string::npos;
       ++at)
    ++polls;
  for (size_t at = 0; (at = r.out.find("[1]: 5\n", at)) != std::string::npos; ++at) ++values;
  EXPECT_GE(values, 3u) << describe(r);
  EXPECT_LE(values, polls);
  EXPECT_EQ(r.err, "");
}

TEST_F(PollTool, ConnectsAgainWhenTheGatewayEndsTheConnection) {
  // With an idle budget of 1 µs the gateway ends the connection right after
  // every response, so each request after the first meets a closed one.
  unit.set_holding(7, 77);
  vt::ProgramRun r = gateway.poll({"--keepalive", "1", "-r", "8"});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out, "[8]: 77\n");
}

// ---------------------------------------------------------------------------
// The tool against a scripted unit: what goes on the line, and answers that
// must not be believed

class PollToolScripted : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gateway.ready()) << gateway.output(); }
  vt::PtyPair line{0};
  vt::ScriptedUnit unit{line};
  GatewayOn gateway{line};
};

// One run, one write: the gateway keeps the unit's answer for the tool to
// collect instead of sending the write again, and a second run of the same
// write reaches the unit a second time.
TEST_F(PollToolScripted, SendsEachWriteWithItsFunctionOncePerRun) {
  struct Case {
    std::vector<std::string> options, values;
    Bytes frame;  // on the line, CRC aside
  } cases[] = {
      {{"-t", "0", "-a", "9", "-r", "173"}, {"1"}, {9, 5, 0x00, 0xAC, 0xFF, 0x00}},
      {{"-t", "0", "-a", "9", "-r", "20"},
       {"1", "0", "1", "1", "0", "0", "1", "1", "1", "0"},
       {9, 15, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}},
      {{"-a", "9", "-r", "2"}, {"3"}, {9, 6, 0x00, 0x01, 0x00, 0x03}},
      {{"-a", "9", "-r", "2"},
       {"10", "0x102"},
       {9, 16, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.values));
    unit.clear();
    // A unit kept off the processor past the gateway's wait would rightly
    // get the write again: wait as long as 9600 bit/s allows.
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"--timeout", "250000"});
    for (size_t run = 1; run <= 2; ++run) {
      vt::ProgramRun r = gateway.poll(options, c.values);
      EXPECT_EQ(r.status, 0) << describe(r);
      // Anything written again would follow within a few milliseconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      std::vector<vt::Frame> frames = unit.frames();
      ASSERT_EQ(frames.size(), run) << "run " << run;
      for (const vt::Frame &f : frames) EXPECT_EQ(f.bytes, vt::with_crc(c.frame));
    }
  }
}

// The gateway keeps neither an answer that does not fit its request nor one
// with a bad CRC: the tool sees no valid answer within its deadline.
TEST_F(PollToolScripted, AnswersThatDoNotFitOrFailTheCrcAreNoValidAnswer) {
  // Two registers' worth of data for a one-register read.
  unit.set_behaviour(1, vt::Behaviour::Answer(Bytes{1, 3, 4, 0, 1, 0, 2}));
  unit.set_behaviour(2, vt::Behaviour::WrongCrc());
  for (const char *u : {"1", "2"}) {
    SCOPED_TRACE(std::string("unit ") + u);
    vt::ProgramRun r = gateway.poll({"-a", u, "-o", "0.5"});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "velkord-poll: no valid answer within 0.5 s (the unit did not answer, or its answers failed the CRC "
        "check or did not fit the request)\n");
  }
}

// ---------------------------------------------------------------------------
// Without a gateway, and the command line itself

TEST(PollToolAlone, ReportsAGatewayThatIsNotThere) {
  const int port = vt::free_tcp_port();
  for (const char *once : {"-1", "-q"}) {  // one-shot, and polling until Ctrl-C
    vt::ProgramRun r = poll_tool({once, "-o", "10", "-p", std::to_string(port), kHost});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.err,
              "velkord-poll: cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused\n");
    EXPECT_LT(r.elapsed_ms, 5000) << "must not wait for the 10 s deadline";
  }
}

TEST(PollToolAlone, ReportsAGatewayThatNeverAnswers) {
  // Connections complete in the backlog of a socket that nobody serves, as
  // with a gateway whose ten clients are all taken.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
  const std::string port = std::to_string(ntohs(a.sin_port));
  vt::ProgramRun r = poll_tool({"-1", "-o", "0.5", "-p", port, kHost});
  close(fd);
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_EQ(r.err, "velkord-poll: no answer from the gateway at 127.0.0.1:" + port + " within 0.5 s\n");
  EXPECT_GE(r.elapsed_ms, 500);
  EXPECT_LT(r.elapsed_ms, 4000);
}

TEST(PollToolAlone, RefusesBadUsageWithStatus2) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "no host given"},
      {{"-t", "2", "h"}, "unknown data type \"2\" for -t"},
      {{"-t", "0:hex", "h"}, "\":hex\" is for registers"},
      {{"-t", "3", "h", "5"}, "read only"},
      {{"-t", "1", "h", "1"}, "read only"},
      {{"-c", "126", "h"}, "at most 125 registers per read"},
      {{"-t", "0", "-c", "2001", "h"}, "bad value \"2001\" for -c"},
      {{"-c", "2", "h", "1", "2", "3"}, "-c 2 does not match the 3 values to write"},
      {{"-t", "0", "h", "2"}, "bad coil value \"2\""},
      {{"h", "65536"}, "bad register value \"65536\""},
      {{"-r", "0", "h"}, "reference 0 needs -0"},
      {{"-r", "65536", "-c", "2", "h"}, "references beyond the last Modbus address 65535"},
      {{"--pause", "65536", "h"}, "bad value \"65536\" for --pause"},
      {{"-o", "abc", "h"}, "bad value \"abc\" for -o"},
      {{"-a"}, "option -a needs a value"},
      {{"-x", "h"}, "unknown option -x"},
      {{"--bogus", "h"}, "unknown option --bogus"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    vt::ProgramRun r = poll_tool(c.args);
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(r.err.rfind("velkord-poll: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(PollToolAlone, PrintsHelpWithExamplesAndItsVersion) {
  vt::ProgramRun help = poll_tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: velkord-poll [options] host [writevalues...]\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("Examples:"), std::string::npos);
  EXPECT_EQ(poll_tool({"-h"}).out, help.out);
  vt::ProgramRun version = poll_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("velkord-poll ", 0), 0u) << version.out;
  EXPECT_EQ(poll_tool({"-V"}).out, version.out);
}

}  // namespace

#endif  // VELKORD_POLL_BINARY
