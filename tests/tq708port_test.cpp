// The serial port library on real pseudo-terminals: the library opens the
// slave end through the device-node override, the test plays the unit on the
// master end.
#include "tq708port.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sleep_us.h"
#include "support/pty.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes all_byte_values() {
  Bytes b(256);
  for (int i = 0; i < 256; ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

Bytes byte_run(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// Waits until the port's receive queue holds at least n bytes; the pty moves
// what the master writes to the slave a moment later, not at once.
int wait_input_queue(int port, int n, int timeout_ms = 2000) {
  int64_t end = vt::now_us() + timeout_ms * 1000LL;
  int have = TQ708sDataInInputQueue(port);
  while (have < n && vt::now_us() < end) {
    sleep_us(1000);
    have = TQ708sDataInInputQueue(port);
  }
  return have;
}

// Everything that reaches the port within timeout_ms, up to `want` bytes.
Bytes read_port(int port, size_t want, int timeout_ms = 2000) {
  Bytes got;
  int64_t end = vt::now_us() + timeout_ms * 1000LL;
  while (got.size() < want && vt::now_us() < end) {
    uint8_t buf[512];
    int n = TQ708sNonBlockRead(port, buf, sizeof buf);
    if (n > 0)
      got.insert(got.end(), buf, buf + n);
    else
      sleep_us(1000);
  }
  return got;
}

int count_open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

struct termios settings_of(int fd) {
  struct termios t {};
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  return t;
}

void expect_same_settings(const struct termios &got, const struct termios &want) {
  EXPECT_EQ(got.c_iflag, want.c_iflag);
  EXPECT_EQ(got.c_oflag, want.c_oflag);
  EXPECT_EQ(got.c_lflag, want.c_lflag);
  EXPECT_EQ(got.c_cflag, want.c_cflag);
  EXPECT_EQ(cfgetispeed(&got), cfgetispeed(&want));
  EXPECT_EQ(cfgetospeed(&got), cfgetospeed(&want));
}

// Standard error of this process, collected into a temporary file.
class StderrCapture {
 public:
  StderrCapture() : file_(tmpfile()) {
    fflush(stderr);
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    if (saved_ >= 0) finish();
  }
  std::string finish() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
    std::string text;
    rewind(file_);
    for (int c; (c = fgetc(file_)) != EOF;) text.push_back(static_cast<char>(c));
    fclose(file_);
    return text;
  }

 private:
  FILE *file_;
  int saved_ = -1;
};

// Port 0 on a pty pair. The test keeps a slave descriptor of its own, so the
// line does not hang up whenever the library closes its descriptor.
class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    pty_.export_pattern();
    pty_.hold_slave();
  }
  void TearDown() override {
    for (int port = 0; port < 4; ++port) TQ708sclose(port);
  }
  int open_port(int baud = 9600) { return TQ708sopen(0, 1, baud, 0, 8, 1); }

  vt::PtyPair pty_{0};
};

TEST(SerialRateSearch, PicksTheFirstTableRateAtOrAboveTheWantedRate) {
  struct Case {
    int wanted, rate, code;
  };
  const Case cases[] = {
      {9600, 9600, 13},
      {100, 110, 3},
      {14400, 19200, 14},
      {0, 50, 1},
      {-5, 50, 1},
      {INT_MIN, 50, 1},
      {50, 50, 1},
      {51, 75, 2},
      {38401, 57600, 0x1001},
      {115200, 115200, 0x1002},
      {500000, 500000, 0x1005},
      {576000, 576000, 0x1006},
      {921600, 921600, 0x1007},
      {921601, 921600, 0x1007},
      {1000000, 921600, 0x1007},
      {INT_MAX, 921600, 0x1007},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.wanted);
    EXPECT_EQ(TQ708sLineRate(c.wanted), c.rate);
    EXPECT_EQ(TQ708sSpeedCode(c.wanted), c.code);
  }
}

TEST(SerialRateSearch, SpeedCodesAreTheTerminalSpeedConstants) {
  struct Row {
    int rate;
    speed_t code;
  };
  const Row rows[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
                      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
                      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
                      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
                      {576000, B576000}, {921600, B921600}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.rate);
    EXPECT_EQ(TQ708sLineRate(r.rate), r.rate);
    EXPECT_EQ(static_cast<speed_t>(TQ708sSpeedCode(r.rate)), r.code);
  }
}

TEST(SerialClosedPort, EveryOperationGivesMinus1) {
  uint8_t buf[16] = {};
  const std::vector<std::pair<const char *, std::function<int(int)>>> operations = {
      {"findFD", [](int p) { return TQ708sfindFD(p); }},
      {"close", [](int p) { return TQ708sclose(p); }},
      {"send", [&](int p) { return TQ708ssend(p, buf, sizeof buf); }},
      {"NonBlockRead", [&](int p) { return TQ708sNonBlockRead(p, buf, sizeof buf); }},
      {"BlockRead", [&](int p) { return TQ708sBlockRead(p, buf, sizeof buf); }},
      {"DataInInputQueue", [](int p) { return TQ708sDataInInputQueue(p); }},
      {"DataInOutputQueue", [](int p) { return TQ708sDataInOutputQueue(p); }},
      {"NonBlockReadFull", [&](int p) { return TQ708sNonBlockReadFull(p, buf, sizeof buf, 1000, 0, 0); }},
  };
  for (int port = 0; port < 4; ++port)
    for (const auto &[name, op] : operations) {
      SCOPED_TRACE(std::string(name) + " on port " + std::to_string(port));
      EXPECT_EQ(op(port), -1);
    }
}

TEST(SerialMissingNode, OpenGivesMinus2AndThePortStaysClosed) {
  vt::PtyPair pty(0);
  pty.export_pattern();  // the folder holds ttyM0 only
  EXPECT_EQ(TQ708sopen(1, 1, 9600, 0, 8, 1), -2);
  EXPECT_EQ(TQ708sfindFD(1), -1);
  const uint8_t frame[] = {0x01, 0x03};
  EXPECT_EQ(TQ708ssend(1, frame, sizeof frame), -1);
  EXPECT_EQ(TQ708sclose(1), -1);
}

TEST_F(SerialPort, OpensBlockingCloseOnExecWithTheSettingsApplied) {
  ASSERT_EQ(open_port(), 0);
  int fd = TQ708sfindFD(0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  // A pty keeps some control bits of its own, so only the rest is compared.
  struct termios applied = settings_of(fd);
  EXPECT_EQ(applied.c_iflag, 0u);
  EXPECT_EQ(applied.c_oflag, 0u);
  EXPECT_EQ(applied.c_lflag, 0u);
  EXPECT_EQ(applied.c_cc[VMIN], 1);
  EXPECT_EQ(applied.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetispeed(&applied), B9600);
  EXPECT_EQ(cfgetospeed(&applied), B9600);

  EXPECT_EQ(TQ708sclose(0), 0);
  EXPECT_EQ(TQ708sfindFD(0), -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(TQ708sclose(0), -1);
}

TEST_F(SerialPort, CloseRestoresTheSettingsFoundAtOpen) {
  struct termios before = settings_of(pty_.master());
  ASSERT_EQ(TQ708sopen(0, 1, 1200, 2, 7, 2), 0);
  struct termios during = settings_of(TQ708sfindFD(0));
  EXPECT_EQ(cfgetospeed(&during), B1200);
  ASSERT_EQ(TQ708sclose(0), 0);
  expect_same_settings(settings_of(pty_.master()), before);
}

TEST_F(SerialPort, SecondOpenReplacesTheDescriptorWithoutLeakingIt) {
  struct termios before = settings_of(pty_.master());
  int baseline = count_open_fds();
  ASSERT_EQ(open_port(1200), 0);
  EXPECT_EQ(count_open_fds(), baseline + 1);
  ASSERT_EQ(open_port(4800), 0);
  EXPECT_EQ(count_open_fds(), baseline + 1);
  struct termios second = settings_of(TQ708sfindFD(0));
  EXPECT_EQ(cfgetospeed(&second), B4800);

  // The line's own settings come back, not those of the first open.
  ASSERT_EQ(TQ708sclose(0), 0);
  EXPECT_EQ(count_open_fds(), baseline);
  expect_same_settings(settings_of(pty_.master()), before);
}

TEST_F(SerialPort, FailedReopenLeavesThePortClosed) {
  int baseline = count_open_fds();
  ASSERT_EQ(open_port(), 0);
  std::string missing = pty_.dir() + "/absent/ttyM%d";
  setenv(kTtyPatternVariable, missing.c_str(), 1);
  EXPECT_EQ(open_port(), -2);
  EXPECT_EQ(TQ708sfindFD(0), -1);
  EXPECT_EQ(count_open_fds(), baseline);
  const uint8_t frame[] = {0x01};
  EXPECT_EQ(TQ708ssend(0, frame, sizeof frame), -1);
}

TEST_F(SerialPort, EveryByteValuePassesUnchangedBothWays) {
  ASSERT_EQ(open_port(), 0);
  const Bytes all = all_byte_values();  // NUL, CR, XON and XOFF among them

  ASSERT_EQ(TQ708ssend(0, all.data(), static_cast<int>(all.size())), 256);
  EXPECT_EQ(pty_.read_master(2000, all.size()), all);

  pty_.write_master(all);
  EXPECT_EQ(read_port(0, all.size()), all);
  // Nothing was echoed back to the unit.
  EXPECT_TRUE(pty_.read_master(50).empty());
}

TEST_F(SerialPort, SingleReadsAndQueueLevels) {
  ASSERT_EQ(open_port(), 0);
  int fd = TQ708sfindFD(0);
  uint8_t buf[8] = {};

  errno = 0;
  EXPECT_EQ(TQ708sNonBlockRead(0, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(TQ708sDataInInputQueue(0), 0);
  EXPECT_EQ(TQ708sDataInOutputQueue(0), 0);

  pty_.write_master({0x11, 0x22, 0x33});
  ASSERT_EQ(wait_input_queue(0, 3), 3);
  EXPECT_EQ(TQ708sNonBlockRead(0, buf, 2), 2);
  EXPECT_EQ(TQ708sDataInInputQueue(0), 1);
  EXPECT_EQ(TQ708sBlockRead(0, buf + 2, sizeof buf - 2), 1);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(SerialPort, BlockReadWaitsForTheFirstByte) {
  ASSERT_EQ(open_port(), 0);
  int64_t start = vt::now_us();
  std::thread unit([&] {
    sleep_us(100000);
    pty_.write_master({0x5A});
  });
  uint8_t byte = 0;
  EXPECT_EQ(TQ708sBlockRead(0, &byte, 1), 1);
  EXPECT_GE(vt::now_us() - start, 100000);
  EXPECT_EQ(byte, 0x5A);
  unit.join();
}

TEST_F(SerialPort, ReadFullWithNothingArrivingPausesAfterEveryPoll) {
  ASSERT_EQ(open_port(), 0);
  for (int idle_polls : {4, 0}) {
    SCOPED_TRACE(idle_polls);
    uint8_t buf[16];
    int64_t start = vt::now_us();
    errno = 0;
    EXPECT_EQ(TQ708sNonBlockReadFull(0, buf, sizeof buf, 20000, 5, idle_polls), -1);
    EXPECT_EQ(errno, EAGAIN);
    int64_t took = vt::now_us() - start;
    EXPECT_GE(took, 5 * 20000);
    EXPECT_LT(took, 2000000);
  }
}

TEST_F(SerialPort, ReadFullTakesWaitingBytesWithoutPausing) {
  ASSERT_EQ(open_port(), 0);
  for (int idle_polls : {4, 0}) {
    SCOPED_TRACE(idle_polls);
    const Bytes frame = byte_run(10, 0x40);
    pty_.write_master(frame);
    ASSERT_EQ(wait_input_queue(0, 10), 10);
    uint8_t buf[256];
    int64_t start = vt::now_us();
    errno = 0;
    // One pause would cost a whole second.
    EXPECT_EQ(TQ708sNonBlockReadFull(0, buf, sizeof buf, 1000000, 3, idle_polls), 10);
    EXPECT_LT(vt::now_us() - start, 500000);
    // Only an empty read after the data sets this, even with no idle budget.
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(Bytes(buf, buf + 10), frame);
  }
}

TEST_F(SerialPort, ReadFullStopsAtCapacityAndLeavesTheRestQueued) {
  ASSERT_EQ(open_port(), 0);
  const Bytes sent = byte_run(20, 0x00);
  pty_.write_master(sent);
  ASSERT_EQ(wait_input_queue(0, 20), 20);

  uint8_t buf[64];
  EXPECT_EQ(TQ708sNonBlockReadFull(0, buf, 8, 1000000, 3, 4), 8);
  EXPECT_EQ(TQ708sDataInInputQueue(0), 12);
  EXPECT_EQ(TQ708sNonBlockReadFull(0, buf + 8, sizeof buf - 8, 1000, 3, 4), 12);
  EXPECT_EQ(Bytes(buf, buf + 20), sent);
}

TEST_F(SerialPort, ReadFullWithoutFirstPollsReadsNothing) {
  ASSERT_EQ(open_port(), 0);
  pty_.write_master({1, 2, 3, 4, 5});
  ASSERT_EQ(wait_input_queue(0, 5), 5);
  for (int first_polls : {0, -1}) {
    uint8_t buf[16] = {};
    EXPECT_EQ(TQ708sNonBlockReadFull(0, buf, sizeof buf, 1000, first_polls, 4), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(TQ708sDataInInputQueue(0), 5);
  }
}

TEST_F(SerialPort, ReadFullCollectsAFrameArrivingInPieces) {
  ASSERT_EQ(open_port(), 0);
  // The idle budget counts immediate empty reads, not time: measure what one
  // costs here and give the gaps between pieces a budget far longer.
  const int calibration_polls = 20000;
  pty_.write_master({0xFF});
  ASSERT_EQ(wait_input_queue(0, 1), 1);
  uint8_t buf[256];
  int64_t start = vt::now_us();
  ASSERT_EQ(TQ708sNonBlockReadFull(0, buf, 2, 0, 1, calibration_polls), 1);
  double us_per_poll = static_cast<double>(vt::now_us() - start) / calibration_polls;
  double wanted = 600000.0 / (us_per_poll > 0.01 ? us_per_poll : 0.01);
  int idle_polls = wanted > INT_MAX ? INT_MAX : static_cast<int>(wanted);

  const Bytes pieces[] = {byte_run(7, 0x10), byte_run(1, 0x0D), byte_run(40, 0x80)};
  Bytes whole;
  for (const Bytes &p : pieces) whole.insert(whole.end(), p.begin(), p.end());
  std::thread unit([&] {
    for (const Bytes &p : pieces) {
      sleep_us(20000);
      pty_.write_master(p);
    }
  });
  // The first piece comes after a few empty polls with pauses.
  int got = TQ708sNonBlockReadFull(0, buf, sizeof buf, 2000, 1000, idle_polls);
  unit.join();
  ASSERT_EQ(got, static_cast<int>(whole.size()));
  EXPECT_EQ(Bytes(buf, buf + got), whole);
}

TEST(SerialNodePattern, InvalidPatternsAreRefused) {
  vt::PtyPair pty(0);
  const std::string dir = pty.dir();
  const std::string patterns[] = {
      "%s",
      "%n",
      dir + "/ttyM%d%d",
      dir + "/ttyM0",
      dir + "/ttyM%%d",
      dir + "/%%d/ttyM%d",
      dir + "/ttyM%5d",
      dir + "/ttyM%d%",
      "%",
      "",
      dir + "/" + std::string(PATH_MAX, 'x') + "%d",  // a name no path can hold
  };
  for (const std::string &pattern : patterns) {
    SCOPED_TRACE(pattern);
    setenv(kTtyPatternVariable, pattern.c_str(), 1);
    StderrCapture err;
    EXPECT_EQ(TQ708sopen(0, 1, 9600, 0, 8, 1), -2);
    std::string text = err.finish();
    EXPECT_EQ(TQ708sfindFD(0), -1);
    EXPECT_NE(text.find(kTtyPatternVariable), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  }
}

TEST(SerialNodePattern, TheNumberGoesWhereThePatternPutsIt) {
  vt::PtyPair pty(2);
  pty.hold_slave();
  const std::string link = pty.dir() + "/line-2.dev";
  ASSERT_EQ(symlink(pty.slave_path().c_str(), link.c_str()), 0);
  setenv(kTtyPatternVariable, (pty.dir() + "/line-%d.dev").c_str(), 1);

  EXPECT_EQ(TQ708sopen(2, 1, 19200, 0, 8, 1), 0);
  const uint8_t frame[] = {0x02, 0x06};
  EXPECT_EQ(TQ708ssend(2, frame, sizeof frame), 2);
  EXPECT_EQ(pty.read_master(2000, 2), (Bytes{0x02, 0x06}));
  EXPECT_EQ(TQ708sclose(2), 0);
  unlink(link.c_str());
}

TEST(SerialPorts, EachPortKeepsItsOwnLine) {
  vt::PtyPair line0(0), line1(1);
  line0.hold_slave();
  line1.hold_slave();
  // Both links in one folder, so one pattern reaches both.
  const std::string link1 = line0.dir() + "/ttyM1";
  ASSERT_EQ(symlink(line1.slave_path().c_str(), link1.c_str()), 0);
  line0.export_pattern();

  ASSERT_EQ(TQ708sopen(0, 1, 9600, 0, 8, 1), 0);
  ASSERT_EQ(TQ708sopen(1, 1, 9600, 0, 8, 1), 0);
  EXPECT_NE(TQ708sfindFD(0), TQ708sfindFD(1));
  const uint8_t a = 0xA0, b = 0xB1;
  EXPECT_EQ(TQ708ssend(0, &a, 1), 1);
  EXPECT_EQ(TQ708ssend(1, &b, 1), 1);
  EXPECT_EQ(line0.read_master(2000, 1), Bytes{a});
  EXPECT_EQ(line1.read_master(2000, 1), Bytes{b});

  EXPECT_EQ(TQ708sclose(0), 0);
  EXPECT_EQ(TQ708ssend(1, &b, 1), 1);
  EXPECT_EQ(line1.read_master(2000, 1), Bytes{b});
  EXPECT_EQ(TQ708sclose(1), 0);
  unlink(link1.c_str());
}

// The record handed to the terminal, as built from the open's arguments.
TEST_F(SerialPort, WorkingSettingsFollowParityDataAndStopBits) {
  constexpr tcflag_t kAlways = CREAD | CLOCAL;
  struct Case {
    int baud, parity, databits, stopbits;
    tcflag_t cflag, iflag;
  };
  const Case cases[] = {
      {9600, 0, 8, 1, 0x3D, 0},  {9600, 0, 8, 2, 0x7D, 0},        {9600, 1, 8, 2, 0x37D, 0x10},
      {9600, 2, 7, 1, 0x12D, 0}, {9600, 2, 7, 2, 0x16D, 0},       {9600, 1, 7, 1, 0x32D, 0x10},
      {9600, 3, 8, 1, 0x3D, 0},  {9600, 3, 8, 2, 0x7D, 0},        {9600, 3, 8, 3, 0x3D, 0},
      {9600, 4, 8, 1, 0x3D, 0},  {9600, 4, 8, 2, 0x7D, 0},        {9600, 4, 8, 0, 0x7D, 0},
      {9600, 4, 8, 3, 0x7D, 0},  {9600, 5, 8, 1, 0x3D, 0},        {9600, -1, 8, 2, 0x7D, 0},
      {9600, 0, 5, 1, 0x0D, 0},  {9600, 0, 6, 1, 0x1D, 0},        {9600, 0, 7, 1, 0x2D, 0},
      {9600, 0, 9, 1, 0x0D, 0},  {115200, 1, 5, 1, 0x1302, 0x10}, {1000000, 0, 8, 1, 0x1037, 0},
      {0, 2, 8, 2, 0x171, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "baud " << c.baud << " parity " << c.parity << " data " << c.databits << " stop "
                                    << c.stopbits);
    ASSERT_EQ(TQ708sopen(0, 1, c.baud, c.parity, c.databits, c.stopbits), 0);
    const struct termios *t = TQ708sWorkingSettings(0);
    EXPECT_EQ(t->c_cflag, c.cflag | kAlways);
    EXPECT_EQ(t->c_iflag, c.iflag);
    EXPECT_EQ(t->c_oflag, 0u);
    EXPECT_EQ(t->c_lflag, 0u);
    for (int i = 0; i < NCCS; ++i) EXPECT_EQ(t->c_cc[i], i == VMIN ? 1 : 0) << "control character " << i;
  }
}

}  // namespace
