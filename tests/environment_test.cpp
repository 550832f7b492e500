// The VELKORD_* settings: every variable's valid, invalid and edge values
// through the reader, and through the real binary the start that an invalid
// value ends (status 255, one line naming it, nothing opened) and the start
// that valid values leave exactly as it was.
#include "environment.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"

namespace {

using Env = std::map<std::string, std::string>;

const char *lookup(void *context, const char *name) {
  const Env &env = *static_cast<const Env *>(context);
  auto it = env.find(name);
  return it == env.end() ? nullptr : it->second.c_str();
}

std::string address_text(int family, const void *bytes) {
  char text[INET6_ADDRSTRLEN];
  return inet_ntop(family, bytes, text, sizeof text) ? text : "?";
}

// What the reader made of one variable, in a few words.
std::string describe(const std::string &name, const VelkordSettings &s) {
  if (name == "VELKORD_RS485") {
    if (!s.rs485_on) return "off";
    char text[64];
    snprintf(text, sizeof text, "%#x before %u after %u", s.rs485.flags, s.rs485.delay_rts_before_send,
             s.rs485.delay_rts_after_send);
    return text;
  }
  if (name == "VELKORD_ECHO") return s.echo ? "1" : "0";
  if (name == "VELKORD_FRAME_GAP_US") return std::to_string(s.frame_gap_us);
  if (name == "VELKORD_LISTEN") {
    if (s.listen.family == AF_INET) return address_text(AF_INET, s.listen.address);
    if (s.listen.family == AF_INET6) return address_text(AF_INET6, s.listen.address);
    return "all IPv4";
  }
  if (name == "VELKORD_MODBUS_TCP" || name == "VELKORD_STATUS" || name == "VELKORD_RTU_OVER_TCP") {
    const bool face = name == "VELKORD_MODBUS_TCP", rtu = name == "VELKORD_RTU_OVER_TCP";
    if (!(face ? s.modbus_tcp_on : rtu ? s.rtu_over_tcp_on : s.status_on)) return "off";
    char shown[kEndpointTextSize];
    net_format_endpoint(face ? s.modbus_tcp : rtu ? s.rtu_over_tcp : s.status, shown, sizeof shown);
    return shown;
  }
  if (name == "VELKORD_MODBUS_TCP_WAIT_MS") return std::to_string(s.modbus_tcp_wait_ms);
  if (name == "VELKORD_MODBUS_TCP_MAX_AGE_MS") return std::to_string(s.modbus_tcp_max_age_ms);
  if (name == "VELKORD_MODBUS_TCP_IDLE_MS") return std::to_string(s.modbus_tcp_idle_ms);
  if (name == "VELKORD_MODBUS_TCP_TIMEOUT_MS") return std::to_string(s.modbus_tcp_timeout_ms);
  if (name == "VELKORD_OFFLINE_AFTER") return std::to_string(s.offline.after);
  if (name == "VELKORD_OFFLINE_RETRY_MS") return std::to_string(s.offline.retry_us) + " us";
  if (name == "VELKORD_OFFLINE_NATIVE") return s.offline.native ? "1" : "0";
  const AllowList &list = name == "VELKORD_WRITE_ALLOW" ? s.write_allow : s.allow;
  std::string nets;
  for (int i = 0; i < list.count; ++i) {
    const AllowedNetwork &n = list.nets[i];
    nets += (i ? " " : "") + address_text(n.family, n.address) + "/" + std::to_string(n.prefix);
  }
  return list.count ? nets : "everyone";
}

std::string repeated(const std::string &item, int times, const char *separator = ",") {
  std::string s;
  for (int i = 0; i < times; ++i) s += (i ? separator : "") + item;
  return s;
}

struct EnvCase {
  std::string name;
  std::string value;
  std::string expected;  // describe() of the result, or "!" and part of the reason
};

class EnvironmentValue : public ::testing::TestWithParam<EnvCase> {};

TEST_P(EnvironmentValue, IsTakenOrRefusedWithOneLineNamingIt) {
  const EnvCase &c = GetParam();
  Env env = {{c.name, c.value}};
  VelkordSettings s;
  char error[kEnvErrorSize] = "";
  bool ok = ReadEnvironment(lookup, &env, s, error, sizeof error) == nullptr;
  if (c.expected[0] != '!') {
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(describe(c.name, s), c.expected);
    return;
  }
  ASSERT_FALSE(ok) << describe(c.name, s);
  std::string line = error;
  EXPECT_EQ(line.rfind(c.name + "=\"", 0), 0u) << line;
  EXPECT_NE(line.find(c.expected.substr(1)), std::string::npos) << line;
  for (char ch : line) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << "one printable line: " << line;
}

const EnvCase kEnvCases[] = {
    {"VELKORD_RS485", "", "off"},
    {"VELKORD_RS485", "off", "off"},
    {"VELKORD_RS485", "on", "0x3 before 0 after 0"},
    {"VELKORD_RS485", "on,rts-after-send", "0x5 before 0 after 0"},
    {"VELKORD_RS485", "on,rts-after-send,before=1000,after=2000", "0x5 before 1 after 2"},
    {"VELKORD_RS485", "on,after=1,before=0", "0x3 before 0 after 1"},  // rounded up to whole ms
    {"VELKORD_RS485", "on,before=100000,rts-on-send", "0x3 before 100 after 0"},
    {"VELKORD_RS485", "on,before=100001", "!needs a delay in microseconds from 0 to 100000"},
    {"VELKORD_RS485", "on,after=", "!needs a delay"},
    {"VELKORD_RS485", "on,before=1,before=2", "!before= given twice"},
    {"VELKORD_RS485", "on,rts-on-send,rts-after-send", "!more than one of rts-on-send and rts-after-send"},
    {"VELKORD_RS485", "on,", "!\"\" is not one of"},
    {"VELKORD_RS485", "ON", "!must be off, or on"},
    {"VELKORD_RS485", "on" + repeated(",before=1", 20), "!longer than 128 characters"},
    {"VELKORD_ECHO", "0", "0"},
    {"VELKORD_ECHO", "1", "1"},
    {"VELKORD_ECHO", "", "0"},
    {"VELKORD_ECHO", "2", "!must be 0 or 1"},
    {"VELKORD_ECHO", "1\n", "!must be 0 or 1"},
    {"VELKORD_FRAME_GAP_US", "", "0"},
    {"VELKORD_FRAME_GAP_US", "1", "1"},
    {"VELKORD_FRAME_GAP_US", "1000000", "1000000"},
    {"VELKORD_FRAME_GAP_US", "0", "!from 1 to 1000000"},
    {"VELKORD_FRAME_GAP_US", "1000001", "!from 1 to 1000000"},
    {"VELKORD_FRAME_GAP_US", "99999999999999999999", "!from 1 to 1000000"},
    {"VELKORD_FRAME_GAP_US", "16ms", "!from 1 to 1000000"},
    {"VELKORD_LISTEN", "", "all IPv4"},
    {"VELKORD_LISTEN", "192.168.1.20", "192.168.1.20"},
    {"VELKORD_LISTEN", "::", "::"},
    {"VELKORD_LISTEN", "::1", "::1"},
    {"VELKORD_LISTEN", "[::1]", "!without brackets"},
    {"VELKORD_LISTEN", "127.0.0.1:502", "!one IPv4 or IPv6 address"},
    {"VELKORD_LISTEN", "256.0.0.1", "!one IPv4 or IPv6 address"},
    {"VELKORD_ALLOW", "", "everyone"},
    {"VELKORD_ALLOW", "10.0.0.0/8", "10.0.0.0/8"},
    {"VELKORD_ALLOW", "127.0.0.1", "127.0.0.1/32"},
    {"VELKORD_ALLOW", "192.168.1.128/25,::/0,::1", "192.168.1.128/25 ::/0 ::1/128"},
    {"VELKORD_ALLOW", repeated("10.0.0.0/8", 32), repeated("10.0.0.0/8", 32, " ")},
    {"VELKORD_ALLOW", repeated("10.0.0.0/8", 33), "!more than 32 networks"},
    {"VELKORD_ALLOW", "10.0.0.1/8", "!\"10.0.0.1/8\" has address bits set past its prefix"},
    {"VELKORD_ALLOW", "10.0.0.0/33", "!not a prefix length from 0 to 32"},
    {"VELKORD_ALLOW", "fd00::/129", "!not a prefix length from 0 to 128"},
    {"VELKORD_ALLOW", "10.0.0.0/+8", "!not a prefix length"},
    {"VELKORD_ALLOW", "10/8", "!\"10\" is not an IPv4 or IPv6 address"},
    {"VELKORD_ALLOW", "10.0.0.0/8,", "!an empty entry"},
    {"VELKORD_ALLOW", "10.0.0.0/8 ,::1", "!not a prefix length"},
    {"VELKORD_MODBUS_TCP", "", "off"},
    {"VELKORD_MODBUS_TCP", "502", "0.0.0.0:502"},
    {"VELKORD_MODBUS_TCP", "127.0.0.1:1502", "127.0.0.1:1502"},
    {"VELKORD_MODBUS_TCP", "[::]:502", "[::]:502"},
    {"VELKORD_MODBUS_TCP", "0", "!not a port from 1 to 65535"},
    {"VELKORD_MODBUS_TCP", "::1:502", "!not an IPv4 address"},
    {"VELKORD_MODBUS_TCP", "[::1]", "!IPv6 address in brackets"},
    {"VELKORD_RTU_OVER_TCP", "", "off"},
    {"VELKORD_RTU_OVER_TCP", "5020", "0.0.0.0:5020"},
    {"VELKORD_RTU_OVER_TCP", "[::1]:5020", "[::1]:5020"},
    {"VELKORD_RTU_OVER_TCP", "65536", "!not a port from 1 to 65535"},
    {"VELKORD_RTU_OVER_TCP", "[::1]", "!IPv6 address in brackets"},
    {"VELKORD_WRITE_ALLOW", "", "everyone"},
    {"VELKORD_WRITE_ALLOW", "192.168.1.10,fd00::5", "192.168.1.10/32 fd00::5/128"},
    {"VELKORD_WRITE_ALLOW", "192.168.1.10/24", "!has address bits set past its prefix"},
    {"VELKORD_STATUS", "9502", "0.0.0.0:9502"},
    {"VELKORD_STATUS", "[::1]", "!a colon and a port must follow the address (PORT, A.B.C.D:PORT"},
    {"VELKORD_STATUS", "::1:80", "!an IPv6 address goes in brackets"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "", "0"},  // 0: the default
    {"VELKORD_MODBUS_TCP_WAIT_MS", "1", "1"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "60000", "60000"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "60001", "!(1 to 60000)"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "0", "!not a positive whole number"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "-1", "!not a positive whole number"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "1.5", "!not a positive whole number"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "10 ", "!not a positive whole number"},
    {"VELKORD_MODBUS_TCP_WAIT_MS", "99999999999", "!(1 to 60000)"},
    {"VELKORD_MODBUS_TCP_MAX_AGE_MS", "1", "1"},
    {"VELKORD_MODBUS_TCP_MAX_AGE_MS", "0", "!not a positive whole number"},
    {"VELKORD_MODBUS_TCP_IDLE_MS", "86400000", "86400000"},
    {"VELKORD_MODBUS_TCP_IDLE_MS", "10s", "!not a positive whole number"},
    {"VELKORD_MODBUS_TCP_TIMEOUT_MS", "60000", "60000"},
    {"VELKORD_MODBUS_TCP_TIMEOUT_MS", "0", "!not a positive whole number"},
    {"VELKORD_OFFLINE_AFTER", "", "3"},
    {"VELKORD_OFFLINE_AFTER", "0", "0"},  // never
    {"VELKORD_OFFLINE_AFTER", "255", "255"},
    {"VELKORD_OFFLINE_AFTER", "256", "!from 0 (never) to 255"},
    {"VELKORD_OFFLINE_AFTER", "-1", "!from 0 (never) to 255"},
    {"VELKORD_OFFLINE_RETRY_MS", "", "1000000 us"},
    {"VELKORD_OFFLINE_RETRY_MS", "100", "100000 us"},
    {"VELKORD_OFFLINE_RETRY_MS", "60000", "60000000 us"},
    {"VELKORD_OFFLINE_RETRY_MS", "99", "!milliseconds from 100 to 60000"},
    {"VELKORD_OFFLINE_RETRY_MS", "60001", "!milliseconds from 100 to 60000"},
    {"VELKORD_OFFLINE_NATIVE", "", "0"},
    {"VELKORD_OFFLINE_NATIVE", "1", "1"},
    {"VELKORD_OFFLINE_NATIVE", "yes", "!must be 0 or 1"},
};

INSTANTIATE_TEST_SUITE_P(EveryVariable, EnvironmentValue, ::testing::ValuesIn(kEnvCases));

TEST(EnvironmentReader, AnEchoingTransceiverKeepsTheReceiverOnWhileSending) {
  Env env = {{"VELKORD_RS485", "on,rts-after-send"}, {"VELKORD_ECHO", "1"}};
  VelkordSettings s;
  char error[kEnvErrorSize];
  ASSERT_EQ(ReadEnvironment(lookup, &env, s, error, sizeof error), nullptr) << error;
  EXPECT_EQ(s.rs485.flags, unsigned{SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX});
}

// ---- Through the real binary -----------------------------------------------

const std::vector<std::string> kArgs = {"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p"};

std::string settings_lines(int tcp) {
  return "--serialport  0\r\n--baudrate    115200\r\n--databits    8\r\n--stopbits    1\r\n--ip port     " +
         std::to_string(tcp) + "\r\n";
}

class InvalidEnvironment : public ::testing::TestWithParam<std::string> {};

TEST_P(InvalidEnvironment, EndsTheStartWith255AndOneLineBeforeAnythingIsOpened) {
  vt::PtyPair line(0);
  int tcp = vt::free_tcp_port();
  std::vector<std::string> args = kArgs;
  args.push_back(std::to_string(tcp));
  vt::RunResult r = vt::run_velkord(args, 10000, {"VELKORD_TTY_PATTERN=" + line.pattern(), GetParam()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, settings_lines(tcp)) << "no serial or server line";
  std::string name = GetParam().substr(0, GetParam().find('='));
  EXPECT_EQ(r.err.rfind(name + "=\"", 0), 0u) << r.err;
  EXPECT_EQ(vt::count_of(r.err, "\n"), 1u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(OnePerVariable, InvalidEnvironment,
                         ::testing::Values("VELKORD_RS485=on,rts", "VELKORD_ECHO=yes", "VELKORD_FRAME_GAP_US=0",
                                           "VELKORD_LISTEN=[::1]", "VELKORD_ALLOW=10.0.0.0/33",
                                           "VELKORD_MODBUS_TCP=70000", "VELKORD_MODBUS_TCP_WAIT_MS=0",
                                           "VELKORD_MODBUS_TCP_MAX_AGE_MS=-1", "VELKORD_MODBUS_TCP_IDLE_MS=1.5",
                                           "VELKORD_MODBUS_TCP_TIMEOUT_MS=60001", "VELKORD_RTU_OVER_TCP=0",
                                           "VELKORD_WRITE_ALLOW=10.0.0.0/8,", "VELKORD_OFFLINE_AFTER=x",
                                           "VELKORD_OFFLINE_RETRY_MS=0", "VELKORD_OFFLINE_NATIVE=2"));

TEST(ValidEnvironment, LeavesEveryStartLineAsItWas) {
  vt::PtyPair line(0);
  int tcp = vt::free_tcp_port();
  std::vector<std::string> args = kArgs;
  args.push_back(std::to_string(tcp));
  vt::Gateway gw(args, {"VELKORD_TTY_PATTERN=" + line.pattern(), "VELKORD_RS485=off", "VELKORD_ECHO=1",
                        "VELKORD_FRAME_GAP_US=20000", "VELKORD_LISTEN=127.0.0.1", "VELKORD_ALLOW=127.0.0.0/8",
                        "VELKORD_WRITE_ALLOW=127.0.0.1", "VELKORD_OFFLINE_AFTER=5",
                        "VELKORD_OFFLINE_RETRY_MS=500", "VELKORD_OFFLINE_NATIVE=1"});
  std::string server = "---- opening tcp/ip  " + std::to_string(tcp) + " ----\r\n";
  ASSERT_TRUE(gw.wait_for_output(server, 10000)) << gw.output();
  EXPECT_EQ(gw.output(), settings_lines(tcp) +
                             "---- opening serial port  0  res=0 ---\r\n-- full_size_sym (bits) 11\r\n"
                             "-- time_one_sym (uS) 95\r\n-- time_silence (uS) 380\r\n-- res serial open 0\r\n" +
                             server);
  EXPECT_EQ(gw.wait_exit(200), -1);
}

}  // namespace
