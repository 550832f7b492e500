// The test units themselves, seen from the gateway's end of the line by a
// real libmodbus RTU client: if these are wrong, every serial test is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/pty.h"
#include "support/rtu_client.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Client = vt::RtuClient;

TEST(Crc16Modbus, MatchesPublishedValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(ptyunit::crc16(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()), 0x4B37);
  EXPECT_EQ(ptyunit::crc16(Bytes{}), 0xFFFF);
  EXPECT_EQ(vt::with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}),
            (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
  EXPECT_TRUE(vt::crc_ok({0xFF, 0xFF}));
  EXPECT_FALSE(vt::crc_ok({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x84}));
  EXPECT_FALSE(vt::crc_ok({0xFF}));
}

// What goes on the line for one answer (unit 5, function 3, one register
// 0x1234, or exception 2), for each way a unit or a line spoils it.
TEST(AnswerBytes, ShapesSpoilTheAnswerAsNamed) {
  const Bytes reply = {5, 3, 2, 0x12, 0x34};
  const Bytes exception = {5, 0x83, 0x02};
  auto shape = [](auto set) {
    ptyunit::Shape s;
    set(s);
    return s;
  };
  struct Case {
    const char *name;
    ptyunit::Shape shape;
    Bytes payload;
    Bytes want;  // empty: nothing goes out
  };
  const Bytes sealed = vt::with_crc(reply);
  const Case cases[] = {
      {"as it is", {}, reply, sealed},
      {"wrong unit", shape([](auto &s) { s.wrong_unit = true; }), reply, vt::with_crc({6, 3, 2, 0x12, 0x34})},
      {"unit 247 wraps to 1", shape([](auto &s) { s.wrong_unit = true; }), {247, 3, 2, 0, 1},
       vt::with_crc({1, 3, 2, 0, 1})},
      {"wrong function", shape([](auto &s) { s.wrong_function = true; }), reply, vt::with_crc({5, 4, 2, 0x12, 0x34})},
      {"wrong function keeps the exception bit", shape([](auto &s) { s.wrong_function = true; }), exception,
       vt::with_crc({5, 0x84, 0x02})},
      {"15 and 16 swap", shape([](auto &s) { s.wrong_function = true; }), {5, 16, 0, 1, 0, 2},
       vt::with_crc({5, 15, 0, 1, 0, 2})},
      {"short answer", shape([](auto &s) { s.short_answer = true; }), reply, vt::with_crc({5, 3, 2, 0x12})},
      {"wrong crc", shape([](auto &s) { s.wrong_crc = true; }), reply,
       {5, 3, 2, 0x12, 0x34, static_cast<uint8_t>(~sealed[5]), static_cast<uint8_t>(~sealed[6])}},
      {"raw", shape([](auto &s) { s.raw = Bytes{1, 2, 3}; }), reply, {1, 2, 3}},
      {"no payload", {}, {}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ptyunit::answer_bytes(c.shape, [&] { return c.payload; }), c.want);
  }
  const Bytes flood = ptyunit::answer_bytes(shape([](auto &s) { s.flood = 300; }), [] { return Bytes{1}; });
  EXPECT_EQ(flood.size(), 300u);
  EXPECT_FALSE(vt::crc_ok(flood));
}

TEST(LibmodbusUnit, ServesAClientOnEachOfItsAddresses) {
  vt::PtyPair line;
  vt::LibmodbusUnit unit(line, {7, 9});
  unit.set_holding(10, 0x1234);
  unit.set_holding(11, 0x5678);
  unit.set_input(5, 0x0BAD);
  unit.set_discrete(3, true);
  Client client(line.slave_path(), 7);

  uint16_t regs[2] = {};
  ASSERT_EQ(modbus_read_registers(client.get(), 10, 2, regs), 2) << modbus_strerror(errno);
  EXPECT_EQ(regs[0], 0x1234);
  EXPECT_EQ(regs[1], 0x5678);
  ASSERT_EQ(modbus_write_register(client.get(), 20, 0xBEEF), 1);
  EXPECT_EQ(unit.holding(20), 0xBEEF);

  modbus_set_slave(client.get(), 9);
  ASSERT_EQ(modbus_read_input_registers(client.get(), 5, 1, regs), 1);
  EXPECT_EQ(regs[0], 0x0BAD);
  uint8_t bits[4] = {};
  ASSERT_EQ(modbus_read_input_bits(client.get(), 0, 4, bits), 4);
  EXPECT_EQ(bits[3], 1);
  EXPECT_EQ(bits[2], 0);
  const uint8_t coils[3] = {1, 0, 1};
  ASSERT_EQ(modbus_write_bits(client.get(), 40, 3, coils), 3);
  EXPECT_TRUE(unit.coil(40));
  EXPECT_FALSE(unit.coil(41));
  EXPECT_TRUE(unit.coil(42));

  // Past the end of the table libmodbus answers with an exception.
  EXPECT_EQ(modbus_read_registers(client.get(), 99, 2, regs), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(unit.served(), 6u);
  EXPECT_THROW(unit.holding(vt::LibmodbusUnit::kTableSize), std::out_of_range);
}

TEST(LibmodbusUnit, StaysSilentForOtherAddressesAndWhenUnplugged) {
  vt::PtyPair line;
  vt::LibmodbusUnit unit(line, 7);
  Client client(line.slave_path(), 8, 150);
  uint16_t reg = 0;
  EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &reg), -1);
  EXPECT_EQ(errno, ETIMEDOUT);

  modbus_set_slave(client.get(), 7);
  unit.set_responding(false);
  EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &reg), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  unit.set_responding(true);
  EXPECT_EQ(modbus_read_registers(client.get(), 0, 1, &reg), 1);
  EXPECT_EQ(unit.served(), 1u);
}

TEST(ScriptedUnit, RecordsRequestsAndAnswersWithDefaults) {
  vt::PtyPair line;
  vt::ScriptedUnit unit(line);
  Client client(line.slave_path(), 5);
  uint16_t regs[4] = {};
  ASSERT_EQ(modbus_read_registers(client.get(), 100, 4, regs), 4);
  EXPECT_EQ(regs[0], 100);
  EXPECT_EQ(regs[3], 103);
  ASSERT_EQ(modbus_read_input_registers(client.get(), 7, 1, regs), 1);
  EXPECT_EQ(regs[0], 7);
  ASSERT_EQ(modbus_write_register(client.get(), 3, 0x4242), 1);
  uint8_t bits[3] = {};
  ASSERT_EQ(modbus_read_bits(client.get(), 8, 3, bits), 3);
  EXPECT_EQ(bits[0], 0);
  EXPECT_EQ(bits[1], 1);

  ASSERT_TRUE(unit.wait_frames(4, 1000));
  auto frames = unit.frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].bytes, vt::with_crc({5, 3, 0, 100, 0, 4}));
  EXPECT_EQ(frames[2].bytes, vt::with_crc({5, 6, 0, 3, 0x42, 0x42}));
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(frames[i].crc_ok());
    EXPECT_LE(frames[i].first_us, frames[i].last_us);
    if (i > 0) {
      EXPECT_LE(frames[i - 1].last_us, frames[i].first_us);
    }
  }
  auto sent = unit.sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2].bytes, frames[2].bytes);  // a register write is echoed
  EXPECT_LE(frames[3].last_us, sent[3].first_us);

  unit.clear();
  EXPECT_TRUE(unit.frames().empty());
  EXPECT_TRUE(unit.sent().empty());
}

// One read of holding register 0x42 of unit 5 per case, as the client sees it.
TEST(ScriptedUnit, BehavioursAsAClientSeesThem) {
  struct Case {
    const char *name;
    vt::Behaviour behaviour;
    int timeout_ms;
    bool ok;
    int error;               // expected errno on failure, 0 for any
    uint16_t value;          // expected register on success
    int64_t min_elapsed_us;  // the reply cannot come sooner than this
  };
  const vt::ReplyFn illegal_address = [](const Bytes &req) { return Bytes{req[0], 0x83, 0x02}; };
  const Case cases[] = {
      {"answer", vt::Behaviour::Answer(), 1000, true, 0, 0x42, 0},
      {"fixed", vt::Behaviour::Answer(Bytes{5, 3, 2, 0xAB, 0xCD}), 1000, true, 0, 0xABCD, 0},
      {"exception payload", vt::Behaviour::Answer(illegal_address), 1000, false, EMBXILADD, 0, 0},
      {"silent", vt::Behaviour::Silent(), 150, false, ETIMEDOUT, 0, 0},
      {"wrong crc", vt::Behaviour::WrongCrc(), 1000, false, EMBBADCRC, 0, 0},
      {"late in time", vt::Behaviour::Late(60000), 1000, true, 0, 0x42, 60000},
      {"too late", vt::Behaviour::Late(400000), 150, false, ETIMEDOUT, 0, 0},
      // 7 reply bytes: pieces 2+2+2+1 with three gaps, or six character times.
      {"split", vt::Behaviour::Split(2, 5000), 1000, true, 0, 0x42, 3 * 5000},
      {"paced", vt::Behaviour::Paced(9600), 1000, true, 0, 0x42, 6 * 1146},
      {"flood", vt::Behaviour::Flood(), 1000, false, 0, 0, 0},
      {"raw", vt::Behaviour::Raw(vt::with_crc({5, 3, 2, 0x12, 0x34})), 1000, true, 0, 0x1234, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    vt::PtyPair line;
    vt::ScriptedUnit unit(line);
    unit.set_behaviour(c.behaviour);
    Client client(line.slave_path(), 5, c.timeout_ms);
    uint16_t reg = 0;
    int64_t start = vt::now_us();
    int rc = modbus_read_registers(client.get(), 0x42, 1, &reg);
    int error = errno;
    int64_t elapsed = vt::now_us() - start;
    if (c.ok) {
      ASSERT_EQ(rc, 1) << modbus_strerror(error);
      EXPECT_EQ(reg, c.value);
      EXPECT_GE(elapsed, c.min_elapsed_us);
    } else {
      EXPECT_EQ(rc, -1);
      if (c.error != 0) {
        EXPECT_EQ(error, c.error) << modbus_strerror(error);
      }
    }
    ASSERT_TRUE(unit.wait_frames(1, 1000));
    EXPECT_EQ(unit.frames()[0].bytes, vt::with_crc({5, 3, 0, 0x42, 0, 1}));
  }
}

TEST(ScriptedUnit, BehaviourPerAddressOverridesTheDefault) {
  vt::PtyPair line;
  vt::ScriptedUnit unit(line);
  unit.set_behaviour(vt::Behaviour::Silent());
  unit.set_behaviour(3, vt::Behaviour::Answer());
  Client client(line.slave_path(), 3, 150);
  uint16_t reg = 0;
  EXPECT_EQ(modbus_read_registers(client.get(), 1, 1, &reg), 1);
  modbus_set_slave(client.get(), 4);
  EXPECT_EQ(modbus_read_registers(client.get(), 1, 1, &reg), -1);
  modbus_set_slave(client.get(), 3);
  unit.reset_behaviour(3);
  EXPECT_EQ(modbus_read_registers(client.get(), 1, 1, &reg), -1);
  EXPECT_EQ(unit.sent().size(), 1u);
}

// Raw bytes written on the gateway's end: frames end on silence, or at once
// when they form a complete request, and odd frames are kept as they came.
TEST(ScriptedUnit, FramesEndOnSilenceOrOnACompleteRequest) {
  vt::PtyPair line;
  vt::ScriptedUnit unit(line);
  int fd = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct termios raw;
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
  auto put = [fd](const Bytes &b) { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); };
  const Bytes a = vt::with_crc({5, 3, 0, 1, 0, 1});
  const Bytes b = vt::with_crc({5, 16, 0, 2, 0, 1, 2, 0xAA, 0xBB});
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());

  put({0x11, 0x22, 0x33});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  put({0x44});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  put(both);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  put({5, 3, 0});

  ASSERT_TRUE(unit.wait_frames(5, 2000));
  auto frames = unit.frames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].bytes, (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(frames[1].bytes, (Bytes{0x44}));
  EXPECT_EQ(frames[2].bytes, a);
  EXPECT_EQ(frames[3].bytes, b);
  EXPECT_EQ(frames[4].bytes, (Bytes{5, 3, 0}));
  EXPECT_FALSE(frames[0].crc_ok());
  EXPECT_TRUE(frames[3].crc_ok());
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_LE(frames[i - 1].last_us, frames[i].first_us);
  // Only the two well-formed requests were answered.
  EXPECT_EQ(unit.sent().size(), 2u);
  close(fd);
}

// Requests of every shape a unit knows, written back to back in one go
// while only a very long silence would end a frame: each is handed over on
// its own at once. A shape it cannot know ends on silence, whole.
TEST(ScriptedUnit, TellsWhereEachStandardRequestEnds) {
  vt::PtyPair line;
  vt::ScriptedUnit unit(line);
  unit.set_silence_us(60000000);
  const Bytes requests[] = {{5, 7}, {5, 8, 0, 0, 0x12, 0x34}, {5, 11}, {5, 12}, {5, 17},
                            {5, 20, 7, 6, 0, 1, 0, 2, 0, 3}, {5, 21, 9, 6, 0, 1, 0, 2, 0, 1, 0xAB, 0xCD},
                            {5, 22, 0, 4, 0, 0xF2, 0, 0x25}, {5, 23, 0, 1, 0, 2, 0, 3, 0, 1, 2, 0xAA, 0xBB},
                            {5, 24, 0, 9}, {5, 43, 14, 1, 0}};
  Bytes all;
  for (const Bytes &r : requests) {
    Bytes framed = vt::with_crc(r);
    all.insert(all.end(), framed.begin(), framed.end());
  }
  int fd = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  const size_t n = std::size(requests);
  ASSERT_TRUE(unit.wait_frames(n, vt::slow_ms(5000)));
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(unit.frames()[i].bytes, vt::with_crc(requests[i])) << "request " << i;

  unit.set_silence_us(20000);
  const Bytes longer_echo = vt::with_crc({5, 8, 0, 0, 1, 2, 3, 4});
  ASSERT_EQ(write(fd, longer_echo.data(), longer_echo.size()), static_cast<ssize_t>(longer_echo.size()));
  ASSERT_TRUE(unit.wait_frames(n + 1, vt::slow_ms(5000)));
  EXPECT_EQ(unit.frames()[n].bytes, longer_echo);
  close(fd);
}

}  // namespace
