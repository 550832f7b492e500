// The command line of the real velkord binary: exit statuses, the exact bytes
// it prints, and the settings it hands to the serial link start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/pty.h"

namespace {

using Args = std::vector<std::string>;

// Every run points the device nodes at a folder that does not exist, so an
// accepted command line ends at once in the serial link start (res=-2,
// status 255) and no run ever reaches a real serial port.
const std::string kNoNode = "VELKORD_TTY_PATTERN=/nonexistent-velkord/ttyM%d";

vt::RunResult run(const Args &args) { return vt::run_velkord(args, 10000, {kNoNode}); }

std::string show(const Args &args) {
  std::string s = "velkord";
  for (const auto &a : args) s += " '" + a + "'";
  return s;
}

const std::string kUsage =
    "velkord <parameters> :\n"
    "\n"
    "    --help          - current info\n"
    "    --version       - vetsion and date of modifications\n"
    "\n"
    "    -sp             - number of serial port 0...N (for tervik use devices /dev/ttyM<num>)\n"
    "    -br             - baudrate: 110 300 1200 2400 4800 9600 19200 38400 57600 115200 230400 "
    "460800 500000 576000 921600\n"
    "    -db             - databits: 5 6 7 8\n"
    "    -sb             - stop bits: 1 2\n"
    "\n"
    "    -p              - tcp port for listen\n"
    "\r\n";

const std::string kBanner = "\nvelkordS: version:01.02.03 date:20.02.2018\n";

// The five settings lines.
std::string settings(int sp, int br, int db, int sb, int p) {
  return "--serialport  " + std::to_string(sp) + "\r\n" + "--baudrate    " + std::to_string(br) +
         "\r\n" + "--databits    " + std::to_string(db) + "\r\n" + "--stopbits    " +
         std::to_string(sb) + "\r\n" + "--ip port     " + std::to_string(p) + "\r\n";
}

// What an accepted command line prints when its device node is missing.
std::string settings_then_no_node(int sp, int br, int db, int sb, int p) {
  return settings(sp, br, db, sb, p) + "---- opening serial port  " + std::to_string(sp) +
         "  res=-2 ---\r\n";
}

TEST(CommandLine, NoArgumentsPrintsTheHintAndEndsWith1) {
  auto r = run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\nParametrs not defined!\r\n\"--help\" for information\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, HelpReachedFirstPrintsOnlyTheUsage) {
  const std::vector<Args> cases = {
      {"--help"},
      {"--help", "-x"},
      {"--help", "-sb"},
      {"--help", "-sp", "9"},
      {"--help", "--version"},
      {"-sp", "1", "--help"},
      {"-sp", "1", "-br", "9600", "--help", "-db", "4"},
  };
  for (const auto &args : cases) {
    SCOPED_TRACE(show(args));
    auto r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, VersionReachedFirstPrintsOnlyTheBanner) {
  const std::vector<Args> cases = {
      {"--version"},
      {"--version", "--help"},
      {"--version", "-sb"},
      {"-p", "502", "--version", "-x"},
  };
  for (const auto &args : cases) {
    SCOPED_TRACE(show(args));
    auto r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "");
  }
}

// The first failing option decides the status, and nothing is printed on
// either stream.
TEST(CommandLine, OptionErrorsEndSilentlyWithTheirStatus) {
  struct Case {
    Args args;
    int status;
  };
  const std::vector<Case> cases = {
      // A valued option as the last argument.
      {{"-sp"}, 2},
      {{"-br"}, 2},
      {{"-db"}, 2},
      {{"-p"}, 2},
      {{"-sp", "1", "-br"}, 2},
      {{"-sp", "1", "-br", "9600", "-db"}, 2},
      {{"-br", "9600", "-db", "8", "-sb", "1", "-p"}, 2},
      // ... except "-sb", whose missing value ends the run with -2.
      {{"-sb"}, 254},
      {{"-sp", "1", "-sb"}, 254},
      {{"-sb", "1", "-sb"}, 254},
      {{"-sp", "2", "-br", "9600", "-db", "8", "-sb"}, 254},
      // Values outside the accepted sets.
      {{"-sp", "4"}, 3},
      {{"-sp", "-1"}, 3},
      {{"-sp", "70000"}, 3},
      {{"-sp", "-2147483648"}, 3},
      {{"-br", "9601"}, 3},
      {{"-br", "0"}, 3},
      {{"-br", "1e5"}, 3},  // converts to 1
      {{"-br", "abc"}, 3},
      {{"-br", "-9600"}, 3},
      {{"-br", "50"}, 3},
      {{"-br", "1000000"}, 3},
      {{"-db", "4"}, 3},
      {{"-db", "9"}, 3},
      {{"-db", "0"}, 3},
      {{"-db", "-8"}, 3},
      {{"-db", "-2147483648"}, 3},
      {{"-sb", "0"}, 3},
      {{"-sb", "3"}, 3},
      {{"-sb", "-1"}, 3},
      {{"-sb", "-2147483648"}, 3},
      {{"-sb", "abc"}, 3},
      {{"-p", "0"}, 3},
      {{"-p", "abc"}, 3},
      {{"-p", "-0"}, 3},
      // The argument after a valued option is its value even when it looks
      // like an option: "-sb" here is a data-bits value of 0, not a bare "-sb".
      {{"-db", "-sb"}, 3},
      {{"-p", "-sp", "1"}, 3},
      // Arguments in option position that are none of the seven options.
      {{"-x"}, 4},
      {{"5"}, 4},
      {{""}, 4},
      {{"-SP", "1"}, 4},
      {{"--sp", "1"}, 4},
      {{"-sp=1"}, 4},
      {{"-help"}, 4},
      {{"help"}, 4},
      {{"--HELP"}, 4},
      {{"--version "}, 4},
      {{"-sp", "1", "extra"}, 4},
      {{"-sp", "-br", "9600"}, 4},  // "-br" was the port, so 9600 stands in option position
      // The first failure wins, whatever follows.
      {{"-x", "-sb"}, 4},
      {{"-x", "--help"}, 4},
      {{"-sp", "9", "-x"}, 3},
      {{"-sp", "9", "-sb"}, 3},
      {{"-sp", "1", "-x", "-sb"}, 4},
      {{"-sp", "1", "-br", "9601", "--help"}, 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(show(c.args));
    auto r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
}

// An accepted command line echoes its five settings and goes on to the
// serial link start; the values show how each argument was converted.
TEST(CommandLine, AcceptedOptionsAreEchoedBeforeTheSerialLinkStart) {
  struct Case {
    Args args;
    int sp, br, db, sb, p;
  };
  const std::vector<Case> cases = {
      {{"-sp", "1", "-br", "9600", "-db", "8", "-sb", "1", "-p", "502"}, 1, 9600, 8, 1, 502},
      {{"-p", "502", "-sb", "2", "-db", "7", "-br", "19200", "-sp", "3"}, 3, 19200, 7, 2, 502},
      // Absent options stay 0, the baud rate included.
      {{"-sp", "1"}, 1, 0, 0, 0, 0},
      {{"-p", "502"}, 0, 0, 0, 0, 502},
      {{"-br", "115200", "-db", "8", "-sb", "1", "-p", "1502"}, 0, 115200, 8, 1, 1502},
      // Conversion: leading white space and a sign pass, the digits end at
      // the first other character, text without digits is 0.
      {{"-sp", "abc"}, 0, 0, 0, 0, 0},
      {{"-sp", " 3"}, 3, 0, 0, 0, 0},
      {{"-sp", "+2"}, 2, 0, 0, 0, 0},
      {{"-sp", "-0"}, 0, 0, 0, 0, 0},
      {{"-br", "9600abc"}, 0, 9600, 0, 0, 0},
      {{"-br", "9600.5"}, 0, 9600, 0, 0, 0},
      {{"-br", " 115200"}, 0, 115200, 0, 0, 0},
      {{"-br", "+921600"}, 0, 921600, 0, 0, 0},
      {{"-br", "0110"}, 0, 110, 0, 0, 0},
      {{"-db", "5"}, 0, 0, 5, 0, 0},
      {{"-db", "\t6"}, 0, 0, 6, 0, 0},
      {{"-sb", "+2"}, 0, 0, 0, 2, 0},
      {{"-sb", "1x"}, 0, 0, 0, 1, 0},
      // Any TCP port but 0 passes here, negative and above 65535 included.
      {{"-p", " 12"}, 0, 0, 0, 0, 12},
      {{"-p", "70000"}, 0, 0, 0, 0, 70000},
      {{"-p", "65536"}, 0, 0, 0, 0, 65536},
      {{"-p", "-1"}, 0, 0, 0, 0, -1},
      {{"-p", "2147483647"}, 0, 0, 0, 0, 2147483647},
      // An option given twice keeps its last value.
      {{"-sp", "1", "-sp", "2"}, 2, 0, 0, 0, 0},
      {{"-sp", "3", "-sp", "0"}, 0, 0, 0, 0, 0},
      {{"-br", "9600", "-p", "1", "-br", "19200", "-p", "2"}, 0, 19200, 0, 0, 2},
      // The value of a valued option is taken whatever it looks like.
      {{"-sp", "--help"}, 0, 0, 0, 0, 0},
      {{"-sp", "--version", "-p", "502"}, 0, 0, 0, 0, 502},
      {{"-sp", "-sb", "-sb", "1"}, 0, 0, 0, 1, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(show(c.args));
    auto r = run(c.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_then_no_node(c.sp, c.br, c.db, c.sb, c.p));
  }
}

TEST(CommandLine, EveryListedBaudRateIsAccepted) {
  const int rates[] = {110,   300,    1200,   2400,   4800,   9600,   19200, 38400,
                       57600, 115200, 230400, 460800, 500000, 576000, 921600};
  for (int rate : rates) {
    SCOPED_TRACE(rate);
    auto r = run({"-br", std::to_string(rate), "-sp", "2"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, settings_then_no_node(2, rate, 0, 0, 0));
  }
}

// Without "-br" the line opens at 50 bit/s, the slowest rate it has, and the
// character timing follows that rate: 11 bits at 50 bit/s are 220000 µs.
TEST(CommandLine, MissingBaudRateRunsTheLineAt50BitsPerSecond) {
  vt::PtyPair line(1);
  line.hold_slave();
  const int port = vt::free_tcp_port();
  vt::Gateway gw({"-sp", "1", "-db", "8", "-sb", "1", "-p", std::to_string(port)},
                 {"VELKORD_TTY_PATTERN=" + line.pattern()});
  const std::string server_line = "---- opening tcp/ip  " + std::to_string(port) + " ----\r\n";
  ASSERT_TRUE(gw.wait_for_output(server_line, 10000)) << gw.output();
  EXPECT_EQ(gw.output(), settings(1, 0, 8, 1, port) +
                             "---- opening serial port  1  res=0 ---\r\n"
                             "-- full_size_sym (bits) 11\r\n"
                             "-- time_one_sym (uS) 220000\r\n"
                             "-- time_silence (uS) 880000\r\n"
                             "-- res serial open 0\r\n" +
                             server_line);

  int slave = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  struct termios tio;
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  close(slave);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B50));
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B50));
  EXPECT_EQ(gw.wait_exit(0), -1) << "the gateway should still be running";
}

// The binary carries its C++ runtime: the target has libc and libpthread only.
TEST(CommandLine, BinaryDoesNotLoadTheCxxRuntime) {
#ifdef BUILT_WITH_SANITIZER
  GTEST_SKIP() << "the sanitizer runtimes bring the C++ runtime with them";
#endif
  FILE *p = popen("ldd " VELKORD_BINARY " 2>&1", "r");
  ASSERT_NE(p, nullptr);
  std::string listing;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) listing.append(buf, n);
  pclose(p);
  EXPECT_EQ(listing.find("libstdc++"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("libgcc_s"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("libm."), std::string::npos) << "nor the maths library: " << listing;
}

}  // namespace
