// The serial polling worker against units on a pseudo-terminal: what goes on
// the line, in which order and with which spacing, and what each exchange
// leaves in its slot, seen through the unit's recordings, through the intake
// and through copies of the slot taken under the table's lock. Each case has
// a line of its own. Behaviour that is not about time is seen by stepping
// the line's worker; the spacing of the exchanges, the pause cap and a real
// Modbus server are seen through the worker thread the line's start runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exchange.h"
#include "message.h"
#include "intake.h"
#include "modbusRTU.h"
#include "pelnet.h"
#include "sleep_us.h"
#include "support/engine_support.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

constexpr uint32_t kLongLife = 600000000;  // µs, outlives every test

Bytes read_holding(uint8_t unit, uint16_t addr, uint16_t qty) {
  return {unit,
          0x03,
          static_cast<uint8_t>(addr >> 8),
          static_cast<uint8_t>(addr),
          static_cast<uint8_t>(qty >> 8),
          static_cast<uint8_t>(qty)};
}

// The exchanges the slot's counts record, whatever their outcome.
uint32_t exchanges(const ExchangeSlot &s) {
  return s.counts.valid + s.counts.no_answer + s.counts.bad_crc + s.counts.mismatch + s.counts.echo_faults;
}

// A serial line of the test's own (the process's for the cases about its
// documented names), a pseudo-terminal under it and a unit on that.
class LineFixture : public ::testing::Test {
 protected:
  explicit LineFixture(SerialLine *use = nullptr)
      : owned(use != nullptr ? nullptr : vt::fresh_line()), serial(use != nullptr ? *use : *owned) {}

  // A slot in service for the rest of the test (unless its mode says otherwise).
  int arm(const Bytes &frame, uint8_t slot, uint8_t mode = 1, int timeout_chars = 255, uint32_t delay = 0,
          uint32_t lifetime = kLongLife) {
    return vt::run_command(serial, {.frame = frame,
                                    .slot = slot,
                                    .mode = mode,
                                    .timeout = vt::char_times_us(serial, timeout_chars),
                                    .lifetime = lifetime,
                                    .delay = delay})
        .result;
  }

  ExchangeSlot slot_copy(uint8_t u, int slot) { return vt::slot_copy(serial, u, slot); }

  // True once the worker has recorded some bytes in the slot.
  bool received(uint8_t u, int slot) { return slot_copy(u, slot).rxLength != 0; }

  std::unique_ptr<SerialLine> owned;
  SerialLine &serial;
  vt::PtyPair line{0};
  vt::ScriptedUnit unit{line};
};

// The line's worker thread, for what is about time.
class Worker : public LineFixture {
 protected:
  void TearDown() override {
    vt::stop_worker(serial);
    line_close(serial);
  }

  // Slots armed after this and before start() find the worker at record 0,
  // every currentSlot 0.
  void line_at(int baud) { vt::configure_line(serial, line, baud); }
  void start() { ASSERT_EQ(line_open(serial, false), 0); }
};

// The line's worker stepped by the test, record visit by record visit.
class SteppedWorker : public LineFixture {
 protected:
  explicit SteppedWorker(SerialLine *use = nullptr) : LineFixture(use) {}
  void TearDown() override { line_close(serial); }

  // Slots armed after this find the worker at record 0, every currentSlot 0.
  void line_at(int baud) { ASSERT_TRUE(vt::open_stepped_line(serial, line, baud)); }

  // Exchanges until the slot of unit `u` has made `n` exchanges in all; at
  // most `limit` exchanges of any slot.
  void exchange_until(uint8_t u, int slot, uint32_t n, int limit = 200) {
    for (int i = 0; i < limit && exchanges(slot_copy(u, slot)) < n; ++i)
      ASSERT_NE(vt::exchange_next(serial).unit, 0) << "nothing left to exchange";
    ASSERT_GE(exchanges(slot_copy(u, slot)), n);
  }

  // True when a whole walk exchanges nothing.
  bool walk_exchanges_nothing() { return vt::exchange_next(serial).unit == 0; }

  SerialWorker &w = serial.worker;
};

// The process's line, stepped: Loop_Exchange and CountDev are its.
class ProcessLineStepped : public SteppedWorker {
 protected:
  ProcessLineStepped() : SteppedWorker(&SerialProcessLine) {}
};

// ---- Order of the walk ---------------------------------------------------------

TEST_F(SteppedWorker, VisitsUnitsInAddressOrderAndTheirSlotsInTurn) {
  line_at(38400);
  arm(read_holding(1, 0, 1), 0);
  arm(read_holding(1, 2, 1), 2);
  arm(read_holding(3, 1, 1), 1);

  std::vector<std::pair<int, int>> seen;
  for (int i = 0; i < 9; ++i) {
    vt::Exchanged e = vt::exchange_next(serial);
    seen.emplace_back(e.unit, e.slot);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 0}, {3, 1}, {1, 2}, {3, 1}, {1, 0}, {3, 1}, {1, 2}, {3, 1},
                                                    {1, 0}}));
  // And the line saw the frames of those slots, in that order.
  ASSERT_TRUE(unit.wait_frames(9, vt::slow_ms(2000)));
  const Bytes first = vt::with_crc(read_holding(1, 0, 1));
  const Bytes second = vt::with_crc(read_holding(3, 1, 1));
  EXPECT_EQ(unit.frames()[0].bytes, first);
  EXPECT_EQ(unit.frames()[1].bytes, second);
}

// ---- Modes and lifetimes ----------------------------------------------------------

struct ServiceCase {
  const char *name;
  uint8_t mode;
  uint32_t lifetime_silences;  // lifetime in time_silence units ...
  int32_t lifetime_extra;      // ... plus this many µs
  bool answers;
  size_t exchanges;
};

// Each exchange costs the slot one silence time whatever its outcome; mode 2
// ends with the first good answer; modes 3 and up reload a lifetime that
// nothing ever sets, so a good answer leaves them one more exchange at most.
TEST_F(SteppedWorker, ServesEachSlotAsItsModeAndLifetimeSay) {
  // A good answer changes the count for modes 2 and up, so the wait for it
  // is long: 259 characters at 2400 bit/s are over a second.
  line_at(2400);
  const uint32_t silence = static_cast<uint32_t>(serial.settings.time_silence);
  const std::vector<ServiceCase> cases = {
      {"mode 1, lifetime 0", 1, 0, 0, true, 1},
      {"mode 1, lifetime 1", 1, 0, 1, true, 1},
      {"mode 1, one silence", 1, 1, 0, true, 1},
      {"mode 1, three silences", 1, 3, 0, true, 3},
      {"mode 1, three silences and 1 us", 1, 3, 1, true, 4},
      {"mode 1, silent unit", 1, 3, 0, false, 3},
      {"mode 2, answered", 2, 1000, 0, true, 1},
      {"mode 2, silent unit", 2, 3, 0, false, 3},
      {"mode 3, answered", 3, 1000, 0, true, 2},
      {"mode 255, answered", 255, 1000, 0, true, 2},
      {"mode 3, one silence", 3, 1, 0, true, 1},
      {"mode 3, silent unit", 3, 3, 0, false, 3},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const ServiceCase &c = cases[i];
    uint8_t u = static_cast<uint8_t>(10 + i);
    if (!c.answers) unit.set_behaviour(u, vt::Behaviour::Silent());
    uint32_t lifetime = c.lifetime_silences * silence + static_cast<uint32_t>(c.lifetime_extra);
    arm(read_holding(u, 0, 1), 0, c.mode, c.answers ? 255 : 0, 0, lifetime);
  }
  for (int i = 0; i < 100 && vt::exchange_next(serial).unit != 0; ++i) {
  }
  EXPECT_TRUE(walk_exchanges_nothing());

  std::vector<vt::Frame> frames = unit.frames();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    uint8_t u = static_cast<uint8_t>(10 + i);
    ExchangeSlot s = slot_copy(u, 0);
    EXPECT_EQ(exchanges(s), cases[i].exchanges);
    EXPECT_EQ(vt::frames_of(frames, u).size(), cases[i].exchanges);
    EXPECT_EQ(s.mode, kModeIdle);
    EXPECT_EQ(s.lifetime, 0u);
  }
}

TEST_F(SteppedWorker, UntilAnsweredModeRepeatsWhileTheUnitIsSilentAndStopsAtTheAnswer) {
  line_at(9600);
  unit.set_behaviour(1, vt::Behaviour::Silent());
  arm(read_holding(1, 0, 1), 0, kModeUntilAnswered, 0);
  exchange_until(1, 0, 3);
  EXPECT_EQ(slot_copy(1, 0).mode, kModeUntilAnswered);
  EXPECT_EQ(slot_copy(1, 0).counts.no_answer, 3u);

  unit.set_behaviour(1, vt::Behaviour::Answer());
  arm(read_holding(1, 0, 1), 0, kModeUntilAnswered, 255);
  for (int i = 0; i < 10 && slot_copy(1, 0).mode != kModeIdle; ++i) vt::exchange_next(serial);
  ASSERT_EQ(slot_copy(1, 0).mode, kModeIdle);
  size_t asked = unit.frames().size();
  EXPECT_TRUE(walk_exchanges_nothing()) << "exchanged after the answer";
  EXPECT_EQ(unit.frames().size(), asked);
  ASSERT_FALSE(unit.sent().empty());
  ExchangeSlot s = slot_copy(1, 0);
  EXPECT_EQ(s.lifetime, 0u);
  EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), unit.sent().back().bytes);
}

TEST_F(SteppedWorker, ReloadModeIsLeftWithNoLifetimeAfterAGoodAnswer) {
  line_at(9600);
  arm(read_holding(1, 0, 1), 0, kModeReload);
  exchange_until(1, 0, 1);
  ExchangeSlot s = slot_copy(1, 0);
  EXPECT_EQ(s.result, kResultValid);
  EXPECT_EQ(s.mode, kModeReload);
  EXPECT_EQ(s.lifetime, 0u);

  // The next exchange, whatever its outcome, switches it off.
  exchange_until(1, 0, 2);
  EXPECT_EQ(slot_copy(1, 0).mode, kModeIdle);
  EXPECT_TRUE(walk_exchanges_nothing());
  EXPECT_TRUE(unit.wait_frames(2, vt::slow_ms(1000)));
  EXPECT_EQ(unit.frames().size(), 2u);
}

// The slot is read again only once the pause before its exchange is over: a
// client that idles it meanwhile still gets that one exchange, which then
// leaves it without lifetime.
TEST_F(SteppedWorker, SlotIdledDuringThePauseBeforeItsExchangeIsExchangedOnceMore) {
  line_at(38400);
  unit.set_behaviour(vt::Behaviour::Silent());
  const Bytes frame = read_holding(1, 0, 1);
  arm(frame, 0, kModeRepeat, 0, 300000);

  std::thread walk([&] { vt::exchange_next(serial); });
  // The lock is free during the pause: the rewrite gets in before the send.
  sleep_us(50000);
  arm(frame, 0, kModeIdle, 0, 300000);
  bool sent_before_rewrite = !unit.frames().empty();
  walk.join();
  EXPECT_FALSE(sent_before_rewrite);
  ASSERT_TRUE(unit.wait_frames(1, vt::slow_ms(1000)));
  ExchangeSlot s = slot_copy(1, 0);
  EXPECT_EQ(exchanges(s), 1u);
  EXPECT_EQ(s.lifetime, 0u);
  EXPECT_EQ(s.mode, kModeIdle);
}

// A write polled the documented way: the unit sees it once; the client sees
// "no answer yet", then the unit's echo on every later request, since the
// answer a mode 2 slot got is kept until the slot is rewritten. A request
// with mode 0 is such a rewrite: the same write after it is new.
TEST_F(SteppedWorker, AnsweredWriteIsKeptForCollectionAndSentOnce) {
  line_at(9600);
  const Bytes write = {0x01, 0x06, 0x00, 0x05, 0x12, 0x34};
  auto poll = [&] {
    return vt::run_command(serial, 
        {.frame = write, .mode = kModeUntilAnswered, .timeout = vt::char_times_us(serial, 255), .lifetime = kLongLife});
  };

  EXPECT_EQ(poll().result, kCmdNoAnswer);
  for (int turn = 0; turn < 3; ++turn) {
    SCOPED_TRACE("turn " + std::to_string(turn));
    vt::exchange_next(serial);
    vt::CommandOutcome out = poll();
    EXPECT_EQ(out.result, kCmdOk);
    EXPECT_EQ(vt::head(out.response.data() + msg::kFrame, write.size()), write);
  }
  EXPECT_TRUE(walk_exchanges_nothing());
  EXPECT_EQ(vt::frames_of(unit.frames(), 1).size(), 1u);

  EXPECT_EQ(arm(write, 0, kModeIdle), kCmdOk);
  EXPECT_EQ(poll().result, kCmdOk);  // the earlier answer, until the next exchange
  vt::exchange_next(serial);
  EXPECT_EQ(poll().result, kCmdOk);
  EXPECT_TRUE(walk_exchanges_nothing());
  EXPECT_EQ(vt::frames_of(unit.frames(), 1).size(), 2u);
}

// Requests whose message ends before the frame its function needs, or whose
// byte count does not fit the quantity, are refused like an over-long byte
// count, and nothing of them goes on the line; the shortest whole frame of
// each function goes on it sealed, and bytes after a frame are ignored.
TEST_F(SteppedWorker, ShortOrInconsistentRequestsNeverReachTheLine) {
  line_at(9600);
  struct Case {
    const char *name;
    Bytes frame;  // without its unit address, which is the case's own
    uint8_t status;
    size_t sent;  // frame bytes that go on the line
  };
  const std::vector<Case> cases = {
      {"fc 6 cut after the address", {0x06, 0x00, 0x28}, 0x80, 0},
      {"fc 5 cut after the address", {0x05, 0x00, 0x08}, 0x80, 0},
      {"fc 5 without the value's low byte", {0x05, 0x00, 0x08, 0xFF}, 0x80, 0},
      {"fc 3 one byte short", {0x03, 0x00, 0x00, 0x00}, 0x80, 0},
      {"no function code", {}, 0x80, 0},
      {"fc 16, quantity 100, byte count 200, 2 bytes", {0x10, 0x00, 0x00, 0x00, 0x64, 0xC8, 0x12, 0x34}, 0x80, 0},
      {"fc 16, byte count 3 for 2 registers", {0x10, 0x00, 0x00, 0x00, 0x02, 0x03, 1, 2, 3}, 0x80, 0},
      {"fc 16, byte count 144 for 200 registers", {0x10, 0x00, 0x00, 0x00, 0xC8, 0x90}, 0x80, 0},
      {"fc 15, byte count 2 for 8 coils", {0x0F, 0x00, 0x00, 0x00, 0x08, 0x02, 0xFF, 0x00}, 0x80, 0},
      {"fc 15 without a byte count", {0x0F, 0x00, 0x00, 0x00, 0x08}, 0x80, 0},
      {"fc 1", {0x01, 0x00, 0x00, 0x00, 0x01}, 0x81, 6},
      {"fc 2", {0x02, 0x00, 0x00, 0x00, 0x01}, 0x81, 6},
      {"fc 3", {0x03, 0x00, 0x00, 0x00, 0x01}, 0x81, 6},
      {"fc 4", {0x04, 0x00, 0x00, 0x00, 0x01}, 0x81, 6},
      {"fc 5", {0x05, 0x00, 0x08, 0xFF, 0x00}, 0x81, 6},
      {"fc 6", {0x06, 0x00, 0x28, 0x00, 0x07}, 0x81, 6},
      {"fc 15, one coil", {0x0F, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01}, 0x81, 8},
      {"fc 16, one register", {0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x07}, 0x81, 9},
      {"fc 3 and two bytes after it", {0x03, 0x00, 0x00, 0x00, 0x01, 0xEE, 0xEE}, 0x81, 6},
  };
  std::vector<Bytes> frames;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    Bytes frame = {static_cast<uint8_t>(20 + i)};
    frame.insert(frame.end(), cases[i].frame.begin(), cases[i].frame.end());
    frames.push_back(frame);
    EXPECT_EQ(StatusForResult(arm(frame, 0, kModeUntilAnswered)), cases[i].status);
  }
  for (int i = 0; i < 100 && vt::exchange_next(serial).unit != 0; ++i) {
  }

  std::vector<vt::Frame> line_frames = unit.frames();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    std::vector<vt::Frame> sent = vt::frames_of(line_frames, frames[i][0]);
    ASSERT_EQ(sent.size(), cases[i].sent == 0 ? 0u : 1u);
    if (!sent.empty()) {
      EXPECT_EQ(sent[0].bytes, vt::with_crc(Bytes(frames[i].begin(), frames[i].begin() + cases[i].sent)));
    }
  }
  EXPECT_EQ(line_frames.size(), static_cast<size_t>(std::count_if(cases.begin(), cases.end(), [](const Case &c) {
              return c.sent != 0;
            })));
}

// A delay is a full 32-bit count of microseconds: 71 minutes at most. The
// pause before an exchange stops at 10 s, during which no other unit is
// served, and a request that rewrites the slot with a short delay ends it.
TEST_F(Worker, PauseBeforeAnExchangeIsCappedAndEndsWhenTheSlotIsRewritten) {
  line_at(115200);
  const Bytes stalled = read_holding(1, 0, 1);
  arm(read_holding(2, 0, 1), 0);
  start();
  ASSERT_TRUE(unit.wait_frames(1, vt::slow_ms(3000)));
  const int64_t armed = vt::now_us();
  arm(stalled, 0, kModeRepeat, 255, 0xFFFFFFFF);

  // The stalled unit is exchanged after its pause, and the other one then.
  auto after = [&](uint8_t u, int64_t since, size_t n) {
    std::vector<vt::Frame> mine;
    for (const vt::Frame &f : vt::frames_of(unit.frames(), u))
      if (f.first_us > since) mine.push_back(f);
    return mine.size() >= n ? mine[n - 1].first_us : 0;
  };
  ASSERT_TRUE(vt::wait_until([&] { return after(2, armed + 1000000, 1) != 0; }, 15000));
  const int64_t stalled_at = after(1, armed, 1);
  ASSERT_NE(stalled_at, 0);
  EXPECT_GE(stalled_at - armed, 9900000);
  EXPECT_LE(stalled_at - armed, 10000000 + vt::slow_us(1500000));

  // The worker is back in the pause before the stalled slot. The rewrite
  // ends it at once: well within a second, where the cap is ten (on a
  // loaded machine the unit thread that stamps the frame may read it a
  // hundred milliseconds late).
  sleep_us(100000);
  const int64_t rewritten = vt::now_us();
  arm(stalled, 0, kModeRepeat, 255, 0);
  ASSERT_TRUE(vt::wait_until([&] { return after(1, rewritten, 1) != 0; }, 2000));
  EXPECT_LE(after(1, rewritten, 1) - rewritten, vt::slow_us(1000000));
}

// ---- An idle worker ----------------------------------------------------------------

// Nothing but a stored request wakes a worker resting on an idle table: a
// slot armed long after the worker came to rest is exchanged all the same.
TEST_F(Worker, SlotArmedWhileTheWorkerRestsIsExchanged) {
  line_at(115200);
  start();
  sleep_us(200000);  // many idle cycles' worth: the worker rests by now
  EXPECT_TRUE(unit.frames().empty());
  arm(read_holding(3, 0, 1), 0);
  ASSERT_TRUE(unit.wait_frames(1, vt::slow_ms(2000)));
  EXPECT_EQ(unit.frames()[0].bytes, vt::with_crc(read_holding(3, 0, 1)));
}

struct SwitchedOffRow {
  const char *name;
  uint8_t mode;
  int next_result;  // of the next request to the slot
};

// A slot whose service ended goes idle, and the walk that follows marks it
// without any timer: the next request to it reads "no answer", except the
// answer a mode 2 write keeps for its client.
TEST_F(Worker, SlotSwitchedOffReadsNoAnswerToTheNextRequestUnlessItKeepsItsAnswer) {
  line_at(115200);
  const std::vector<SwitchedOffRow> rows = {
      {"mode 1, lifetime of one exchange", kModeRepeat, kCmdNoAnswer},
      {"mode 2, answered", kModeUntilAnswered, kCmdOk},
  };
  start();
  for (size_t i = 0; i < rows.size(); ++i) {
    const SwitchedOffRow &r = rows[i];
    SCOPED_TRACE(r.name);
    const uint8_t u = static_cast<uint8_t>(40 + i);
    const Bytes frame = {u, 0x06, 0x00, 0x01, 0x00, 0x07};
    arm(frame, 0, r.mode, 255, 0, static_cast<uint32_t>(serial.settings.time_silence));
    ASSERT_TRUE(vt::wait_until([&] { return slot_copy(u, 0).counts.valid >= 1; }, 3000));
    // Marked, or kept: either way the worker has finished with the slot.
    ASSERT_TRUE(vt::wait_until(
        [&] {
          ExchangeSlot s = slot_copy(u, 0);
          return s.mode == kModeIdle && (s.answerKept || (s.result & kResultNoAnswer) != 0);
        },
        3000));
    EXPECT_EQ(arm(frame, 0, r.mode, 255, 0, 0), r.next_result);
  }
}

// ---- Timing of the exchanges ---------------------------------------------------------

struct SpacingCase {
  int timeout_chars;
  uint32_t delay_us;
};

// With one slot in service and a silent unit, one exchange follows the other
// after: the pause before it (delay, or 1 ms), the wait for a reply
// (timeoutSymbols + 4 polls of one character time) and the closing silence.
// Sleeps are never short, so the mean spacing has a firm lower bound (see
// mean_spacing_us for why a unit that reads late doesn't spoil it). A loaded
// machine stretches every sleep: the upper bound only catches gross
// mistakes (milliseconds for microseconds).
TEST_F(Worker, SilentUnitIsGivenUpAfterItsTimeoutAndExchangesAreSpacedByTheDelay) {
  line_at(38400);
  unit.set_behaviour(vt::Behaviour::Silent());
  const Bytes frame = read_holding(1, 0, 1);
  arm(frame, 0, 1, 0);
  start();
  const double sym = serial.settings.time_one_sym;
  const double silence = serial.settings.time_silence;

  for (SpacingCase c : {SpacingCase{0, 0}, SpacingCase{100, 0}, SpacingCase{0, 5000}}) {
    SCOPED_TRACE("timeout " + std::to_string(c.timeout_chars) + " characters, delay " + std::to_string(c.delay_us));
    arm(frame, 0, 1, c.timeout_chars, c.delay_us);
    // The exchange running at the call may still use the old settings.
    unit.clear();
    ASSERT_TRUE(unit.wait_frames(2, vt::slow_ms(3000)));
    unit.clear();
    ASSERT_TRUE(vt::wait_until([&] { return vt::distinct_reads(unit.frames()) >= 21; }, 10000));

    double pause = c.delay_us == 0 ? 1000.0 : c.delay_us;
    double least = pause + (c.timeout_chars + 4) * sym + silence;
    double mean = vt::mean_spacing_us(unit.frames());
    EXPECT_GE(mean, 0.85 * least);
    EXPECT_LE(mean, vt::slowdown() * (20 * least + 200000));
    ExchangeSlot s = slot_copy(1, 0);
    EXPECT_EQ(s.result, kResultNoAnswer);
    EXPECT_EQ(s.rxLength, 0);
  }
}

// ---- Outcomes ------------------------------------------------------------------------

TEST_F(SteppedWorker, WrongCrcIsABadAnswerThatAnIdlePassAlsoMarksUnanswered) {
  line_at(38400);
  unit.set_behaviour(4, vt::Behaviour::WrongCrc());
  const Bytes frame = read_holding(4, 0, 1);
  arm(frame, 0);
  exchange_until(4, 0, 1);

  ExchangeSlot s = slot_copy(4, 0);
  EXPECT_EQ(s.result, kResultBadAnswer);
  ASSERT_FALSE(unit.sent().empty());
  EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), unit.sent()[0].bytes);
  EXPECT_EQ(arm(frame, 0), kCmdNoAnswer);

  EXPECT_EQ(arm(frame, 0, kModeIdle), kCmdNoAnswer);
  EXPECT_TRUE(walk_exchanges_nothing());
  EXPECT_EQ(slot_copy(4, 0).result, kResultBadAnswer | kResultNoAnswer);
  EXPECT_EQ(slot_copy(4, 0).rxLength, 7);
}

// A reply that comes after the worker gave up must not pass as the answer of
// the next exchange, though its CRC is good: the answer to the earlier
// request is still in the line's queue when the next request goes out.
TEST_F(SteppedWorker, LateReplyIsNeverTakenForTheAnswerOfALaterExchange) {
  line_at(38400);
  // Replies 50 ms after the request, long after the 4-character wait; the
  // next exchange starts only once the reply is out.
  unit.set_behaviour(1, vt::Behaviour::Late(50000));
  const Bytes frame = read_holding(1, 0, 1);
  arm(frame, 0, 1, 0);

  int valid = 0;
  for (size_t n = 1; n <= 3; ++n) {
    vt::exchange_next(serial);
    if (arm(frame, 0, 1, 0) == kCmdOk) ++valid;
    ASSERT_TRUE(vt::wait_until([&] { return unit.sent().size() >= n; }, 2000)) << "the late replies did not go out";
  }
  ASSERT_GE(unit.frames().size(), 3u);
  EXPECT_EQ(valid, 0);
  ExchangeSlot s = slot_copy(1, 0);
  EXPECT_EQ(s.result, kResultNoAnswer);
  EXPECT_EQ(s.rxLength, 0) << "bytes of a late reply were recorded";
  EXPECT_GE(s.counts.stale_bytes, 7u) << "the late reply was not discarded before the next send";
}

// ---- Which reply is the answer ------------------------------------------------------

// What a unit may send back to a request, built from the request's answer.
enum class Shape {
  kRight,
  kException,
  kOtherUnit,
  kOtherFunction,     // 1<->2, 3<->4, 5<->6, 15<->16: the same layout
  kFieldOffByOne,     // reads: the byte count; writes: the echoed value or quantity
  kOneByteShort,
  kOneByteLong,
  kCrcOfNothing,      // FF FF
  kLateForeignFirst,  // another unit's reply, then the answer, in one write
};

enum class Outcome {
  kValid,     // recorded as the answer
  kBad,       // never the answer: result 2 once the wait has closed
  kWaitedOn,  // dropped, and the answer that follows 3 ms later is taken
};

// Other units' replies come from addresses no row uses: a reply of another
// row's unit that a loaded machine delays into this row's wait could be
// exactly the answer this row waits for, and nothing on the line could tell.
constexpr uint8_t kForeign = 128;

Bytes shaped(Shape shape, Bytes a) {
  const uint8_t other_function[17] = {0, 2, 1, 4, 3, 6, 5, 0, 0, 0, 0, 0, 0, 0, 0, 16, 15};
  bool read = a[1] <= 4;
  switch (shape) {
    case Shape::kRight: break;
    case Shape::kException: a = {a[0], static_cast<uint8_t>(a[1] | 0x80), 0x02}; break;
    case Shape::kOtherUnit: a[0] = static_cast<uint8_t>(a[0] + kForeign); break;
    case Shape::kOtherFunction: a[1] = other_function[a[1]]; break;
    case Shape::kFieldOffByOne: ++a[read ? 2 : 5]; break;
    case Shape::kOneByteShort: a.pop_back(); break;
    case Shape::kOneByteLong: a.push_back(0x00); break;
    case Shape::kCrcOfNothing: return {0xFF, 0xFF};
    case Shape::kLateForeignFirst: {
      Bytes both = vt::with_crc({static_cast<uint8_t>(a[0] + kForeign), 0x03, 0x02, 0x12, 0x34});
      Bytes answer = vt::with_crc(a);
      both.insert(both.end(), answer.begin(), answer.end());
      return both;
    }
  }
  return vt::with_crc(a);
}

struct ShapeRow {
  std::string name;
  uint8_t unit;
  Bytes request;  // without CRC
  Bytes answer;   // with CRC
  vt::Behaviour behaviour;
  Outcome outcome;
};

// One request per function the intake accepts, against every shape of
// reply, alone and (when it is not the answer) followed by the answer.
std::vector<ShapeRow> shape_rows() {
  const std::vector<std::pair<Bytes, Bytes>> functions = {
      {{0, 0x01, 0x00, 0x13, 0x00, 0x0A}, {0, 0x01, 0x02, 0xCD, 0x01}},
      {{0, 0x02, 0x00, 0xC4, 0x00, 0x16}, {0, 0x02, 0x03, 0xAC, 0xDB, 0x35}},
      {{0, 0x03, 0x00, 0x6B, 0x00, 0x03}, {0, 0x03, 0x06, 0x02, 0x2B, 0x00, 0x00, 0x00, 0x64}},
      {{0, 0x04, 0x00, 0x08, 0x00, 0x01}, {0, 0x04, 0x02, 0x00, 0x0A}},
      {{0, 0x05, 0x00, 0xAC, 0xFF, 0x00}, {0, 0x05, 0x00, 0xAC, 0xFF, 0x00}},
      {{0, 0x06, 0x00, 0x01, 0x00, 0x03}, {0, 0x06, 0x00, 0x01, 0x00, 0x03}},
      {{0, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}, {0, 0x0F, 0x00, 0x13, 0x00, 0x0A}},
      {{0, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}, {0, 0x10, 0x00, 0x01, 0x00, 0x02}},
  };
  const std::vector<std::pair<Shape, const char *>> shapes = {
      {Shape::kRight, "right reply"},          {Shape::kException, "exception"},
      {Shape::kOtherUnit, "other unit"},       {Shape::kOtherFunction, "other function"},
      {Shape::kFieldOffByOne, "field off by one"}, {Shape::kOneByteShort, "one byte short"},
      {Shape::kOneByteLong, "one byte long"},  {Shape::kCrcOfNothing, "FF FF"},
      {Shape::kLateForeignFirst, "late foreign reply first, same read"},
  };
  std::vector<ShapeRow> rows;
  uint8_t unit = 1;
  for (auto [request, answer] : functions) {
    for (auto [shape, name] : shapes) {
      bool valid = shape == Shape::kRight || shape == Shape::kException || shape == Shape::kLateForeignFirst;
      for (bool then_answer : {false, true}) {
        if (valid && then_answer) continue;
        request[0] = answer[0] = unit;
        ShapeRow r{"fc " + std::to_string(request[1]) + ", " + name + (then_answer ? ", then the answer" : ""),
                   unit++, request, vt::with_crc(answer), vt::Behaviour::Raw(shaped(shape, answer)),
                   valid ? Outcome::kValid : Outcome::kBad};
        if (shape == Shape::kException) r.answer = shaped(shape, answer);
        if (then_answer) {
          r.behaviour.first_piece = r.behaviour.raw->size();
          r.behaviour.raw->insert(r.behaviour.raw->end(), r.answer.begin(), r.answer.end());
          r.behaviour.gap_us = 3000;
          r.outcome = Outcome::kWaitedOn;
        }
        rows.push_back(r);
      }
    }
  }
  return rows;
}

bool outcome_reached(const ShapeRow &r, const ExchangeSlot &s) {
  switch (r.outcome) {
    case Outcome::kValid: return s.result == kResultValid && s.rxLength != 0;
    case Outcome::kWaitedOn: return s.result == kResultValid && s.rxLength != 0 && s.counts.frames_dropped > 0;
    case Outcome::kBad: return s.counts.mismatch > 0;
  }
  return false;
}

// Everything but the answer is dropped while the wait is open, and the
// answer found behind a late foreign reply is recorded alone. The windows
// are 255 characters (24 ms), so a loaded machine can delay the "then the
// answer" piece by 20 ms and still pass.
TEST_F(SteppedWorker, OnlyTheAnswerToTheRequestIsRecordedWhateverComesBeforeIt) {
  line_at(115200);
  const std::vector<ShapeRow> rows = shape_rows();
  for (const ShapeRow &r : rows) {
    unit.set_behaviour(r.unit, r.behaviour);
    arm(r.request, 0);
  }

  std::vector<std::optional<ExchangeSlot>> seen(rows.size());
  for (int walk = 0; walk < 20; ++walk) {
    bool all = true;
    for (size_t i = 0; i < rows.size(); ++i) {
      vt::exchange_next(serial);
      ExchangeSlot s = slot_copy(rows[i].unit, 0);
      if (!seen[i] && outcome_reached(rows[i], s)) seen[i] = s;
      all = all && seen[i].has_value();
    }
    if (all) break;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const ShapeRow &r = rows[i];
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(seen[i].has_value()) << "outcome never reached";
    ExchangeSlot now = slot_copy(r.unit, 0);
    if (r.outcome == Outcome::kBad) {
      EXPECT_EQ(now.counts.valid, 0u);
      EXPECT_NE(now.result, kResultValid);
    } else {
      EXPECT_EQ(vt::head(seen[i]->rxFrame, seen[i]->rxLength), r.answer);
    }
  }
}

// The soak's crossed answer: unit 1 answers after its wait has closed, in
// the wait of unit 2, which asks the same of a different address. Unit 2
// drops it and takes its own answer; unit 1 records no answer. At 9600
// bit/s the margins are tens of milliseconds: unit 1's wait is 4
// characters (4.6 ms), its reply comes after 50 ms, and unit 2 waits up to
// 297 ms and answers after 100.
TEST_F(SteppedWorker, ALateReplyNeverBecomesTheNextUnitsAnswer) {
  line_at(9600);
  unit.set_behaviour(1, vt::Behaviour::Late(50000));
  unit.set_behaviour(2, vt::Behaviour::Late(100000));
  arm(read_holding(1, 0, 1), 0, 1, 0);
  arm(read_holding(2, 0, 1), 0, 1, 255);

  const Bytes own = vt::with_crc(vt::ScriptedUnit::default_reply(vt::with_crc(read_holding(2, 0, 1))));
  int crossed = 0;
  bool enough = false;
  for (int i = 0; i < 40 && !enough; ++i) {
    vt::exchange_next(serial);
    ExchangeSlot s = slot_copy(2, 0);
    if (s.result == kResultValid && s.rxLength != 0 && vt::head(s.rxFrame, s.rxLength) != own) ++crossed;
    enough = s.counts.frames_dropped >= 3 && slot_copy(1, 0).counts.no_answer >= 3;
  }
  EXPECT_TRUE(enough) << "unit 1's late reply never reached unit 2's wait";
  EXPECT_EQ(crossed, 0);
  ExchangeSlot first = slot_copy(1, 0);
  EXPECT_EQ(first.result, kResultNoAnswer);
  EXPECT_EQ(first.counts.valid, 0u);
  EXPECT_EQ(first.counts.mismatch, 0u);
  EXPECT_GE(slot_copy(2, 0).counts.valid, 1u);
}

// Above 19200 bit/s replies come in chunks up to a millisecond apart; the
// reply is collected whole while it is short of its length, and nothing of
// it is left over for the next slot's exchange. A unit thread kept off the
// processor stretches a gap past 1750 us now and then, or a reply past the
// wait, so the bars are ratios: a quarter of the exchanges of the reply in
// pieces are valid (3 in 131 when chunks were cut), and at most a quarter
// of the next slot's exchanges see anything but their own answer.
TEST_F(SteppedWorker, ReplyInThreePiecesAMillisecondApartIsOneAnswer) {
  line_at(115200);
  unit.set_behaviour(1, vt::Behaviour::Split(3, 1000));  // 7 bytes: 3, 3, 1
  arm(read_holding(1, 0, 1), 0);
  arm(read_holding(2, 0, 1), 0);
  exchange_until(2, 0, 40);

  ExchangeSlot split = slot_copy(1, 0);
  ExchangeSlot next = slot_copy(2, 0);
  EXPECT_GE(4 * split.counts.valid, exchanges(split));
  EXPECT_GE(next.counts.valid, 1u);
  EXPECT_LE(4 * (next.counts.bad_crc + next.counts.mismatch + next.counts.frames_dropped), exchanges(next));
}

// One idle walk marks every idle slot, and the rest that follows waits for
// a request rather than walking again.
TEST_F(SteppedWorker, IdleTableIsMarkedUnansweredEverywhereAndNothingIsSent) {
  line_at(115200);
  // Every slot for the walk to look at, as after a request for each of them.
  memset(serial.changed.pending, (1 << kSlotCount) - 1, sizeof serial.changed.pending);
  EXPECT_EQ(arm(read_holding(9, 0, 1), 2, kModeIdle), kCmdNoAnswer);  // stored, but idle
  EXPECT_TRUE(walk_exchanges_nothing());

  for (const DeviceRecord &r : vt::table_copy(serial))
    for (const ExchangeSlot &s : r.slots) ASSERT_EQ(s.result, kResultNoAnswer);
  sleep_us(static_cast<uint32_t>(vt::slow_ms(20)) * 1000);
  EXPECT_TRUE(unit.frames().empty());
  EXPECT_EQ(arm(read_holding(9, 0, 1), 2, kModeIdle), kCmdNoAnswer);
}

TEST_F(SteppedWorker, ServesTheLastUnitAndTheLastSlot) {
  line_at(38400);
  const Bytes frame = read_holding(247, 7, 2);
  arm(frame, 4);

  vt::Exchanged e = vt::exchange_next(serial);
  EXPECT_EQ(e.unit, 247);
  EXPECT_EQ(e.slot, 4);
  ASSERT_TRUE(unit.wait_frames(1, vt::slow_ms(3000)));
  EXPECT_EQ(unit.frames()[0].bytes, vt::with_crc(frame));
  vt::CommandOutcome out = vt::run_command(serial, 
      {.frame = frame, .slot = 4, .mode = 1, .timeout = vt::char_times_us(serial, 255), .lifetime = kLongLife});
  ASSERT_EQ(out.result, kCmdOk);
  const Bytes answer = vt::with_crc({247, 0x03, 0x04, 0x00, 0x07, 0x00, 0x08});
  EXPECT_EQ(msg::get16(out.response.data(), msg::kLength), 32 + answer.size() - 2);
  EXPECT_EQ(out.response[msg::kSlot], 4);
  EXPECT_EQ(vt::head(out.response.data() + msg::kFrame, answer.size()), answer);
}

// No answer to an accepted request is longer than 255 bytes; 256 bytes are
// noise, recorded as a bad answer of 255 bytes (rxLength has 8 bits).
TEST_F(SteppedWorker, ReplyFillingTheWholeBufferIsBadAndA255ByteReplyIsValid) {
  line_at(2400);
  unit.set_behaviour(1, vt::Behaviour::Flood(256));
  unit.set_behaviour(2, vt::Behaviour::Flood(300));
  // 256 bytes that end in the CRC of the 254 before them: full is bad all the same.
  Bytes full = {4, 0x03, 0xFE};
  while (full.size() < 254) full.push_back(static_cast<uint8_t>(full.size()));
  unit.set_behaviour(4, vt::Behaviour::Raw(vt::with_crc(full)));
  arm(read_holding(1, 0, 1), 0);
  arm(read_holding(2, 0, 1), 0);
  arm(read_holding(3, 0, 125), 0);  // 3 + 250 + 2 bytes
  arm(read_holding(4, 0, 1), 0);
  for (int i = 0; i < 4; ++i) vt::exchange_next(serial);

  ASSERT_TRUE(received(1, 0) && received(2, 0) && received(3, 0) && received(4, 0));
  std::vector<vt::Frame> sent = unit.sent();
  ASSERT_GE(sent.size(), 4u);
  for (uint8_t u : {1, 2, 4}) {
    SCOPED_TRACE("256 bytes or more from unit " + std::to_string(u));
    ExchangeSlot s = slot_copy(u, 0);
    EXPECT_EQ(s.result, kResultBadAnswer);
    EXPECT_EQ(s.rxLength, 255);
    Bytes flood = sent[u - 1].bytes;
    flood.resize(kFrameSize);
    EXPECT_EQ(vt::head(s.rxFrame, kFrameSize), flood);
  }
  ExchangeSlot s = slot_copy(3, 0);
  EXPECT_EQ(s.result, kResultValid);
  EXPECT_EQ(s.rxLength, 255);
  EXPECT_EQ(vt::head(s.rxFrame, 255), sent[2].bytes);

  vt::CommandOutcome out = vt::run_command(serial, 
      {.frame = read_holding(3, 0, 125), .mode = 1, .timeout = vt::char_times_us(serial, 255), .lifetime = kLongLife});
  ASSERT_EQ(out.result, kCmdOk);
  EXPECT_EQ(msg::get16(out.response.data(), msg::kLength), 285);
  EXPECT_EQ(vt::head(out.response.data() + msg::kFrame, 255), sent[2].bytes);
}

// A slow unit, or an adapter that hands bytes over in chunks, delivers a reply
// in pieces. At 300 bit/s four character times are 147 ms, so a unit kept
// off the processor for a while on a loaded machine still keeps its pace
// (and should it miss it once, the next exchange is taken whole: a worker
// that reads no further than the first piece never gets a whole reply).
TEST_F(SteppedWorker, ReplyArrivingInPiecesIsCollectedWhole) {
  line_at(300);
  unit.set_behaviour(1, vt::Behaviour::Paced(300));
  unit.set_behaviour(2, vt::Behaviour::Split(3, 2 * serial.settings.time_one_sym));
  arm(read_holding(1, 0, 1), 0, 1, 4);
  arm(read_holding(2, 0, 1), 0, 1, 4);

  auto valid = [this](uint8_t u) {
    ExchangeSlot s = slot_copy(u, 0);
    return s.result == kResultValid && s.rxLength != 0;
  };
  for (int i = 0; i < 12 && !(valid(1) && valid(2)); ++i) vt::exchange_next(serial);
  ASSERT_TRUE(valid(1) && valid(2));
  for (uint8_t u : {1, 2}) {
    SCOPED_TRACE(u == 1 ? "one byte per character time" : "pieces of 3, 2 character times apart");
    ExchangeSlot s = slot_copy(u, 0);
    EXPECT_EQ(s.result, kResultValid);
    EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), vt::with_crc({u, 0x03, 0x02, 0, 0}));
  }
}

// The other side of the same rule: a silence of more than four character
// times ends the reply, and the rest of it is stale by the next exchange.
TEST_F(SteppedWorker, ReplyWithALongerSilenceInsideIsCutThere) {
  // The silence is long in absolute time too: a loaded machine stretches the
  // worker's four-character wait.
  line_at(9600);
  unit.set_behaviour(1, vt::Behaviour::Split(4, 450000));
  arm(read_holding(1, 0, 1), 0, 1, 255);
  vt::exchange_next(serial);
  ExchangeSlot s = slot_copy(1, 0);
  EXPECT_EQ(s.result, kResultBadAnswer);
  EXPECT_EQ(s.rxLength, 4);

  sleep_us(static_cast<uint32_t>(vt::slow_ms(600)) * 1000);  // the tail is out by now
  vt::exchange_next(serial);
  s = slot_copy(1, 0);
  EXPECT_NE(s.result, kResultValid);
  EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), (Bytes{1, 0x03, 0x02, 0x00})) << "the tail of the first reply was read";
}

// ---- Full-size replies, slow units, late replies -----------------------------------

// Arms `frame` in slot 0 of `serial` for good with a time-out in µs.
void arm_us(SerialLine &serial, const Bytes &frame, int32_t timeout_us) {
  vt::run_command(serial, {.frame = frame, .slot = 0, .mode = 1, .timeout = timeout_us, .lifetime = kLongLife});
}

Bytes answer_of(const Bytes &request) {
  return vt::with_crc(vt::ScriptedUnit::default_reply(vt::with_crc(request)));
}

class FullSizeReplies : public SteppedWorker, public ::testing::WithParamInterface<int> {};

// 125 registers and 2000 coils are answers of 255 bytes; half a character
// apart they last 380 characters from their first byte, past the first
// byte's wait (300 ms: beyond 255 characters at every speed here). Each is
// collected whole. A unit thread kept off the processor for more than the
// frame gap cuts a reply now and then, so the slots ask until answered
// (mode 2), up to twenty times each, and each exchange waits until the
// unit has sent all it owes: a cut reply's tail is stale by the next send,
// not the next reply's head. A reply the window cuts is cut every time.
TEST_P(FullSizeReplies, AreCollectedWholeWhateverTheirPace) {
  const int baud = GetParam();
  line_at(baud);
  std::vector<Bytes> reads;
  for (int64_t start_us : {1000, 5000, 20000})
    for (Bytes read : {read_holding(0, 0, 125), Bytes{0, 0x01, 0, 0, 0x07, 0xD0}}) {
      read[0] = static_cast<uint8_t>(reads.size() + 1);
      unit.set_behaviour(read[0], vt::Behaviour::Pausing(baud, start_us));
      vt::run_command(serial, {.frame = read, .mode = kModeUntilAnswered, .timeout = 300000, .lifetime = kLongLife});
      reads.push_back(read);
    }
  // sent() holds a reply from its first byte on; a unit that has not read
  // the request yet has sent nothing for it either.
  auto all_sent = [&] {
    std::vector<vt::Frame> out = unit.sent();
    return !out.empty() && out.size() == unit.frames().size() && out.back().bytes.size() == 255;
  };
  for (int i = 0; i < 6 * 20 && vt::exchange_next(serial).unit != 0; ++i) {
    ASSERT_TRUE(vt::wait_until(all_sent, 3000));
    sleep_us(5000);  // the pseudo-terminal hands written bytes over a little later
  }
  for (const Bytes &read : reads) {
    SCOPED_TRACE("unit " + std::to_string(read[0]));
    ExchangeSlot s = slot_copy(read[0], 0);
    // Cut replies and what their tails spoil are counted, never taken.
    EXPECT_EQ(s.counts.valid, 1u);
    EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), answer_of(read));
  }
}

INSTANTIATE_TEST_SUITE_P(AtEverySpeed, FullSizeReplies, ::testing::Values(9600, 115200, 921600));

// Units that take 30, 300 and 900 ms to answer, asked with a time-out of
// 1 s (10527 characters at 115200 bit/s, where 255 last 24 ms): every
// exchange waits for its own answer, and timeoutSymbols still reads 255.
TEST_F(SteppedWorker, SlowUnitsAreWaitedForAsLongAsTheirTimeOutSays) {
  line_at(115200);
  const int64_t delays_us[] = {30000, 300000, 900000};
  for (uint8_t u = 1; u <= 3; ++u) {
    unit.set_behaviour(u, vt::Behaviour::Late(delays_us[u - 1]));
    arm_us(serial, read_holding(u, 0, 2), 1000000);
  }
  for (int i = 0; i < 6; ++i) vt::exchange_next(serial);
  for (uint8_t u = 1; u <= 3; ++u) {
    SCOPED_TRACE("answers after " + std::to_string(delays_us[u - 1]) + " us");
    ExchangeSlot s = slot_copy(u, 0);
    EXPECT_EQ(s.counts.valid, 2u);
    EXPECT_EQ(s.timeoutSymbols, 255);
    EXPECT_EQ(s.firstByteSymbols, 10527u);
    EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), answer_of(read_holding(u, 0, 2)));
  }
}

// Unit 1 answers 30 ms after a 2 ms time-out. Its reply turns up in unit 2's
// wait when that follows at once, or among the stale bytes before unit 2's
// request after a rest; either way it is counted late for unit 1, with the
// time since its request (from the stale bytes: at least the rest), and
// unit 2 takes only its own answer. The time counts from the request's end
// on the line, 0.8 ms after the unit has read it from the pseudo-terminal.
// Every step is tens of milliseconds from the next, so a worker that a
// loaded machine holds back for a few still sees them in order.
TEST_F(SteppedWorker, ReplyAfterItsTimeOutIsCountedLateForItsUnit) {
  line_at(115200);
  unit.set_behaviour(1, vt::Behaviour::Late(30000));
  unit.set_behaviour(2, vt::Behaviour::Late(60000));
  arm_us(serial, read_holding(1, 0, 1), 2000);
  arm_us(serial, read_holding(2, 0, 1), 300000);
  const struct {
    const char *name;
    int64_t rest_us;
  } rows[] = {{"in the next wait", 0}, {"among stale bytes", 60000}};
  uint64_t late = 0;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(vt::exchange_next(serial).unit, 1);
    sleep_us(static_cast<uint32_t>(row.rest_us));
    EXPECT_EQ(vt::exchange_next(serial).unit, 2);
    UnitCounters c;
    {
      Locked table(serial.mutex);
      c = serial.counters.units[0];
    }
    EXPECT_EQ(c.late_replies, ++late);
    EXPECT_GE(c.late_answer_us, std::max<int64_t>(29000, row.rest_us));
    EXPECT_EQ(slot_copy(1, 0).counts.valid, 0u);
    ExchangeSlot second = slot_copy(2, 0);
    EXPECT_EQ(vt::head(second.rxFrame, second.rxLength), answer_of(read_holding(2, 0, 1)));
  }
}

// ---- Units that do not answer ----------------------------------------------------------

// Three exchanges without a byte set a unit aside. Its tries then reach it
// no sooner than the retry the one before set, each interval twice the last
// up to 32 times the first, and nothing goes to it in between; its first
// answer ends it, and its slot is on its schedule again.
TEST_F(SteppedWorker, OfflineUnitIsTriedAtDoublingIntervalsAndBackAtItsAnswer) {
  constexpr uint32_t kRetryUs = 10000;
  constexpr size_t kExchanges = 11;  // three, then eight tries
  line_at(115200);
  serial.options.offline = {.after = 3, .retry_us = kRetryUs, .native = true};
  unit.set_behaviour(6, vt::Behaviour::Silent());
  arm(read_holding(6, 0, 1), 0);
  std::vector<UnitReach> left;  // what each exchange left
  for (int64_t give_up = vt::now_us() + vt::slow_us(3000000); left.size() < kExchanges && vt::now_us() < give_up;) {
    if (vt::exchange_next(serial).unit != 6) {
      sleep_us(200);
      continue;
    }
    Locked table(serial.mutex);
    left.push_back(serial.reach.units[5]);
  }
  ASSERT_EQ(left.size(), kExchanges);
  EXPECT_FALSE(left[1].offline);
  EXPECT_TRUE(left[2].offline);
  ASSERT_TRUE(unit.wait_frames(kExchanges, vt::slow_ms(1000)));
  const std::vector<vt::Frame> sent = vt::frames_of(unit.frames(), 6);
  ASSERT_EQ(sent.size(), kExchanges) << "nothing between the tries";
  for (size_t k = 3; k < kExchanges; ++k) {
    EXPECT_GE(sent[k].first_us, left[k - 1].next_try_us) << "try " << k - 2;
    EXPECT_EQ(left[k].retry_us, std::min(kRetryUs << (k - 2), 32 * kRetryUs)) << "after try " << k - 2;
  }
  unit.reset_behaviour(6);
  // Its next try brings it back; a unit thread that a loaded machine holds
  // past the try's 24 ms wait leaves that to the try after.
  ASSERT_TRUE(vt::wait_until([&] { return vt::exchange_next(serial).unit == 6 && !line_unit_offline(serial, 6); },
                             vt::slow_ms(5000)));
  EXPECT_EQ(vt::exchange_next(serial).unit, 6) << "on its schedule again";
  Locked table(serial.mutex);
  EXPECT_EQ(serial.reach.units[5].went_offline, 1u);
}

// With OFFLINE_NATIVE a repeating slot's turn waits for its offline unit's
// retry: it reads "no answer" and pays its lifetime as such an exchange
// would. A slot until answered goes all the same, without OFFLINE_NATIVE
// every slot keeps its schedule, and garbled replies are no silence.
TEST_F(SteppedWorker, SlotsOfAnOfflineUnitWaitForItsRetryOnlyWhereTheyShould) {
  line_at(115200);
  const struct {
    const char *name;
    bool native;
    uint8_t mode;
    bool garbled;  // the unit answers with a bad CRC
    bool held;     // its turn after the three exchanges waits
  } rows[] = {{"repeating slot", true, kModeRepeat, false, true},
              {"slot until answered", true, kModeUntilAnswered, false, false},
              {"OFFLINE_NATIVE 0", false, kModeRepeat, false, false},
              {"garbled replies", true, kModeRepeat, true, false}};
  uint8_t u = 10;
  size_t on_line = 0;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    serial.options.offline = {.after = 3, .retry_us = 10000000, .native = row.native};
    unit.set_behaviour(++u, row.garbled ? vt::Behaviour::WrongCrc() : vt::Behaviour::Silent());
    arm(read_holding(u, 0, 1), 0, row.mode, 255, 0, 100 * static_cast<uint32_t>(serial.settings.time_silence));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(vt::exchange_next(serial).unit, u);
    EXPECT_EQ(line_unit_offline(serial, u), !row.garbled);
    const uint32_t life = slot_copy(u, 0).lifetime;
    EXPECT_EQ(vt::exchange_next(serial).unit, row.held ? 0 : u);
    on_line += row.held ? 3 : 4;
    EXPECT_TRUE(unit.wait_frames(on_line, vt::slow_ms(1000)));
    EXPECT_EQ(unit.frames().size(), on_line);
    const ExchangeSlot after = slot_copy(u, 0);
    EXPECT_EQ(after.result, row.garbled ? kResultBadAnswer : kResultNoAnswer);
    EXPECT_LT(after.lifetime, life) << "each turn costs a silence time";
    arm(read_holding(u, 0, 1), 0, kModeIdle);  // out of the next rows' way
  }
}

// ---- Transceivers and adapters ------------------------------------------------------

struct EchoRow {
  const char *name;
  bool echo_first;   // the request comes back before the answer
  int flip_at;       // >= 0: this byte of the echo comes back changed
  bool answers;
  uint8_t result;
};

// An echoing transceiver: exactly the request's bytes come back first, then
// the unit's answer 2 ms later. A wrong echo, or none, is a line fault of
// its own, whatever comes after it. The echo is waited for the request's
// time on the line and one gap: at 2400 bit/s 73 ms, which a unit thread
// kept off the processor on a loaded machine still makes (at 38400 bit/s,
// 4.6 ms, it missed now and then).
TEST_F(SteppedWorker, EchoedRequestIsDroppedBeforeTheAnswerAndAWrongOneIsCounted) {
  line_at(2400);
  serial.options = {.echo = true, .frame_gap_us = 0};
  const std::vector<EchoRow> rows = {
      {"echo, then the answer", true, -1, true, kResultValid},
      {"echo with its unit changed", true, 0, true, kResultBadAnswer},
      {"echo with its CRC changed", true, 7, true, kResultBadAnswer},
      {"no echo, the answer alone", false, -1, true, kResultBadAnswer},
      {"nothing at all", false, -1, false, kResultNoAnswer},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const EchoRow &r = rows[i];
    const uint8_t u = static_cast<uint8_t>(30 + i);
    const Bytes request = vt::with_crc(read_holding(u, 0, 1));
    Bytes line_bytes;
    if (r.echo_first) line_bytes = request;
    if (r.flip_at >= 0) line_bytes[static_cast<size_t>(r.flip_at)] ^= 0x40;
    const Bytes answer = vt::with_crc(vt::ScriptedUnit::default_reply(request));
    if (r.answers) line_bytes.insert(line_bytes.end(), answer.begin(), answer.end());
    vt::Behaviour b = r.answers || r.echo_first ? vt::Behaviour::Raw(line_bytes) : vt::Behaviour::Silent();
    if (r.echo_first && r.answers) {
      b.first_piece = request.size();
      b.gap_us = 2000;
    }
    unit.set_behaviour(u, b);
    arm(read_holding(u, 0, 1), 0, kModeRepeat, 255);
  }
  for (size_t i = 0; i < rows.size(); ++i) vt::exchange_next(serial);

  for (size_t i = 0; i < rows.size(); ++i) {
    const EchoRow &r = rows[i];
    SCOPED_TRACE(r.name);
    const uint8_t u = static_cast<uint8_t>(30 + i);
    ExchangeSlot s = slot_copy(u, 0);
    EXPECT_EQ(s.result, r.result);
    EXPECT_EQ(s.counts.echo_faults, r.result == kResultValid ? 0u : 1u);
    EXPECT_EQ(exchanges(s), 1u);
    if (r.result == kResultValid) {
      EXPECT_EQ(vt::head(s.rxFrame, s.rxLength), vt::with_crc(vt::ScriptedUnit::default_reply(
                                                        vt::with_crc(read_holding(u, 0, 1)))));
    }
  }
}

// USB adapters hand a reply over in chunks on a timer of up to 16 ms: with
// VELKORD_FRAME_GAP_US=20000 three chunks 16 ms apart are one reply, with
// the line's own gap (1750 us at 115200 bit/s) the first chunk ends it. A
// loaded machine can only stretch the gaps, so the bars are ratios: most
// exchanges are whole with the setting, at most a quarter without it.
TEST_F(SteppedWorker, ReplyInChunks16MsApartIsWholeWithTheFrameGapAndCutWithoutIt) {
  line_at(115200);
  unit.set_behaviour(1, vt::Behaviour::Split(3, 16000));  // 7 bytes: 3, 3, 1
  arm(read_holding(1, 0, 1), 0, kModeRepeat, 255);
  for (uint32_t gap_us : {20000u, 0u}) {
    SCOPED_TRACE("VELKORD_FRAME_GAP_US " + std::to_string(gap_us));
    serial.options = {.echo = false, .frame_gap_us = gap_us};
    const ExchangeSlot before = slot_copy(1, 0);
    for (int i = 0; i < 6; ++i) {
      vt::exchange_next(serial);
      sleep_us(static_cast<uint32_t>(vt::slow_ms(40)) * 1000);  // a cut reply's tail is out
    }
    const ExchangeSlot after = slot_copy(1, 0);
    const uint32_t valid = after.counts.valid - before.counts.valid;
    if (gap_us != 0) {
      EXPECT_GE(valid, 4u);
    } else {
      EXPECT_LE(valid, 1u);
    }
  }
}

// ---- The steps one by one -----------------------------------------------------------

// Any slot can be exchanged, one of the table or not; nothing else changes.
TEST_F(ProcessLineStepped, ExchangeSlotExchangesASlotOutsideTheTableAndLoopExchangeTheCurrentOne) {
  line_at(38400);
  ExchangeSlot loose{};
  const Bytes frame = read_holding(5, 0, 1);
  std::copy(frame.begin(), frame.end(), loose.txFrame);
  MRTU_SealFrame(loose.txFrame, static_cast<int>(frame.size()));
  loose.txLength = static_cast<uint8_t>(frame.size() + 2);
  loose.mode = kModeUntilAnswered;
  loose.timeoutSymbols = 255;
  const std::vector<DeviceRecord> before = vt::table_copy(serial);
  {
    Locked table(serial.mutex);
    EXPECT_EQ(exchange_slot(serial, loose), kResultValid);
  }
  EXPECT_EQ(vt::head(loose.rxFrame, loose.rxLength), vt::with_crc({5, 0x03, 0x02, 0x00, 0x00}));
  EXPECT_TRUE(loose.answerKept);
  EXPECT_EQ(loose.mode, kModeIdle);
  EXPECT_EQ(w.position, 0);
  EXPECT_EQ(memcmp(vt::table_copy(serial).data(), before.data(), sizeof(DeviceRecord) * kUnitCount), 0);

  // Loop_Exchange: the process worker's record CountDev, its currentSlot
  // read modulo 5.
  arm(frame, 2, kModeRepeat);
  {
    Locked table(serial.mutex);
    CountDev = 4;
    MRTU_SerialData[4].currentSlot = 7;
    Loop_Exchange();
  }
  EXPECT_EQ(slot_copy(5, 2).result, kResultValid);
  EXPECT_EQ(exchanges(slot_copy(5, 2)), 1u);
}

struct RestRow {
  const char *name;
  bool cycle_marked_a_slot;
  bool request_since;  // a request stored since the cycle began
  bool link_lost;
  int64_t reopen_in_us;  // from now; <= 0: due
  bool rests;            // waits until a request is stored or the reopen is due
};

// The rest after an idle cycle waits only when that cycle changed nothing
// and no request came; it lasts until a request is stored (here: from
// another thread after 20 ms), with a lost line only until its reopen is
// due. Either way the next cycle starts with nothing marked and the
// table's count as it is now.
TEST_F(SteppedWorker, RestWhenIdleWaitsOnlyWhenNothingHappened) {
  line_at(115200);
  const std::vector<RestRow> rows = {
      {"the cycle marked a slot", true, false, false, 0, false},
      {"a request since the cycle began", false, true, false, 0, false},
      {"the line is lost, its reopen due", false, false, true, 0, false},
      {"the line is lost, its reopen due in 20 ms", false, false, true, 20000, true},
      {"nothing happened", false, false, false, 0, true},
  };
  for (const RestRow &r : rows) {
    SCOPED_TRACE(r.name);
    w.walk_unchanged = !r.cycle_marked_a_slot;
    w.walk_generation = serial.changed.count;
    if (r.request_since) arm(read_holding(1, 0, 1), 0, kModeIdle);
    w.link.lost = r.link_lost;
    w.link.next_try_us = vt::now_us() + r.reopen_in_us;
    const int64_t start = vt::now_us();
    std::thread request;
    if (r.rests && !r.link_lost) {
      request = std::thread([this] {
        sleep_us(20000);
        arm(read_holding(1, 0, 1), 0, kModeIdle);
      });
    }
    {
      Locked table(serial.mutex);
      rest_when_idle(serial, table);
    }
    const int64_t took = vt::now_us() - start;
    if (request.joinable()) request.join();
    if (r.rests) {
      EXPECT_GE(took, 20000);
    } else {
      EXPECT_LT(took, vt::slow_us(15000));
    }
    EXPECT_TRUE(w.walk_unchanged);
    EXPECT_EQ(w.walk_generation, serial.changed.count);
  }
  w.link.lost = false;
}

struct ReopenRow {
  const char *name;
  bool lost;
  bool due;
  bool node_there;
  bool usable;             // the step's result
  uint32_t backoff_after;  // µs; 0: not looked at
  const char *printed;
};

// The reopen step opens a lost line once its back-off has passed, and backs
// off further while the node is missing; a line that is up is left alone.
TEST_F(SteppedWorker, ReopenLineIfDueReopensALostLineWithBackOff) {
  line_at(115200);
  const int present_port = serial.settings.serialport;
  const std::vector<ReopenRow> rows = {
      {"line up", false, true, true, true, 0, ""},
      {"lost, not yet due", true, false, true, false, 100000, ""},
      {"lost, due, node missing", true, true, false, false, 200000, ""},
      {"lost, due, node back", true, true, true, true, 0, "---- serial link back  0 ---\r\n"},
  };
  for (const ReopenRow &r : rows) {
    SCOPED_TRACE(r.name);
    serial.settings.serialport = r.node_there ? present_port : 1;  // the folder holds ttyM0 only
    w.link = {r.lost, 100000, r.due ? 0 : vt::now_us() + 10000000};
    vt::StdoutCapture capture;
    EXPECT_EQ(reopen_line_if_due(serial), r.usable);
    EXPECT_EQ(capture.text(), r.printed);
    EXPECT_EQ(w.link.lost, !r.usable);
    if (r.backoff_after != 0) {
      EXPECT_EQ(w.link.backoff_us, r.backoff_after);
    }
  }
  serial.settings.serialport = present_port;
}

// A face that stops while the worker pauses before one of its exchanges
// takes its source away: nothing calls into that source afterwards, and the
// source registered in its place never hears of the exchange. (The swap
// lands in the pause unless the machine keeps the swapping thread off the
// processor for all of it; then the exchange goes first, which is as right.)
struct SwappedSources {
  std::atomic<bool> taken{false}, swapped{false};
  std::atomic<int> after_swap{0}, foreign{0};
};

TEST_F(SteppedWorker, ExchangeOfASourceTakenAwayInItsPauseGoesNowhere) {
  line_at(115200);
  SwappedSources state;
  WorkSource old_source = {&state, nullptr, nullptr, nullptr, [](void *) { return true; }};
  old_source.take_urgent = [](void *c, WorkExchange &x) {
    auto &st = *static_cast<SwappedSources *>(c);
    const Bytes frame = vt::with_crc(read_holding(1, 0, 1));
    if (st.taken.exchange(true)) return false;
    std::copy(frame.begin(), frame.end(), x.frame);
    x.length = static_cast<uint8_t>(frame.size());
    x.wait_us = 2000;
    x.ticket = 1;
    return true;
  };
  old_source.deliver = [](void *c, const WorkExchange &, const WorkOutcome &) {
    auto &st = *static_cast<SwappedSources *>(c);
    if (st.swapped) ++st.after_swap;
  };
  WorkSource new_source = old_source;
  new_source.take_urgent = [](void *, WorkExchange &) { return false; };
  new_source.deliver = [](void *c, const WorkExchange &, const WorkOutcome &) {
    ++static_cast<SwappedSources *>(c)->foreign;
  };
  line_set_work(serial, &old_source);
  std::thread swap([&] {
    while (!state.taken) std::this_thread::yield();
    line_set_work(serial, &new_source);
    state.swapped = true;
  });
  EXPECT_EQ(vt::step(serial), Visit::kExchanged);
  swap.join();
  EXPECT_EQ(state.after_swap, 0);
  EXPECT_EQ(state.foreign, 0);
  line_set_work(serial, nullptr);
}

// ---- End to end with a real Modbus server -----------------------------------------------

TEST(WorkerWithLibmodbus, ArmedSlotCollectsTheAnswerAndWritesGoThrough) {
  vt::PtyPair line(0);
  vt::LibmodbusUnit server(line, 1, 9600);
  server.set_holding(0, 0x002A);
  vt::configure_line(SerialProcessLine, line, 9600);
  ASSERT_EQ(OpenSerial(), 0);

  // Read one holding register at 0 of unit 1 through slot 0: mode 1, time-out
  // 100 ms, delay 0, lifetime 750 ms.
  const Bytes request = {0x26, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                         0x00, 0x00, 0x00, 0xA0, 0x86, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB0, 0x71,
                         0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  vt::Message in{};
  std::copy(request.begin(), request.end(), in.begin());
  auto send = [&](vt::Message &out) {
    out.fill(0);
    return MRTU_CMD(in.data(), out.data(), in[msg::kSlot], in[msg::kMode],
                    static_cast<int32_t>(msg::get32(in.data(), msg::kTimeout)), msg::get32(in.data(), msg::kLifetime),
                    msg::get32(in.data(), msg::kDelay));
  };

  vt::Message out{};
  EXPECT_EQ(send(out), kCmdNoAnswer);
  ASSERT_TRUE(vt::wait_until([&] { return send(out) == kCmdOk; }, 3000));
  Bytes expected(37, 0);
  expected[0] = 0x25;
  const Bytes answer = {0x01, 0x03, 0x02, 0x00, 0x2A};
  std::copy(answer.begin(), answer.end(), expected.begin() + 32);
  EXPECT_EQ(vt::head(out.data(), 37), expected);
  EXPECT_EQ(vt::head(out.data() + 32, 7), vt::with_crc(answer));

  // Writes go through as well, each once (mode 2), as libmodbus decodes them.
  auto arm_once = [](Bytes frame, uint8_t slot) {
    return vt::run_command(SerialProcessLine,
                           {.frame = std::move(frame), .slot = slot, .mode = 2, .timeout = 100000, .lifetime = kLongLife})
        .result;
  };
  EXPECT_EQ(arm_once({0x01, 0x06, 0x00, 0x05, 0x12, 0x34}, 1), kCmdNoAnswer);
  EXPECT_EQ(arm_once({0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0xBE, 0xEF, 0xCA, 0xFE}, 2), kCmdNoAnswer);
  EXPECT_EQ(arm_once({0x01, 0x05, 0x00, 0x03, 0xFF, 0x00}, 3), kCmdNoAnswer);
  EXPECT_EQ(arm_once({0x01, 0x0F, 0x00, 0x08, 0x00, 0x0A, 0x02, 0x05, 0x02}, 4), kCmdNoAnswer);
  EXPECT_TRUE(vt::wait_until(
      [&] {
        return server.holding(5) == 0x1234 && server.holding(10) == 0xBEEF && server.holding(11) == 0xCAFE &&
               server.coil(3) && server.coil(8) && !server.coil(9) && server.coil(10) && server.coil(17);
      },
      3000));
  vt::stop_worker(SerialProcessLine);
}

}  // namespace
