// What must come out the same on 32-bit ARM, 64-bit ARM and x86-64: the line
// timing to the last bit, the byte layout of client messages, the settings
// record, the CRC, microsecond counts above 2^31 and time-outs at the ends of
// the int32 range. long, time_t and size_t are 32 bits wide on armhf and 64
// bits on the others, plain char is unsigned on ARM and signed on x86, and an
// integer division by zero traps on x86 but may yield 0 on ARM. The expected
// values below are literals, so a build that computes differently from the
// others fails here instead of agreeing with a model built from the same
// arithmetic.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ctime>
#include <vector>

#include "message.h"
#include "modbusRTU.h"
#include "pelnet.h"
#include "sleep_us.h"
#include "support/slowdown.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Line timing -----------------------------------------------------------

static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must not be carried out in wider types");

// time_one_sym for every rate the command line accepts, and for rate 0 (no
// "-br", timed at the line's 50 bit/s), at 8 to 12 bits per character.
struct TimingRow {
  int32_t rate;
  int32_t by_bits[5];  // 8, 9, 10, 11, 12 bits per character
};

const TimingRow kTimingTable[] = {
    {0, {160000, 180000, 199999, 220000, 240000}},
    {110, {72727, 81818, 90909, 99999, 109090}},
    {300, {26666, 30000, 33333, 36666, 40000}},
    {1200, {6666, 7500, 8333, 9166, 10000}},
    {2400, {3333, 3750, 4166, 4583, 5000}},
    {4800, {1666, 1875, 2083, 2291, 2500}},
    {9600, {833, 937, 1041, 1145, 1250}},
    {19200, {416, 468, 520, 572, 625}},
    {38400, {208, 234, 260, 286, 312}},
    {57600, {138, 156, 173, 190, 208}},
    {115200, {69, 78, 86, 95, 104}},
    {230400, {34, 39, 43, 47, 52}},
    {460800, {17, 19, 21, 23, 26}},
    {500000, {16, 18, 20, 22, 24}},
    {576000, {13, 15, 17, 19, 20}},
    {921600, {8, 9, 10, 11, 13}},
};

TEST(Portability, LineTimingTableIsBitExact) {
  for (const TimingRow &row : kTimingTable) {
    for (int32_t bits = 8; bits <= 12; ++bits) {
      // Every split of the bit count into data and stop bits gives the same.
      for (int32_t stopbits = 1; stopbits <= 2; ++stopbits) {
        const int32_t databits = bits - 2 - stopbits;
        if (databits < 5 || databits > 8) continue;
        SCOPED_TRACE(::testing::Message() << row.rate << " bit/s, " << databits << " data, " << stopbits
                                          << " stop");
        ModbusRTUSettings rec{};
        rec.baudrate = row.rate;
        rec.databits = databits;
        rec.stopbits = stopbits;
        derive_line_timing(rec);
        EXPECT_EQ(rec.full_size_sym, bits);
        EXPECT_EQ(rec.time_one_sym, row.by_bits[bits - 8]);
        EXPECT_EQ(rec.time_silence, row.by_bits[bits - 8] * 4);
      }
    }
  }
}

uint32_t float_bits(float f) {
  uint32_t u;
  memcpy(&u, &f, sizeof u);
  return u;
}

// The single- and double-precision steps of the derivation at 11 bits per
// character, as bit patterns: a floating-point unit, a soft-float library or
// a compiler that contracts or widens a step differs here in the last bit
// even where the truncated microseconds still agree.
TEST(Portability, LineTimingStepsRoundTheSameEverywhere) {
  struct Row {
    int32_t rate;
    uint32_t quotient, product, micros;
  };
  const Row rows[] = {
      {9600, 0x38DA740E, 0x3A962FCA, 0x448F3AAB},   {115200, 0x3711A2B4, 0x38C83FB8, 0x42BEF8E4},
      {110, 0x3C14F209, 0x3DCCCCCC, 0x47C34FFF},    {500000, 0x360637BD, 0x37B88CA4, 0x41B00000},
      {921600, 0x3591A2B4, 0x37483FB8, 0x413EF8E4}, {50, 0x3CA3D70A, 0x3E6147AE, 0x4856D800},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.rate);
    // volatile: each step is computed at run time on the target, not folded
    // by the compiler on the build host.
    volatile int32_t rate = row.rate;
    volatile int32_t bits = 11;
    const float rate_f = static_cast<float>(rate);
    const float bits_f = static_cast<float>(bits);
    const float quotient = static_cast<float>(1.0 / static_cast<double>(rate_f));
    const float product = bits_f * quotient;
    const float micros = static_cast<float>(static_cast<double>(product) * 1000000.0);
    EXPECT_EQ(float_bits(quotient), row.quotient);
    EXPECT_EQ(float_bits(product), row.product);
    EXPECT_EQ(float_bits(micros), row.micros);
  }
}

// ---- Settings record -------------------------------------------------------

TEST(Portability, SettingsRecordIsEightInt32InOrder) {
  EXPECT_EQ(sizeof(ModbusRTUSettings), 32u);
  EXPECT_EQ(alignof(ModbusRTUSettings), 4u);
  const size_t offsets[] = {
      offsetof(ModbusRTUSettings, serialport),    offsetof(ModbusRTUSettings, baudrate),
      offsetof(ModbusRTUSettings, databits),      offsetof(ModbusRTUSettings, stopbits),
      offsetof(ModbusRTUSettings, ipport),        offsetof(ModbusRTUSettings, full_size_sym),
      offsetof(ModbusRTUSettings, time_one_sym),  offsetof(ModbusRTUSettings, time_silence),
  };
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(offsets[i], 4 * i) << "field " << i;
}

// ---- Client message fields -------------------------------------------------

// Every multi-byte header field at its offset, with values whose top bit is
// set (where a sign extension through int or long would show), in a buffer
// that starts one byte past an aligned address: the fields must be read byte
// by byte on ARM, where a misaligned word access may trap or be split.
TEST(Portability, HeaderFieldsAreLittleEndianAtTheirOffsets) {
  struct Field32 {
    size_t at;
    uint32_t value;
    uint8_t bytes[4];
  };
  const Field32 fields32[] = {
      {msg::kKeepAlive, 0x80000001u, {0x01, 0x00, 0x00, 0x80}},
      {msg::kTimeout, static_cast<uint32_t>(int32_t{-2}), {0xFE, 0xFF, 0xFF, 0xFF}},
      {msg::kDelay, 0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}},
      {msg::kLifetime, 0x12345678u, {0x78, 0x56, 0x34, 0x12}},
  };
  struct Field16 {
    size_t at;
    uint16_t value;
    uint8_t bytes[2];
  };
  const Field16 fields16[] = {
      {msg::kLength, 0x8001, {0x01, 0x80}},
      {msg::kPause, 0xFFFE, {0xFE, 0xFF}},
  };

  alignas(8) uint8_t storage[msg::kCapacity + 1];
  uint8_t *m = storage + 1;
  memset(storage, 0xAA, sizeof storage);
  for (const Field32 &f : fields32) msg::put32(m, f.at, f.value);
  for (const Field16 &f : fields16) msg::put16(m, f.at, f.value);

  for (const Field32 &f : fields32) {
    SCOPED_TRACE(::testing::Message() << "offset " << f.at);
    EXPECT_EQ(0, memcmp(m + f.at, f.bytes, 4));
    EXPECT_EQ(msg::get32(m, f.at), f.value);
  }
  for (const Field16 &f : fields16) {
    SCOPED_TRACE(::testing::Message() << "offset " << f.at);
    EXPECT_EQ(0, memcmp(m + f.at, f.bytes, 2));
    EXPECT_EQ(msg::get16(m, f.at), f.value);
  }
  // The time-out is signed: the same bytes read back as a negative int32.
  EXPECT_EQ(static_cast<int32_t>(msg::get32(m, msg::kTimeout)), -2);
  // The single-byte fields in between were left alone.
  for (size_t at : {msg::kStatus, msg::kMode, msg::kSlot}) EXPECT_EQ(m[at], 0xAA) << "offset " << at;
}

// The same fields at every offset of the buffer, up to its last byte.
TEST(Portability, FieldsRoundTripAtEveryOffsetOfTheBuffer) {
  Bytes buf(msg::kCapacity, 0);
  for (size_t at = 0; at + 4 <= buf.size(); ++at) {
    const uint32_t v = 0xF1E2D3C4u ^ static_cast<uint32_t>(at * 0x01010101u);
    msg::put32(buf.data(), at, v);
    ASSERT_EQ(msg::get32(buf.data(), at), v) << "offset " << at;
    ASSERT_EQ(buf[at], static_cast<uint8_t>(v)) << "offset " << at;
    ASSERT_EQ(buf[at + 3], static_cast<uint8_t>(v >> 24)) << "offset " << at;
  }
  for (size_t at = 0; at + 2 <= buf.size(); ++at) {
    const uint16_t v = static_cast<uint16_t>(0xFF80u ^ at);
    msg::put16(buf.data(), at, v);
    ASSERT_EQ(msg::get16(buf.data(), at), v) << "offset " << at;
  }
}

// ---- Frame check -----------------------------------------------------------

// Sealed frames as they go on the line, with bytes of 0x80 and above, where
// a plain char would turn negative on x86 and stay positive on ARM.
TEST(Portability, SealedFramesAreTheSameBytesEverywhere) {
  struct Row {
    Bytes frame;
    uint8_t crc_lo, crc_hi;
  };
  const Row rows[] = {
      {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x84, 0x0A},
      {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, 0x76, 0x87},
      {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x37, 0x4B},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0x01, 0xB0},
      {{0x80}, 0xBE, 0xE0},
      {{0xF7, 0x10, 0x80, 0x00, 0xFF, 0xFE, 0x04, 0xFF, 0x80, 0x7F, 0x81}, 0x45, 0x7D},
      {{0xF7, 0x03, 0x02, 0xFF, 0x80}, 0x30, 0x01},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(::testing::Message() << row.frame.size() << " bytes from 0x" << std::hex << +row.frame[0]);
    Bytes sealed = row.frame;
    sealed.resize(row.frame.size() + 2);
    MRTU_SealFrame(sealed.data(), static_cast<int>(row.frame.size()));
    EXPECT_EQ(sealed[row.frame.size()], row.crc_lo);
    EXPECT_EQ(sealed[row.frame.size() + 1], row.crc_hi);
    EXPECT_TRUE(MRTU_CheckFrame(sealed.data(), static_cast<int>(sealed.size())));
  }
}

// Lengths past 32767, where a count kept in a signed 16-bit or a narrowed int
// would go wrong.
TEST(Portability, CrcOfLongBuffers) {
  Bytes a(40000), b(65535);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 131 + 7);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(0xFF - i);
  EXPECT_EQ(MRTU_CRC(a.data(), 40000), 0x56DC);
  EXPECT_EQ(MRTU_CRC(b.data(), 65535), 0xD45A);
}

// ---- Command intake at the ends of the int32 range --------------------------

// A read request for unit 9, slot 0, through the intake of a line of its
// own at `time_one_sym`, as a native handler files it; the slot as it was
// left.
ExchangeSlot intake(int32_t time_one_sym, int32_t timeout, uint32_t lifetime, uint32_t delay) {
  std::unique_ptr<SerialLine> line = std::make_unique<SerialLine>();
  line->settings.time_one_sym = time_one_sym;
  uint8_t request[msg::kCapacity] = {};
  uint8_t response[msg::kCapacity] = {};
  const uint8_t frame[] = {0x09, 0x03, 0x00, 0x00, 0x00, 0x01};
  memcpy(request + msg::kFrame, frame, sizeof frame);
  msg::put16(request, msg::kLength, static_cast<uint16_t>(msg::kFrame + sizeof frame));
  native_intake(*line, request, response, 0, 1, timeout, lifetime, delay);
  return line->table[8].slots[0];
}

// The time-out in character times, rounded up and capped at 255, for
// time-outs at and near the ends of int32 and for character times from the
// slowest line to the fastest: no intermediate value may overflow. A
// time_one_sym of 0 (no link open yet) counts single microseconds instead of
// dividing by zero, which traps on x86 and, depending on the divider, traps
// or quietly gives 0 on ARM.
TEST(Portability, TimeoutSymbolsAtTheEndsOfTheInt32Range) {
  struct Row {
    int32_t time_one_sym;
    int32_t timeout;
    uint8_t symbols;
  };
  const Row rows[] = {
      {572, INT32_MAX, 255},     {572, INT32_MIN, 0},       {572, INT32_MIN + 1, 0},  {572, 2147483520, 255},
      {572, -145861, 0},         {572, 146433, 255},        {572, 145860, 255},       {572, 145288, 254},
      {8, INT32_MAX, 255},       {8, INT32_MIN, 0},         {8, 2033, 255},           {8, 2032, 254},
      {220000, INT32_MAX, 255},  {220000, INT32_MIN, 0},    {220000, -1, 0},          {220000, 220001, 2},
      {0, INT32_MAX, 255},       {0, INT32_MIN, 0},         {0, 254, 254},            {0, 1000, 255},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(::testing::Message() << "time_one_sym " << row.time_one_sym << ", timeout " << row.timeout);
    EXPECT_EQ(intake(row.time_one_sym, row.timeout, 1000, 0).timeoutSymbols, row.symbols);
  }
}

// Lifetimes and delays are full 32-bit microsecond counts; the slot keeps the
// delay in an int32 and the worker reads it back as uint32.
TEST(Portability, LifetimeAndDelayKeepAll32Bits) {
  for (uint32_t v : {0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(v);
    ExchangeSlot s = intake(572, 0, v, v);
    EXPECT_EQ(s.lifetime, v);
    EXPECT_EQ(static_cast<uint32_t>(s.delay), v);
  }
}

// ---- Long sleeps -----------------------------------------------------------

void ignore_signal(int) {}

// Runs sleep_us(us) in a child that reports on `ready` just before, and
// interrupts it once with a signal that has a handler. A sleep whose
// conversion came out invalid (a negative second count or a nanosecond count
// of a second or more) would fail at once, and one that gives up after a
// signal would end early: either way the child exits. A sound one is still
// asleep when the test kills it.
void expect_still_asleep(uint32_t us) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct sigaction sa {};
    sa.sa_handler = ignore_signal;  // no SA_RESTART: nanosleep returns EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    close(ready[0]);
    char c = 'r';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    sleep_us(us);
    _exit(3);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  usleep(static_cast<useconds_t>(vt::slow_ms(100)) * 1000);
  kill(pid, SIGUSR1);
  usleep(static_cast<useconds_t>(vt::slow_ms(200)) * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "sleep_us(" << us << ") ended, status " << status;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
}

// 2^31 + 1 and 2^32 - 1 µs, and 4294968 µs, the first count whose
// nanoseconds no longer fit 32 bits.
TEST(Portability, LongSleepsAreAcceptedAndResumedAfterASignal) {
  static_assert(sizeof(time_t) >= 4 && sizeof(long) >= 4, "the sleep's timespec needs 32-bit fields");
  for (uint32_t us : {0x80000001u, 0xFFFFFFFFu, 4294968u}) {
    SCOPED_TRACE(us);
    expect_still_asleep(us);
  }
}

// Sleeps under a second and one of a whole second last at least as long as
// asked (the upper end is left to the scheduler of a loaded machine).
TEST(Portability, ShortSleepsLastAtLeastTheirTime) {
  for (uint32_t us : {1u, 250000u, 1000000u}) {
    SCOPED_TRACE(us);
    const auto start = std::chrono::steady_clock::now();
    sleep_us(us);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(took).count(), static_cast<int64_t>(us));
  }
}

}  // namespace
