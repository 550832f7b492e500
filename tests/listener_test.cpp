// The listener through the real binary: ten clients at a time, the eleventh
// kept in the backlog until one leaves, two lines per accepted connection,
// and binding the port (refused while another listener holds it, granted
// right after a kill that left connections behind).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/net_client.h"
#include "support/net_gateway.h"
#include "support/process.h"
#include "support/pty.h"

namespace {

using vt::Bytes;

double seconds_since(int64_t start_us) { return static_cast<double>(vt::now_us() - start_us) / 1e6; }

// The descriptors of the "-- sock. N --" lines, in order, each one right
// after its "-----CLIENT-----" line; everything the listener printed must be
// such pairs.
std::vector<int> accepted_sockets(const std::string &output) {
  const std::string server_line = "----\r\n";
  size_t from = output.find("---- opening tcp/ip");
  if (from == std::string::npos) return {};
  from = output.find(server_line, from) + server_line.size();
  std::string rest = output.substr(from);
  static const std::regex pair_re("-----CLIENT-----\r\n-- sock\\. (\\d+) --\r\n");
  std::vector<int> socks;
  std::smatch m;
  while (std::regex_search(rest, m, pair_re, std::regex_constants::match_continuous)) {
    socks.push_back(std::stoi(m[1]));
    rest = m.suffix();
  }
  EXPECT_EQ(rest, "") << "unexpected output after the accepted connections";
  return socks;
}

std::string fd_target(pid_t pid, int fd) {
  char buf[256];
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// A request the intake refuses at once (function 7): quick, and it leaves
// the device table alone.
Bytes ping() {
  vt::RequestFields r;
  r.frame = {0x01, 0x07, 0x00, 0x00, 0x00, 0x00};
  return vt::build_request(r);
}

bool wait_accepted(vt::Gateway &g, size_t n, int timeout_ms) {
  int64_t end = vt::now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  while (vt::count_of(g.output(), "-----CLIENT-----") < n) {
    if (vt::now_us() >= end) return false;
    usleep(5000);
  }
  return true;
}

// TCP sockets on 127.0.0.1:port other than listeners, and the states the
// kernel reports for them (hex codes of /proc/net/tcp).
std::multiset<std::string> connection_states(int port) {
  std::multiset<std::string> states;
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char local[32];
  snprintf(local, sizeof local, ":%04X", port);
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local_addr, remote_addr, state;
    fields >> slot >> local_addr >> remote_addr >> state;
    if (local_addr.size() > 5 && local_addr.substr(local_addr.size() - 5) == local && state != "0A")
      states.insert(state);
  }
  return states;
}

TEST(Listener, ServesTenAtOnceAndTheEleventhWhenOneLeaves) {
  vt::NetGateway gw;
  ASSERT_TRUE(gw.start()) << gw.process().output();
  const pid_t pid = gw.process().pid();

  // A burst: all ten connect before the first is handed over, so the
  // hand-overs follow each other as fast as the listener allows. Each
  // client must get its own handler: one response per request, on its own
  // connection.
  std::vector<std::unique_ptr<vt::NetClient>> clients;
  for (int i = 0; i < 10; ++i) clients.push_back(std::make_unique<vt::NetClient>(gw.port()));
  for (auto &c : clients) ASSERT_TRUE(c->send(ping()));
  for (int i = 0; i < 10; ++i) {
    auto r = clients[i]->read_response(5000);
    ASSERT_TRUE(r) << "client " << i;
    EXPECT_EQ(*r, vt::error_response(0x88)) << "client " << i;
  }
  for (int i = 0; i < 10; ++i) {
    auto r = clients[i]->exchange(ping(), 3000);
    ASSERT_TRUE(r) << "client " << i << ", second request";
    EXPECT_EQ(*r, vt::error_response(0x88));
  }
  ASSERT_TRUE(wait_accepted(gw.process(), 10, 1000));
  std::vector<int> socks = accepted_sockets(gw.process().output());
  ASSERT_EQ(socks.size(), 10u);
  EXPECT_EQ(std::set<int>(socks.begin(), socks.end()).size(), 10u) << "descriptors printed twice";
  for (int s : socks) EXPECT_EQ(fd_target(pid, s).rfind("socket:", 0), 0u) << "-- sock. " << s;

  // The eleventh is taken into the backlog by the kernel, but nobody reads
  // its request while ten handlers run.
  vt::NetClient eleventh(gw.port());
  ASSERT_TRUE(eleventh.send(ping()));
  EXPECT_FALSE(eleventh.read_response(1500)) << "answered while ten handlers ran";
  EXPECT_FALSE(eleventh.eof());
  EXPECT_EQ(vt::count_of(gw.process().output(), "-----CLIENT-----"), 10u);

  // One leaves. Its handler ends as soon as it reads the close, and the
  // listener takes the eleventh within its 100 ms rest.
  int64_t left = vt::now_us();
  clients[3]->close();
  auto r = eleventh.read_response(8000);
  double waited = seconds_since(left);
  ASSERT_TRUE(r) << "the eleventh was never served";
  EXPECT_EQ(*r, vt::error_response(0x88));
  EXPECT_LT(waited, 2.0);
  RecordProperty("eleventh_served_after_ms", static_cast<int>(waited * 1000));

  socks = accepted_sockets(gw.process().output());
  ASSERT_EQ(socks.size(), 11u);
  // The descriptor the departed client's handler released is the lowest free
  // one, and so the one the eleventh gets.
  EXPECT_EQ(socks[10], socks[3]);

  for (int i = 0; i < 10; ++i) {
    if (i == 3) continue;
    auto again = clients[i]->exchange(ping(), 3000);
    EXPECT_TRUE(again) << "client " << i << " lost its handler";
  }
}

TEST(Listener, PortHeldByAnotherListenerEndsStartUpWith255) {
  const int port = vt::free_tcp_port();
  // Address reuse on both sides still leaves a listening port to its owner.
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);

  vt::PtyPair line(0);
  vt::RunResult res =
      vt::run_velkord(vt::gateway_args(port), 10000, {"VELKORD_TTY_PATTERN=" + line.pattern()});
  close(holder);
  EXPECT_EQ(res.status, 255);
  const std::string p = std::to_string(port);
  const std::string four_settings =
      "--serialport  0\r\n"
      "--baudrate    115200\r\n"
      "--databits    8\r\n"
      "--stopbits    1\r\n";
  const std::string serial_and_timing =
      "---- opening serial port  0  res=0 ---\r\n"
      "-- full_size_sym (bits) 11\r\n"
      "-- time_one_sym (uS) 95\r\n"
      "-- time_silence (uS) 380\r\n"
      "-- res serial open 0\r\n";
  // Every line up to the server line, and nothing after it.
  EXPECT_EQ(res.out, four_settings + "--ip port     " + p + "\r\n" + serial_and_timing +
                         "---- opening tcp/ip  " + p + " ----\r\n");
}

// Killed with clients connected, the gateway leaves its side of those
// connections in the kernel (FIN_WAIT2, TIME_WAIT); the next gateway must
// bind the port at once all the same.
TEST(Listener, RestartsOnItsPortRightAfterAKillWithClientsConnected) {
  vt::NetGateway gw;
  ASSERT_TRUE(gw.start()) << gw.process().output();
  std::vector<std::unique_ptr<vt::NetClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<vt::NetClient>(gw.port()));
    ASSERT_TRUE(clients.back()->exchange(ping(), 3000));
  }
  gw.kill();
  for (auto &c : clients) EXPECT_TRUE(c->wait_closed(2000));
  clients[0]->close();  // this one leaves its peer in TIME_WAIT
  usleep(50000);
  std::multiset<std::string> states = connection_states(gw.port());
  ASSERT_FALSE(states.empty()) << "no connection left on the port: the test proves nothing";

  ASSERT_TRUE(gw.start()) << gw.process().output();
  EXPECT_EQ(gw.process().wait_exit(300), -1) << gw.process().output();
  vt::NetClient client(gw.port());
  auto r = client.exchange(ping(), 3000);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, vt::error_response(0x88));
}

// Only the low 16 bits of the port number count.
TEST(Listener, PortNumberIsTakenModulo65536) {
  vt::PtyPair line(0);
  const int port = vt::free_tcp_port();
  vt::Gateway g(vt::gateway_args(65536L + port), {"VELKORD_TTY_PATTERN=" + line.pattern()});
  ASSERT_TRUE(g.wait_for_output("---- opening tcp/ip", 8000)) << g.output();
  vt::NetClient client(port);
  auto r = client.exchange(ping(), 3000);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, vt::error_response(0x88));
}

}  // namespace
