// The kernel's RS-485 mode: what the serial library asks the driver for at
// every open (read through the request seam), and a driver that refuses,
// which ends the open and, through the real binary, the start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "environment.h"
#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"
#include "tq708port.h"

namespace {

// What the library handed the driver, and what the driver answers.
struct FakeDriver {
  int requests = 0;
  struct serial_rs485 last = {};
  bool on_a_terminal = false;
  int refuse_with = 0;  // errno of a refusal, 0 to accept
};
FakeDriver driver;

int fake_request(int fd, struct serial_rs485 *mode) {
  ++driver.requests;
  driver.last = *mode;
  driver.on_a_terminal = isatty(fd) == 1;
  if (driver.refuse_with == 0) return 0;
  errno = driver.refuse_with;
  return -1;
}

const char *lookup(void *context, const char *name) {
  auto &env = *static_cast<std::map<std::string, std::string> *>(context);
  auto it = env.find(name);
  return it == env.end() ? nullptr : it->second.c_str();
}

// Reads VELKORD_RS485 and VELKORD_ECHO as the gateway does and hands the
// result to serial port 0, with the fake driver behind it.
void configure_port(const std::string &rs485, const std::string &echo) {
  driver = {};
  std::map<std::string, std::string> env = {{"VELKORD_RS485", rs485}, {"VELKORD_ECHO", echo}};
  VelkordSettings s;
  char error[kEnvErrorSize];
  ASSERT_EQ(ReadEnvironment(lookup, &env, s, error, sizeof error), nullptr) << error;
  TQ708sSetRs485(0, s.rs485_on ? &s.rs485 : nullptr);
  TQ708sSetRs485Request(fake_request);
}

struct ModeCase {
  std::string rs485, echo;
  int requests;  // per open
  uint32_t flags, before_ms, after_ms;
};

class Rs485Request : public ::testing::TestWithParam<ModeCase> {};

TEST_P(Rs485Request, CarriesTheFlagsAndDelaysAtEveryOpen) {
  const ModeCase &c = GetParam();
  vt::PtyPair pty(0);
  pty.export_pattern();
  pty.hold_slave();
  configure_port(c.rs485, c.echo);
  ASSERT_EQ(TQ708sopen(0, 1, 9600, 0, 8, 1), 0);
  // A reopen after a lost link asks again: a replugged adapter starts over.
  ASSERT_EQ(TQ708sopen(0, 1, 9600, 0, 8, 1), 0);
  EXPECT_EQ(driver.requests, 2 * c.requests);
  if (c.requests == 0) return;
  EXPECT_TRUE(driver.on_a_terminal);
  EXPECT_EQ(driver.last.flags, c.flags);
  EXPECT_EQ(driver.last.delay_rts_before_send, c.before_ms);
  EXPECT_EQ(driver.last.delay_rts_after_send, c.after_ms);
  EXPECT_EQ(TQ708sclose(0), 0);
}

constexpr uint32_t kOn = SER_RS485_ENABLED;
INSTANTIATE_TEST_SUITE_P(
    Settings, Rs485Request,
    ::testing::Values(ModeCase{"off", "0", 0, 0, 0, 0}, ModeCase{"", "1", 0, 0, 0, 0},
                      ModeCase{"on", "0", 1, kOn | SER_RS485_RTS_ON_SEND, 0, 0},
                      ModeCase{"on,rts-after-send,before=250,after=3000", "0", 1, kOn | SER_RS485_RTS_AFTER_SEND, 1, 3},
                      ModeCase{"on,rts-on-send,after=100000", "1", 1,
                               kOn | SER_RS485_RTS_ON_SEND | SER_RS485_RX_DURING_TX, 0, 100}));

TEST(Rs485Refused, TheOpenFailsClosedWithOneLineNamingTheVariable) {
  vt::PtyPair pty(0);
  pty.export_pattern();
  configure_port("on", "0");
  driver.refuse_with = EINVAL;
  int baseline = vt::count_open_fds(getpid());
  testing::internal::CaptureStderr();
  EXPECT_EQ(TQ708sopen(0, 1, 9600, 0, 8, 1), -2);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(TQ708sfindFD(0), -1);
  EXPECT_EQ(vt::count_open_fds(getpid()), baseline);
  EXPECT_EQ(err, "VELKORD_RS485: the driver of " + pty.link_path() + " refuses RS-485 mode: " + strerror(EINVAL) +
                     "\n");
}

TEST(Rs485Refused, APseudoTerminalEndsTheGatewayStartWith255) {
  vt::PtyPair line(0);
  vt::RunResult r = vt::run_velkord({"-sp", "0", "-br", "9600", "-db", "8", "-sb", "1", "-p", "5020"}, 10000,
                                    {"VELKORD_TTY_PATTERN=" + line.pattern(), "VELKORD_RS485=on"});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("---- opening serial port  0  res=-2 ---\r\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("-- full_size_sym"), std::string::npos) << r.out;
  // A pseudo-terminal has no RS-485 mode: ENOTTY, or ENOSYS under qemu-user,
  // which does not pass the request on.
  const std::string refused = "VELKORD_RS485: the driver of " + line.link_path() + " refuses RS-485 mode: ";
  EXPECT_TRUE(r.err == refused + strerror(ENOTTY) + "\n" || r.err == refused + strerror(ENOSYS) + "\n") << r.err;
}

}  // namespace
