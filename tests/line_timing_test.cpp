// The character timing derived from the line settings. The derivation is
// bit-exact floating point with a fixed sequence of single- and double-
// precision roundings, so slow rates land one microsecond below the exact
// quotient (110 bit/s gives 99999 µs, not 100000).
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>

#include "modbusRTU.h"

namespace {

// The reference below relies on every operation rounding to its own type.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must not be carried out in wider types");

struct Steps {
  float quotient;  // 1 / rate, divided in double, kept in single
  float product;   // bits × quotient, in single
  float micros;    // product × 10^6, in double, kept in single
  int32_t time_one_sym;
};

// An independent model of the derivation, one rounding per line.
Steps reference_steps(int32_t rate, int32_t bits) {
  Steps s;
  const float rate_f = static_cast<float>(rate);
  const float bits_f = static_cast<float>(bits);
  s.quotient = static_cast<float>(1.0 / static_cast<double>(rate_f));
  s.product = bits_f * s.quotient;
  s.micros = static_cast<float>(static_cast<double>(s.product) * 1000000.0);
  s.time_one_sym = static_cast<int32_t>(s.micros);  // truncation toward zero
  return s;
}

ModbusRTUSettings settings_for(int32_t baudrate, int32_t databits, int32_t stopbits) {
  ModbusRTUSettings rec{};
  rec.serialport = 2;
  rec.baudrate = baudrate;
  rec.databits = databits;
  rec.stopbits = stopbits;
  rec.ipport = 502;
  return rec;
}

// Derives into a fresh record and checks that only the three derived fields
// were written.
ModbusRTUSettings derive(int32_t baudrate, int32_t databits, int32_t stopbits) {
  ModbusRTUSettings rec = settings_for(baudrate, databits, stopbits);
  derive_line_timing(rec);
  EXPECT_EQ(rec.serialport, 2);
  EXPECT_EQ(rec.baudrate, baudrate);
  EXPECT_EQ(rec.databits, databits);
  EXPECT_EQ(rec.stopbits, stopbits);
  EXPECT_EQ(rec.ipport, 502);
  return rec;
}

const int32_t kAcceptedRates[] = {110,   300,    1200,   2400,   4800,   9600,   19200, 38400,
                                  57600, 115200, 230400, 460800, 500000, 576000, 921600};

// Guards the model itself: it reproduces the known intermediate values, each
// printed to about ten significant digits.
TEST(LineTiming, ReferenceModelReproducesTheKnownSteps) {
  struct Row {
    int32_t rate;
    double quotient, product, micros;
    int32_t time_one_sym;
  };
  const Row rows[] = {
      {9600, 0.0001041666692, 0.001145833405, 1145.833374, 1145},
      {115200, 0.000008680555766, 0.00009548611706, 95.4861145, 95},
      {110, 0.009090908803, 0.09999999404, 99999.99219, 99999},
      {500000, 0.000001999999995, 0.00002200000017, 22.0, 22},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.rate);
    Steps s = reference_steps(row.rate, 11);
    EXPECT_NEAR(s.quotient, row.quotient, row.quotient * 1e-9);
    EXPECT_NEAR(s.product, row.product, row.product * 1e-9);
    EXPECT_NEAR(s.micros, row.micros, row.micros * 1e-9);
    EXPECT_EQ(s.time_one_sym, row.time_one_sym);
  }
}

TEST(LineTiming, KnownSettingsGiveKnownTimes) {
  struct Row {
    int32_t rate, databits, stopbits;
    int32_t full_size_sym, time_one_sym, time_silence;
  };
  const Row rows[] = {
      {9600, 8, 1, 11, 1145, 4580},
      {115200, 8, 1, 11, 95, 380},
      {110, 8, 1, 11, 99999, 399996},  // exact arithmetic would give 100000
      {500000, 8, 1, 11, 22, 88},
      {9600, 7, 1, 10, 1041, 4164},
      {38400, 8, 2, 12, 312, 1248},
      {19200, 7, 2, 11, 572, 2288},
      {921600, 5, 1, 8, 8, 32},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::Message() << row.rate << " bit/s, " << row.databits << " data, "
                                      << row.stopbits << " stop");
    ModbusRTUSettings rec = derive(row.rate, row.databits, row.stopbits);
    EXPECT_EQ(rec.full_size_sym, row.full_size_sym);
    EXPECT_EQ(rec.time_one_sym, row.time_one_sym);
    EXPECT_EQ(rec.time_silence, row.time_silence);
  }
}

// Every combination the command line admits matches the model exactly.
TEST(LineTiming, EveryAcceptedSettingMatchesTheModel) {
  for (int32_t rate : kAcceptedRates) {
    for (int32_t databits = 5; databits <= 8; ++databits) {
      for (int32_t stopbits = 1; stopbits <= 2; ++stopbits) {
        SCOPED_TRACE(::testing::Message() << rate << " bit/s, " << databits << " data, "
                                          << stopbits << " stop");
        const int32_t bits = databits + stopbits + 2;
        const int32_t expected = reference_steps(rate, bits).time_one_sym;
        ModbusRTUSettings rec = derive(rate, databits, stopbits);
        EXPECT_EQ(rec.full_size_sym, bits);
        EXPECT_EQ(rec.time_one_sym, expected);
        EXPECT_EQ(rec.time_silence, expected * 4);
      }
    }
  }
}

// Without "-br" the baud rate is 0 and the line opens at 50 bit/s, its
// slowest rate; the timing follows the rate the line really runs at instead
// of dividing by zero.
TEST(LineTiming, BaudRateZeroIsTimedAt50BitsPerSecond) {
  for (int32_t databits = 5; databits <= 8; ++databits) {
    for (int32_t stopbits = 1; stopbits <= 2; ++stopbits) {
      SCOPED_TRACE(::testing::Message() << databits << " data, " << stopbits << " stop");
      const int32_t bits = databits + stopbits + 2;
      const int32_t expected = reference_steps(50, bits).time_one_sym;
      ModbusRTUSettings rec = derive(0, databits, stopbits);
      EXPECT_EQ(rec.full_size_sym, bits);
      EXPECT_EQ(rec.time_one_sym, expected);
      EXPECT_EQ(rec.time_silence, expected * 4);
    }
  }
  ModbusRTUSettings rec = derive(0, 8, 1);
  EXPECT_EQ(rec.time_one_sym, 220000);
  EXPECT_EQ(rec.time_silence, 880000);
}

}  // namespace
