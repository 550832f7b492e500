// The command intake: what a client request leaves in the slot table and what
// it gets back, as a native handler files it. No worker runs here, so the
// table only changes where the tests or the intake change it; every case
// compares the whole table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "intake.h"
#include "message.h"
#include "modbusRTU.h"
#include "support/engine_support.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

// 19200 bit/s with 11 bits per character.
constexpr int32_t kCharUs = 572;

// Field by field, naming the first difference: a byte-wise compare of the
// table would also compare padding, which nobody writes.
::testing::AssertionResult same_table(SerialLine &serial, const std::vector<DeviceRecord> &want) {
  std::vector<DeviceRecord> got = vt::table_copy(serial);
  for (int r = 0; r < kUnitCount; ++r) {
    std::string where = "unit " + std::to_string(r + 1);
    if (got[r].currentSlot != want[r].currentSlot) return ::testing::AssertionFailure() << where << " currentSlot";
    for (int i = 0; i < kSlotCount; ++i) {
      const ExchangeSlot &g = got[r].slots[i];
      const ExchangeSlot &w = want[r].slots[i];
      std::string at = where + " slot " + std::to_string(i) + " ";
      if (memcmp(g.rxFrame, w.rxFrame, kFrameSize) != 0) return ::testing::AssertionFailure() << at << "rxFrame";
      if (memcmp(g.txFrame, w.txFrame, kFrameSize) != 0) return ::testing::AssertionFailure() << at << "txFrame";
      if (g.txLength != w.txLength)
        return ::testing::AssertionFailure() << at << "txLength " << +g.txLength << " != " << +w.txLength;
      if (g.rxLength != w.rxLength) return ::testing::AssertionFailure() << at << "rxLength";
      if (g.result != w.result) return ::testing::AssertionFailure() << at << "result";
      if (g.mode != w.mode) return ::testing::AssertionFailure() << at << "mode";
      if (g.lifetime != w.lifetime) return ::testing::AssertionFailure() << at << "lifetime";
      if (g.lifetimeReload != w.lifetimeReload) return ::testing::AssertionFailure() << at << "lifetimeReload";
      if (g.delay != w.delay) return ::testing::AssertionFailure() << at << "delay";
      if (g.timeoutSymbols != w.timeoutSymbols)
        return ::testing::AssertionFailure() << at << "timeoutSymbols " << +g.timeoutSymbols;
    }
  }
  return ::testing::AssertionSuccess();
}

bool all_zero(const vt::Message &m) {
  for (uint8_t b : m)
    if (b != 0) return false;
  return true;
}

// A write-multiple frame (fc 15 or 16) with the given byte count and as many
// value bytes.
Bytes write_multiple(uint8_t unit, uint8_t fc, uint16_t quantity, uint8_t byte_count) {
  Bytes f = {unit, fc, 0x00, 0x00, static_cast<uint8_t>(quantity >> 8), static_cast<uint8_t>(quantity), byte_count};
  for (int i = 0; i < byte_count; ++i) f.push_back(static_cast<uint8_t>(0xA0 + i));
  return f;
}

// Every byte of the table set to `fill`, so that "nothing written" can be told
// apart from "zeros written".
void fill_table(SerialLine &serial, uint8_t fill) {
  Locked table(serial.mutex);
  memset(static_cast<void *>(serial.table), fill, sizeof serial.table);
}

ExchangeSlot &slot_ref(SerialLine &serial, uint8_t unit, int slot) { return serial.table[unit - 1].slots[slot]; }

// A line of the test's own, its worker never started, so only the tests
// and the intake change its table.
class Intake : public ::testing::Test {
 protected:
  void SetUp() override { serial.settings.time_one_sym = kCharUs; }

  std::unique_ptr<SerialLine> owned = vt::fresh_line();
  SerialLine &serial = *owned;
};

// ---- Accepted frames ----------------------------------------------------------

struct SealCase {
  const char *name;
  Bytes frame;
  Bytes sealed;  // txFrame as it must go on the line
};

TEST_F(Intake, StoresEachAcceptedFrameSealedByteForByte) {
  const std::vector<SealCase> cases = {
      {"fc 3, unit 1", {0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}},
      {"fc 3, unit 17", {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}},
      {"fc 1", {0x11, 0x01, 0x00, 0x13, 0x00, 0x25}, vt::with_crc({0x11, 0x01, 0x00, 0x13, 0x00, 0x25})},
      {"fc 2", {0x11, 0x02, 0x00, 0xC4, 0x00, 0x16}, vt::with_crc({0x11, 0x02, 0x00, 0xC4, 0x00, 0x16})},
      {"fc 4", {0x11, 0x04, 0x00, 0x08, 0x00, 0x01}, vt::with_crc({0x11, 0x04, 0x00, 0x08, 0x00, 0x01})},
      {"fc 6", {0x11, 0x06, 0x00, 0x01, 0x00, 0x03}, vt::with_crc({0x11, 0x06, 0x00, 0x01, 0x00, 0x03})},
      {"fc 5 on", {0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00}, {0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00, 0x4E, 0x8B}},
      {"fc 5 off", {0x11, 0x05, 0x00, 0xAC, 0x00, 0x00}, vt::with_crc({0x11, 0x05, 0x00, 0xAC, 0x00, 0x00})},
      {"fc 15, byte count 2", write_multiple(0x11, 0x0F, 10, 2), vt::with_crc(write_multiple(0x11, 0x0F, 10, 2))},
      {"fc 16, byte count 4", write_multiple(0x11, 0x10, 2, 4), vt::with_crc(write_multiple(0x11, 0x10, 2, 4))},
      {"fc 15, byte count 246", write_multiple(0x11, 0x0F, 1968, 246),
       vt::with_crc(write_multiple(0x11, 0x0F, 1968, 246))},
      {"fc 16, byte count 246", write_multiple(0x11, 0x10, 123, 246),
       vt::with_crc(write_multiple(0x11, 0x10, 123, 246))},
  };
  // Lengths the callers rely on, independent of the helper that built them.
  ASSERT_EQ(cases[8].sealed.size(), 11u);
  ASSERT_EQ(cases[9].sealed.size(), 13u);
  ASSERT_EQ(cases[11].sealed.size(), 255u);

  for (const SealCase &c : cases) {
    SCOPED_TRACE(c.name);
    // Bytes past the frame must stay as they were: mark them.
    memset(slot_ref(serial, c.frame[0], 3).txFrame, 0xEE, kFrameSize);
    std::vector<DeviceRecord> want = vt::table_copy(serial);
    ExchangeSlot &w = want[c.frame[0] - 1].slots[3];
    std::copy(c.sealed.begin(), c.sealed.end(), w.txFrame);
    w.txLength = static_cast<uint8_t>(c.sealed.size());
    w.mode = 1;
    w.timeoutSymbols = 2;
    w.lifetime = 750000;
    w.delay = 2500;

    vt::CommandOutcome out = vt::run_command(serial, 
        {.frame = c.frame, .slot = 3, .mode = 1, .timeout = kCharUs + 1, .lifetime = 750000, .delay = 2500});

    // A slot the worker has never visited holds no answer, however its
    // result byte reads.
    EXPECT_EQ(out.result, kCmdNoAnswer);
    EXPECT_TRUE(all_zero(out.response));
    EXPECT_TRUE(same_table(serial, want));
  }
}

TEST_F(Intake, AcceptsUnitsOneTo247AndSlotsZeroToFour) {
  struct Case {
    uint8_t unit;
    uint8_t slot;
  };
  for (Case c : {Case{1, 0}, Case{247, 4}, Case{128, 2}}) {
    SCOPED_TRACE("unit " + std::to_string(c.unit) + " slot " + std::to_string(c.slot));
    Bytes frame = {c.unit, 0x03, 0x00, 0x00, 0x00, 0x01};
    std::vector<DeviceRecord> want = vt::table_copy(serial);
    ExchangeSlot &w = want[c.unit - 1].slots[c.slot];
    Bytes sealed = vt::with_crc(frame);
    std::copy(sealed.begin(), sealed.end(), w.txFrame);
    w.txLength = 8;
    w.mode = 2;
    w.lifetime = 1000;
    EXPECT_EQ(vt::run_command(serial, {.frame = frame, .slot = c.slot, .mode = 2, .lifetime = 1000}).result, kCmdNoAnswer);
    EXPECT_TRUE(same_table(serial, want));
  }
}

// ---- Refused requests ---------------------------------------------------------

TEST_F(Intake, RefusesBadUnitsAndSlotsWritingNothing) {
  struct Case {
    uint8_t unit;
    uint8_t slot;
    int want;
  };
  const Case cases[] = {
      {0, 0, kCmdBadUnit}, {248, 0, kCmdBadUnit}, {255, 4, kCmdBadUnit},
      {0, 5, kCmdBadUnit},  // the unit is looked at first
      {1, 5, kCmdBadSlot}, {1, 255, kCmdBadSlot}, {247, 5, kCmdBadSlot},
  };
  fill_table(serial, 0x5A);
  const std::vector<DeviceRecord> want = vt::table_copy(serial);
  for (const Case &c : cases) {
    SCOPED_TRACE("unit " + std::to_string(c.unit) + " slot " + std::to_string(c.slot));
    vt::CommandOutcome out = vt::run_command(serial, {.frame = {c.unit, 0x03, 0x00, 0x00, 0x00, 0x01},
                                              .slot = c.slot,
                                              .mode = 1,
                                              .timeout = 100000,
                                              .lifetime = 5,
                                              .delay = 7});
    EXPECT_EQ(out.result, c.want);
    EXPECT_TRUE(all_zero(out.response));
    EXPECT_TRUE(same_table(serial, want));
  }
}

// These refusals are decided before the table is touched: a client asking for
// a unit or slot that doesn't exist never waits for a running exchange.
TEST_F(Intake, RefusesBadUnitsAndSlotsWithoutWaitingForTheTable) {
  pthread_mutex_lock(&serial.mutex);
  auto refused = std::async(std::launch::async, [this] {
    return std::vector<int>{vt::run_command(serial, {.frame = {0, 3, 0, 0, 0, 1}}).result,
                            vt::run_command(serial, {.frame = {1, 3, 0, 0, 0, 1}, .slot = 5}).result};
  });
  bool ready = refused.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  pthread_mutex_unlock(&serial.mutex);
  ASSERT_TRUE(ready) << "the intake waited for SerialMutex";
  EXPECT_EQ(refused.get(), (std::vector<int>{kCmdBadUnit, kCmdBadSlot}));
}

struct RefusalCase {
  const char *name;
  Bytes frame;
  int want;
  bool may_write = true;
};

// A refused function still replaces the slot's timing fields, but its frame,
// length and mode stay those of the last accepted request. Byte counts above
// 246 would not fit the sealed frame in txFrame (nor its length in txLength);
// a frame cut short or a byte count that does not fit its quantity would go
// on the line with made-up bytes; a client outside the write allow-list
// may not write.
TEST_F(Intake, RefusedFunctionsReplaceOnlyTheTimingFields) {
  const std::vector<RefusalCase> cases = {
      {"fc 5 value 00FF", {0x05, 0x05, 0x00, 0x01, 0x00, 0xFF}, kCmdBadCoilValue},
      {"fc 5 value 0001", {0x05, 0x05, 0x00, 0x01, 0x00, 0x01}, kCmdBadCoilValue},
      {"fc 5 value FFFF", {0x05, 0x05, 0x00, 0x01, 0xFF, 0xFF}, kCmdBadCoilValue},
      {"fc 0", {0x05, 0x00, 0x00, 0x01, 0x00, 0x01}, kCmdBadFunction},
      {"fc 7", {0x05, 0x07, 0x00, 0x01, 0x00, 0x01}, kCmdBadFunction},
      {"fc 14", {0x05, 0x0E, 0x00, 0x01, 0x00, 0x01}, kCmdBadFunction},
      {"fc 17", {0x05, 0x11, 0x00, 0x01, 0x00, 0x01}, kCmdBadFunction},
      {"fc 255", {0x05, 0xFF, 0x00, 0x01, 0x00, 0x01}, kCmdBadFunction},
      {"fc 16 byte count 247", write_multiple(0x05, 0x10, 123, 247), kCmdFrameTooLong},
      {"fc 16 byte count 255", write_multiple(0x05, 0x10, 123, 255), kCmdFrameTooLong},
      {"fc 15 byte count 247", write_multiple(0x05, 0x0F, 1976, 247), kCmdFrameTooLong},
      {"fc 15 byte count 255", write_multiple(0x05, 0x0F, 2040, 255), kCmdFrameTooLong},
      {"fc 6 cut short", {0x05, 0x06, 0x00, 0x28}, kCmdFrameMalformed},
      {"fc 16 byte count 200 with 2 bytes", {0x05, 0x10, 0x00, 0x00, 0x00, 0x64, 0xC8, 0x01, 0x02}, kCmdFrameMalformed},
      {"fc 15 byte count 1 for 10 coils", write_multiple(0x05, 0x0F, 10, 1), kCmdFrameMalformed},
      {"fc 5 from a reader", {0x05, 0x05, 0x00, 0x01, 0xFF, 0x00}, kCmdWriteRefused, false},
      {"fc 6 from a reader", {0x05, 0x06, 0x00, 0x01, 0x00, 0x07}, kCmdWriteRefused, false},
      {"fc 15 from a reader", write_multiple(0x05, 0x0F, 10, 2), kCmdWriteRefused, false},
      {"fc 16 from a reader", write_multiple(0x05, 0x10, 2, 4), kCmdWriteRefused, false},
  };
  const Bytes armed = {0x05, 0x03, 0x00, 0x20, 0x00, 0x04};
  for (const RefusalCase &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(vt::run_command(serial, {.frame = armed, .slot = 1, .mode = 3, .timeout = 0, .lifetime = 10, .delay = 20}).result,
              kCmdNoAnswer);
    std::vector<DeviceRecord> want = vt::table_copy(serial);
    ExchangeSlot &w = want[4].slots[1];
    w.timeoutSymbols = 175;
    w.lifetime = 123456;
    w.delay = 654321;

    vt::CommandOutcome out = vt::run_command(serial, 
        {.frame = c.frame, .slot = 1, .mode = 1, .timeout = 100000, .lifetime = 123456, .delay = 654321,
         .may_write = c.may_write});

    EXPECT_EQ(out.result, c.want);
    EXPECT_TRUE(all_zero(out.response));
    EXPECT_TRUE(same_table(serial, want));
  }
}

// ---- Time-out in character times -------------------------------------------------

// Whole character times rounded up, saturating at the 255 the slot holds: a
// client that asks for a longer wait gets the longest, never a wrapped short
// one (100 ms at 115200 bit/s once came out as 29 characters, 3 ms).
TEST_F(Intake, TurnsTheTimeoutIntoWholeCharacterTimesCappedAt255) {
  struct Case {
    int baud;
    int32_t timeout;
    uint8_t symbols;
  };
  // 95 us a character at 115200 bit/s, 1145 us at 9600 (8N1, 11 bits).
  const Case cases[] = {
      {115200, 0, 0},       {115200, -1, 0},     {115200, INT32_MIN, 0},   {115200, 1, 1},
      {115200, 95, 1},      {115200, 96, 2},     {115200, 24130, 254},     {115200, 24131, 255},
      {115200, 24225, 255},  // the largest that fits: 255 character times
      {115200, 24226, 255}, {115200, 100000, 255}, {115200, INT32_MAX, 255},
      {9600, 0, 0},         {9600, -1, 0},       {9600, -1145, 0},         {9600, 1145, 1},
      {9600, 1146, 2},      {9600, 100000, 88},  {9600, 291975, 255},      // the largest that fits
      {9600, 291976, 255},  {9600, 10000000, 255}, {9600, INT32_MAX, 255},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + " bit/s, timeout " + std::to_string(c.timeout));
    serial.settings.baudrate = c.baud;
    serial.settings.databits = 8;
    serial.settings.stopbits = 1;
    derive_line_timing(serial.settings);
    vt::run_command(serial, {.frame = {0x09, 0x03, 0x00, 0x00, 0x00, 0x01}, .slot = 0, .timeout = c.timeout});
    EXPECT_EQ(vt::slot_copy(serial, 9, 0).timeoutSymbols, c.symbols);
  }
}

// ---- The answer handed back ------------------------------------------------------

struct AnswerCase {
  const char *name;
  uint8_t result;
  uint8_t rx_length;
  uint8_t mode;  // of the request
  int want;
};

TEST_F(Intake, HandsBackOnlyAValidAnswerAndStoresTheRequestAnyway) {
  const AnswerCase cases[] = {
      {"no answer", kResultNoAnswer, 7, 1, kCmdNoAnswer},
      {"bad answer", kResultBadAnswer, 7, 1, kCmdNoAnswer},
      {"bad answer, then idle", kResultBadAnswer | kResultNoAnswer, 7, 1, kCmdNoAnswer},
      {"never visited", kResultValid, 0, 1, kCmdNoAnswer},
      {"valid, 7 bytes", kResultValid, 7, 1, kCmdOk},
      {"valid, 255 bytes", kResultValid, 255, 1, kCmdOk},
      {"valid, request sets the slot idle", kResultValid, 7, 0, kCmdOk},
  };
  // An old request and an answer to it; the new request asks for something
  // else, and still gets the old answer: the worker hasn't sent it yet.
  const Bytes old_frame = {0x02, 0x03, 0x00, 0x00, 0x00, 0x01};
  const Bytes new_frame = {0x02, 0x04, 0x00, 0x10, 0x00, 0x02};
  const Bytes new_sealed = vt::with_crc(new_frame);
  for (const AnswerCase &c : cases) {
    SCOPED_TRACE(c.name);
    vt::run_command(serial, {.frame = old_frame, .slot = 2, .mode = 1});
    pthread_mutex_lock(&serial.mutex);
    ExchangeSlot &s = slot_ref(serial, 2, 2);
    for (int i = 0; i < kFrameSize; ++i) s.rxFrame[i] = static_cast<uint8_t>(0x40 + i);
    s.rxLength = c.rx_length;
    s.result = c.result;
    pthread_mutex_unlock(&serial.mutex);
    std::vector<DeviceRecord> want = vt::table_copy(serial);
    ExchangeSlot &w = want[1].slots[2];
    std::copy(new_sealed.begin(), new_sealed.end(), w.txFrame);
    w.txLength = 8;
    w.mode = c.mode;
    w.timeoutSymbols = 1;
    w.lifetime = 99;

    vt::CommandOutcome out =
        vt::run_command(serial, {.frame = new_frame, .slot = 2, .mode = c.mode, .timeout = kCharUs, .lifetime = 99});

    EXPECT_EQ(out.result, c.want);
    EXPECT_TRUE(same_table(serial, want));
    vt::Message expected{};
    if (c.want == kCmdOk) {
      // Header length leaves the answer's CRC out; the copy still holds it.
      msg::put16(expected.data(), msg::kLength, static_cast<uint16_t>(c.rx_length + 30));
      expected[msg::kSlot] = 2;
      for (int i = 0; i < c.rx_length; ++i) expected[msg::kFrame + i] = static_cast<uint8_t>(0x40 + i);
    }
    EXPECT_EQ(out.response, expected);
  }
}

}  // namespace
