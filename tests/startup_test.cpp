// Start-up of the real binary: the lines it prints, in order, and the
// statuses of a failed serial or TCP start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"

namespace {

std::string settings_lines(int port, int baud, int data, int stop, int tcp) {
  return "--serialport  " + std::to_string(port) + "\r\n--baudrate    " + std::to_string(baud) +
         "\r\n--databits    " + std::to_string(data) + "\r\n--stopbits    " + std::to_string(stop) +
         "\r\n--ip port     " + std::to_string(tcp) + "\r\n";
}

std::string serial_lines(int port, int bits, int one, int silence) {
  return "---- opening serial port  " + std::to_string(port) + "  res=0 ---\r\n" +
         "-- full_size_sym (bits) " + std::to_string(bits) + "\r\n" + "-- time_one_sym (uS) " +
         std::to_string(one) + "\r\n" + "-- time_silence (uS) " + std::to_string(silence) + "\r\n" +
         "-- res serial open 0\r\n";
}

std::string server_line(unsigned tcp) { return "---- opening tcp/ip  " + std::to_string(tcp) + " ----\r\n"; }

using vt::Squatter;

struct StartCase {
  int baud, data, stop;
  int bits, one, silence;
};

class StartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartUp, PrintsTheElevenLinesInOrderAndKeepsRunning) {
  const StartCase c = GetParam();
  vt::PtyPair line(1);
  int tcp = vt::free_tcp_port();
  vt::Gateway gw({"-sp", "1", "-br", std::to_string(c.baud), "-db", std::to_string(c.data), "-sb",
                  std::to_string(c.stop), "-p", std::to_string(tcp)},
                 {"VELKORD_TTY_PATTERN=" + line.pattern()});
  std::string expected = settings_lines(1, c.baud, c.data, c.stop, tcp) +
                         serial_lines(1, c.bits, c.one, c.silence) + server_line(tcp);
  ASSERT_TRUE(gw.wait_for_output(server_line(tcp), 10000)) << gw.output();
  EXPECT_EQ(gw.output(), expected);
  EXPECT_EQ(gw.wait_exit(300), -1) << "the gateway must keep running";
}

INSTANTIATE_TEST_SUITE_P(LineSettings, StartUp,
                         ::testing::Values(StartCase{9600, 8, 1, 11, 1145, 4580},
                                           StartCase{115200, 8, 1, 11, 95, 380},
                                           StartCase{19200, 8, 1, 11, 572, 2288},
                                           StartCase{38400, 8, 2, 12, 312, 1248}),
                         [](const ::testing::TestParamInfo<StartCase> &i) {
                           return "b" + std::to_string(i.param.baud) + "_" + std::to_string(i.param.data) +
                                  "N" + std::to_string(i.param.stop);
                         });

TEST(StartUpFailure, MissingDeviceNodeEndsWith255AfterTheSerialLine) {
  std::string dir = vt::make_temp_dir();
  vt::RunResult r = vt::run_velkord({"-sp", "2", "-br", "9600", "-db", "8", "-sb", "1", "-p", "5020"}, 10000,
                                    {"VELKORD_TTY_PATTERN=" + dir + "/ttyM%d"});
  rmdir(dir.c_str());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, settings_lines(2, 9600, 8, 1, 5020) + "---- opening serial port  2  res=-2 ---\r\n");
}

TEST(StartUpFailure, BusyTcpPortPrintsEveryLineThroughTheServerLineAndEndsWith255) {
  vt::PtyPair line(0);
  int tcp = vt::free_tcp_port();
  Squatter squatter(tcp);
  vt::RunResult r = vt::run_velkord(
      {"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p", std::to_string(tcp)}, 10000,
      {"VELKORD_TTY_PATTERN=" + line.pattern()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, settings_lines(0, 115200, 8, 1, tcp) + serial_lines(0, 11, 95, 380) + server_line(tcp));
}

TEST(StartUpFailure, TcpPortIsTakenModulo65536) {
  // 65536 + n listens on n: the squatter on n makes the start fail, and the
  // server line still shows the number as given.
  vt::PtyPair line(0);
  int tcp = vt::free_tcp_port();
  Squatter squatter(tcp);
  vt::RunResult r = vt::run_velkord(
      {"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p", std::to_string(65536 + tcp)}, 10000,
      {"VELKORD_TTY_PATTERN=" + line.pattern()});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find(server_line(65536u + static_cast<unsigned>(tcp))), std::string::npos) << r.out;
}

}  // namespace
