// The status face: the HTTP head parser, then the server started in-process
// over a scripted snapshot and read by clients nobody here wrote:
// Prometheus's own parser, Python's JSON reader and a headless Chromium,
// which also reads the real gateway's page on the simulator's line. Last,
// what a misbehaving client gets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "status.h"
#include "support/modbus_tcp_client.h"
#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/status_readers.h"

namespace {

// ---- Parser and setting ----------------------------------------------------

struct ParseCase {
  const char *name;
  std::string head;
  HttpParse result;
  bool get;
  const char *path;
  const char *query = "";
};

TEST(StatusHttp, ParsesHeadsAndRefusesWhatIsNoRequest) {
  const std::vector<ParseCase> cases = {
      {"get with headers", "GET /metrics HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n", HttpParse::kComplete, true, "/metrics"},
      {"bare line feeds", "GET /status HTTP/1.0\nHost: a\n\n", HttpParse::kComplete, true, "/status"},
      {"query apart", "GET /status?samples=0 HTTP/1.1\r\n\r\n", HttpParse::kComplete, true, "/status", "samples=0"},
      {"empty lines first", "\r\n\r\nGET / HTTP/1.1\r\n\r\n", HttpParse::kComplete, true, "/"},
      {"other method", "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", HttpParse::kComplete, false, "/"},
      {"half a line", "GET /metr", HttpParse::kIncomplete, false, ""},
      {"no blank line", "GET / HTTP/1.1\r\nHost: a\r\n", HttpParse::kIncomplete, false, ""},
      {"binary greeting", std::string("\x16\x03\x01\x02\x00", 5), HttpParse::kMalformed, false, ""},
      {"no version", "GET /\r\n\r\n", HttpParse::kMalformed, false, ""},
      {"absolute target", "GET http://a/ HTTP/1.1\r\n\r\n", HttpParse::kMalformed, false, ""},
      {"two spaces", "GET  / HTTP/1.1\r\n\r\n", HttpParse::kMalformed, false, ""},
      {"folded header", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", HttpParse::kMalformed, false, ""},
      {"header without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", HttpParse::kMalformed, false, ""},
      {"NUL in a value", std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 23), HttpParse::kMalformed, false, ""},
      {"HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", HttpParse::kBadVersion, false, ""},
      {"path of 257", "GET /" + std::string(256, 'a') + " HTTP/1.1\r\n\r\n", HttpParse::kPathTooLong, false, ""},
      {"head of 4 KiB", "GET / HTTP/1.1\r\nX: " + std::string(4096, 'x') + "\r\n\r\n", HttpParse::kHeadTooLarge, false, ""},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(c.name);
    const auto *data = reinterpret_cast<const uint8_t *>(c.head.data());
    HttpRequest r = http_parse_request(data, c.head.size());
    EXPECT_EQ(r.result, c.result);
    if (c.result != HttpParse::kComplete) continue;
    EXPECT_EQ(r.get, c.get);
    EXPECT_EQ(std::string(c.head, r.path_offset, r.path_length), c.path);
    EXPECT_EQ(std::string(c.head, r.query_offset, r.query_length), c.query);
    EXPECT_EQ(r.head_length, c.head.size());
    // Every shorter piece of a good head is still waiting for more.
    for (size_t n = 0; n < c.head.size(); ++n)
      ASSERT_EQ(http_parse_request(data, n).result, HttpParse::kIncomplete) << n;
  }
}

// ---- A server over a scripted line -----------------------------------------

// Unit 1 did 3 valid exchanges, 2 without answer, 1 with a bad CRC and 1
// with a foreign reply (the last one); unit 2 answers; unit 3 never did.
void script_line(StatusSnapshot &s) {
  snprintf(s.device, sizeof s.device, "/dev/ttyM1");
  snprintf(s.version, sizeof s.version, "1.2.3");
  s.serial_port = 1, s.baud = 19200, s.data_bits = 8, s.stop_bits = 1, s.link_up = true;
  s.link_losses = 1, s.line_bytes_tx = 4321, s.line_bytes_rx = 8765, s.stale_bytes_dropped = 3;
  s.active_slots = 3, s.start_unix_us = s.taken_unix_us - 3723000000;
  s.protocols[kProtocolNative] = {1, 5, 0, 0, {}, 0};
  s.protocols[kProtocolNative].requests[0x00] = 12, s.protocols[kProtocolNative].requests[0x81] = 2;
  s.protocols[kProtocolModbusTcp] = {0, 2, 1, 4, {}, 0};
  s.protocols[kProtocolModbusTcp].requests[0] = 7, s.protocols[kProtocolModbusTcp].requests[0x0B] = 1;
  s.peer_count = 1;
  s.peers[0] = {kProtocolNative, "192.0.2.7:50412", 95000000};
  s.unit_count = 3;
  s.units[0] = {1, kOutcomeMismatch, 1, {3, 2, 1, 1}, {}, 1500000, 2, 320000, {}, 0};
  for (uint32_t us : {800u, 1200u, 3000u, 40000u, 700000u}) histogram_add(s.units[0].response, us);
  s.units[0].slots[0] = {0, 3, 1, kOutcomeMismatch, true, 0, 10, 4200000, 1500000, {3, 2, 1, 1}, {}, 0};
  s.units[1] = {2, kOutcomeValid, 2, {10, 0, 0, 0}, {}, 200000, 0, -1, {}, 0};
  for (int i = 0; i < 10; ++i) histogram_add(s.units[1].response, 4000);
  s.units[1].slots[0] = {0, 4, 2, kOutcomeValid, true, 100, 2, 800000, 200000, {6, 0, 0, 0}, {}, 0};
  s.units[1].slots[1] = {3, 6, 1, kOutcomeValid, false, 7, 0, 9000000, 300000, {4, 0, 0, 0}, {}, 0};
  s.read_count = 1;
  s.reads[0] = {2, 3, 100, 4, true, 250000, 1000000, 400000};
  s.units[2] = {3, kOutcomeNoAnswer, 1, {0, 4, 0, 0}, {}, -1, 0, -1, {}, 0};
  s.units[2].slots[0] = {0, 3, 1, kOutcomeNoAnswer, true, 0, 1, 3000000, -1, {0, 4, 0, 0}, {}, 0};
  s.units[2].offline = true, s.units[2].offline_for_us = 90000000, s.units[2].offline_total = 2;
  s.protocols[kProtocolModbusTcp].evicted = 5, s.protocols[kProtocolModbusTcp].incomplete = 6;
}

void scripted_provider(StatusSnapshot &s, void *calls) {
  ++*static_cast<std::atomic<int> *>(calls);
  script_line(s);
}

class StatusServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(net_parse_endpoint("127.0.0.1:1", endpoint_), EndpointFault::kNone);
    endpoint_.port = 0;  // any free port
    const char *error = status_start(*server_, endpoint_, scripted_provider, &calls_);
    ASSERT_EQ(error, nullptr) << error;
  }
  void TearDown() override { status_stop(*server_); }

  struct Answer {
    std::string text;  // all that came before the end of the connection
    bool closed = false;
    double seconds = 0;
  };

  // Connects, sends `request` (if any) and reads until the server closes.
  Answer ask(const std::string &request, int timeout_ms = vt::slow_ms(10000)) {
    int64_t start = vt::now_us();
    int fd = connect_now();
    Answer a;
    if (!request.empty()) vt::write_all(fd, vt::Bytes(request.begin(), request.end()));
    char buf[8192];
    for (;;) {
      struct pollfd p = {fd, POLLIN, 0};
      int left = timeout_ms - static_cast<int>((vt::now_us() - start) / 1000);
      if (left <= 0 || poll(&p, 1, left) <= 0) break;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        a.closed = true;
        break;
      }
      a.text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    a.seconds = static_cast<double>(vt::now_us() - start) / 1e6;
    return a;
  }

  int connect_now() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(server_->port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return fd;
  }

  // The body of a 200 answer to GET `path`, its head checked.
  std::string get_body(const std::string &path, const std::string &content_type) {
    Answer a = ask("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    size_t end = a.text.find("\r\n\r\n");
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(a.text.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << a.text.substr(0, 200);
    EXPECT_NE(a.text.find("Content-Type: " + content_type + "\r\n"), std::string::npos);
    std::string body = end == std::string::npos ? "" : a.text.substr(end + 4);
    EXPECT_NE(a.text.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    return body;
  }

  std::unique_ptr<StatusServer> server_ = std::make_unique<StatusServer>();
  NetEndpoint endpoint_;
  std::atomic<int> calls_{0};  // snapshots the server asked for
};

TEST_F(StatusServerTest, MetricsReadByPrometheusParser) {
  bool missing = false;
  auto seen = vt::status_facts("metrics", get_body("/metrics", "text/plain; version=0.0.4"), &missing);
  if (missing) GTEST_SKIP() << "python3-prometheus-client is not installed (apt-get install python3-prometheus-client)";
  const std::map<std::string, std::string> want = {
      {"family velkord_exchanges", "counter"}, {"family velkord_response_seconds", "histogram"},
      {"family velkord_last_valid_answer_age_seconds", "gauge"}, {"family velkord_link_losses", "counter"},
      {"family velkord_requests", "counter"}, {"family velkord_build_info", "gauge"},
      {"velkord_exchanges_total{outcome=\"valid\",unit=\"1\"}", "3.0"},
      {"velkord_exchanges_total{outcome=\"no_answer\",unit=\"1\"}", "2.0"},
      {"velkord_exchanges_total{outcome=\"bad_crc\",unit=\"1\"}", "1.0"},
      {"velkord_exchanges_total{outcome=\"mismatch\",unit=\"1\"}", "1.0"},
      {"velkord_response_seconds_bucket{le=\"0.001\",unit=\"1\"}", "1.0"},
      {"velkord_response_seconds_bucket{le=\"0.05\",unit=\"1\"}", "4.0"},
      {"velkord_response_seconds_bucket{le=\"+Inf\",unit=\"1\"}", "5.0"},
      {"velkord_response_seconds_sum{unit=\"1\"}", "0.745"},
      {"velkord_response_seconds_count{unit=\"2\"}", "10.0"},
      {"velkord_last_valid_answer_age_seconds{unit=\"1\"}", "1.5"},
      {"velkord_active_slots{}", "3.0"}, {"velkord_link_up{}", "1.0"},
      {"velkord_link_losses_total{}", "1.0"}, {"velkord_line_bytes_total{direction=\"rx\"}", "8765.0"},
      {"velkord_stale_bytes_dropped_total{}", "3.0"},
      {"velkord_clients_connected{protocol=\"native\"}", "1.0"},
      {"velkord_connections_total{protocol=\"modbus_tcp\",result=\"refused\"}", "1.0"},
      {"velkord_connections_total{protocol=\"modbus_tcp\",result=\"full\"}", "4.0"},
      {"velkord_connections_total{protocol=\"modbus_tcp\",result=\"evicted\"}", "5.0"},
      {"velkord_connections_total{protocol=\"modbus_tcp\",result=\"incomplete\"}", "6.0"},
      {"velkord_unit_offline{unit=\"1\"}", "0.0"}, {"velkord_unit_offline{unit=\"3\"}", "1.0"},
      {"velkord_unit_offline_total{unit=\"3\"}", "2.0"},
      {"velkord_requests_total{protocol=\"native\",status=\"0x81\"}", "2.0"},
      {"velkord_requests_total{protocol=\"modbus_tcp\",status=\"ok\"}", "7.0"},
      {"velkord_requests_total{protocol=\"modbus_tcp\",status=\"0x0B\"}", "1.0"},
      {"velkord_build_info{version=\"1.2.3\"}", "1.0"}};
  for (const auto &[key, value] : want) EXPECT_EQ(seen[key], value) << key;
  EXPECT_EQ(seen.count("velkord_last_valid_answer_age_seconds{unit=\"3\"}"), 0u) << "never answered";
  EXPECT_EQ(seen.count("velkord_connections_total{protocol=\"native\",result=\"full\"}"), 0u)
      << "native newcomers wait in the backlog, never turned away";
}

// The whole document, then the same without its samples.
TEST_F(StatusServerTest, StatusDocumentReadByJsonParser) {
  for (const char *path : {"/status", "/status?samples=0"}) {
    SCOPED_TRACE(path);
    bool missing = false;
    auto seen = vt::status_facts("json", get_body(path, "application/json"), &missing);
    const std::map<std::string, std::string> want = {
        {"units.0.state", "\"errors\""}, {"units.0.exchanges.no_answer", "2"},
        {"units.0.slots.0.quantity", "10"}, {"units.0.slots.0.mode", "\"repeat\""},
        {"units.0.slots.0.lifetime_left_seconds", "4.2"}, {"units.1.state", "\"answering\""},
        {"units.1.reads.0.address", "100"}, {"units.1.reads.0.quantity", "4"},
        {"units.1.reads.0.polls_per_second", "2.5"}, {"units.1.reads.0.answer_age_seconds", "0.25"},
        {"units.2.state", "\"silent\""}, {"units.2.last_valid_answer_age_seconds", "null"},
        {"line.device", "\"/dev/ttyM1\""}, {"uptime_seconds", "3723"},
        {"clients.modbus_tcp.requests.0x0B", "1"}, {"clients.modbus_tcp.full", "4"}, {"peers.0.address", "\"192.0.2.7:50412\""},
        {"clients.modbus_tcp.evicted", "5"}, {"clients.modbus_tcp.incomplete", "6"},
        {"units.0.offline", "false"}, {"units.0.offline_since_seconds", "null"}, {"units.2.offline", "true"},
        {"units.2.offline_total", "2"}};
    for (const auto &[key, value] : want) EXPECT_EQ(seen[key], value) << key;
    // Offline for the last 90 s of its 3723.
    EXPECT_NEAR(std::stod(seen["units.2.offline_since_seconds"]) - std::stod(seen["start_time_seconds"]), 3633, 0.01);
    EXPECT_EQ(seen.count("units.1.slots.1.quantity"), 0u) << "function 6 has no quantity";
    EXPECT_EQ(seen.count("units.0.reads.0.address"), 0u) << "the read is unit 2's";
    EXPECT_EQ(seen.count("samples.interval_seconds"), std::string(path) == "/status" ? 1u : 0u);
  }
}

// Headless Chromium loads the page; the rows its script drew are in the DOM.
TEST_F(StatusServerTest, PageDrawsUnitRowsInChromium) {
  if (!vt::have_chromium()) GTEST_SKIP() << "chromium is not installed (apt-get install chromium)";
  std::string url = "http://127.0.0.1:" + std::to_string(server_->port) + "/";
  std::string dom = vt::chromium_dom(url);
  std::map<std::string, std::string> states;
  static const std::regex row_re("<tr class=\"unit (\\w+)\" id=\"unit-(\\d+)\">(.*?)</tr>");
  for (std::sregex_iterator i(dom.begin(), dom.end(), row_re), end; i != end; ++i)
    states[(*i)[2]] = (*i)[1].str() + ((*i)[3].str().find("<td>3</td><td>2</td><td>1</td><td>1</td>") != std::string::npos ? " 3/2/1/1" : "");
  EXPECT_EQ(states, (std::map<std::string, std::string>{{"1", "errors 3/2/1/1"}, {"2", "answering"}, {"3", "silent"}}))
      << dom.substr(0, 3000);
  EXPECT_NE(dom.find("192.0.2.7:50412"), std::string::npos) << "connected client listed";
  EXPECT_EQ(vt::count_of(dom, "<span class=\"pill offline\">offline since "), 1u) << "unit 3's badge";
  // Within its 3 s the page fetched itself once more, and got it: the banner
  // was hidden then, and each unit's graphs came under its row again.
  EXPECT_GE(calls_.load(), 2);
  EXPECT_NE(dom.find("<div id=\"stale\" style=\"display: none;\">"), std::string::npos);
  static const std::regex graphs_re("<tr class=\"graphs\"><td colspan=\"9\"><div class=\"ug\" data-unit=\"(\\d)\"><div class=\"gr\"><svg");
  std::string units_with_graphs;
  for (std::sregex_iterator i(dom.begin(), dom.end(), graphs_re), end; i != end; ++i) units_with_graphs += (*i)[1];
  EXPECT_EQ(units_with_graphs, "123");

  // Then the real gateway on the simulator's line, after a few seconds with a
  // native slot on unit 1 and a Modbus TCP read of unit 2: each is listed
  // under its unit's row, and the graphs have their points. Units 3 and 4
  // (which is not there) and a bad CRC now and then make it look like a line.
  vt::SimProcess sim({"-a", "1,2,3", "-b", "115200", "--pace", "--bad-crc", "0.02"});
  if (!sim.ready()) GTEST_SKIP() << "velkord-sim is not built";
  const int tcp = vt::free_tcp_port(), face = vt::free_tcp_port(), http = vt::free_tcp_port();
  vt::Gateway gw({"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p", std::to_string(tcp)},
                 {"VELKORD_TTY_PATTERN=" + sim.pattern(), "VELKORD_STATUS=127.0.0.1:" + std::to_string(http),
                  "VELKORD_MODBUS_TCP=127.0.0.1:" + std::to_string(face), "VELKORD_MODBUS_TCP_IDLE_MS=3600000"});
  ASSERT_TRUE(gw.wait_for_output("---- status", vt::slow_ms(10000))) << gw.output();
  vt::NetClient native(tcp);
  vt::RequestFields slot;
  slot.keep_alive = 60000000, slot.mode = 1, slot.timeout = 20000, slot.lifetime = 3600000000u;
  for (const vt::Bytes &frame : {vt::Bytes{1, 4, 0, 0, 0, 3}, vt::Bytes{3, 3, 0, 10, 0, 8}, vt::Bytes{3, 1, 0, 0, 0, 16},
                                  vt::Bytes{4, 3, 0, 0, 0, 2}}) {
    slot.frame = frame;
    slot.slot = frame[0] == 3 && frame[1] == 1 ? 1 : 0;
    ASSERT_TRUE(native.exchange(vt::build_request(slot), vt::slow_ms(5000)).has_value());
  }
  vt::ModbusTcpClient reader(face, 2);
  uint16_t registers[4];
  // The line's bad CRCs, or a loaded machine, may cost the first read its answer.
  bool read = false;
  for (int64_t end = vt::now_us() + vt::slow_ms(5000) * 1000LL; !read && vt::now_us() < end;)
    read = modbus_read_registers(reader.ctx, 100, 4, registers) == 4;
  ASSERT_TRUE(read) << modbus_strerror(errno);
  // VELKORD_STATUS_SCREENSHOT=docs/status-page.png takes the documentation's
  // picture, after three minutes of the line, so that its graphs show some.
  const char *png = getenv("VELKORD_STATUS_SCREENSHOT");
  usleep(static_cast<useconds_t>(png != nullptr ? 180000000 : vt::slow_ms(3000) * 1000));
  url = "http://127.0.0.1:" + std::to_string(http) + "/";
  dom = vt::chromium_dom(url);
  std::smatch listed;
  ASSERT_TRUE(std::regex_search(dom, listed, std::regex("id=\"unit-1\">.*?<tr class=\"slots\"><td[^>]*>([^<]*)</td></tr>"
                                                        ".*id=\"unit-2\">.*?<tr class=\"slots\"><td[^>]*>([^<]*)</td></tr>")))
      << dom.substr(0, 3000);
  EXPECT_EQ(listed[1].str().rfind("slot 0 \u00b7 fc 4 \u00b7 @0 \u00d73 \u00b7 repeat", 0), 0u) << listed[1];
  EXPECT_TRUE(std::regex_match(listed[2].str(), std::regex("face read \u00b7 fc 3 \u00b7 @100 \u00d74 \u00b7 [0-9.]+ polls/s \u00b7 .*")))
      << listed[2];
  // The line's valid exchanges and each unit's: a path of points, not an empty graph.
  EXPECT_TRUE(std::regex_search(dom, std::regex("<section id=\"recent\">.*?<svg[^>]*><path class=\"v\" d=\"M\\d+ \\d+")));
  for (int unit : {1, 2}) {
    EXPECT_TRUE(std::regex_search(dom, std::regex("data-unit=\"" + std::to_string(unit) +
                                                  "\"><div class=\"gr\"><svg[^>]*><path class=\"v\" d=\"M\\d+ \\d+")))
        << unit;
  }
  if (png != nullptr) {
    EXPECT_TRUE(vt::chromium_screenshot(url, png, 1240));
  }
}

// Eight clients asking for the page back to back: each is answered, and the
// server thread, resting after each answer, stays on a processor at most a
// quarter of the time, so the line's worker always finds one.
TEST_F(StatusServerTest, ClientsAskingBackToBackLeaveTheProcessorsToTheLine) {
  clockid_t clock;
  ASSERT_EQ(pthread_getcpuclockid(server_->thread, &clock), 0);
  auto cpu_us = [&] {
    struct timespec t;
    EXPECT_EQ(clock_gettime(clock, &t), 0);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
  };
  const int64_t cpu_from = cpu_us(), from = vt::now_us(), until = from + 1500000;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&] {
      while (vt::now_us() < until)
        if (ask("GET / HTTP/1.1\r\n\r\n").text.rfind("HTTP/1.1 200", 0) == 0) ++answered;
    });
  for (std::thread &t : clients) t.join();
  const double share = static_cast<double>(cpu_us() - cpu_from) / static_cast<double>(vt::now_us() - from);
  EXPECT_GE(answered.load(), 8);
  EXPECT_LT(share, 0.3) << answered.load() << " answers";
}

// ---- Misbehaving clients ---------------------------------------------------

struct BadCase {
  const char *name;
  int idle_before;       // connections opened first that send nothing
  std::string request;   // "" sends nothing
  const char *status;    // of the answer before the connection ends
  double min_seconds;
};

TEST_F(StatusServerTest, BadInputIsAnsweredAndClosed) {
  const std::vector<BadCase> cases = {
      {"wrong method", 0, "DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "405", 0},
      {"unknown path", 0, "GET /metrics/x HTTP/1.1\r\n\r\n", "404", 0},
      {"long path", 0, "GET /" + std::string(1000, 'p') + " HTTP/1.1\r\n\r\n", "414", 0},
      {"no end of headers", 0, "GET / HTTP/1.1\r\nX: " + std::string(6000, 'x'), "431", 0},
      {"not HTTP", 0, std::string("\x16\x03\x01\x00\x05hello", 10), "400", 0},
      {"HTTP/2.0", 0, "GET / HTTP/2.0\r\n\r\n", "505", 0},
      {"ninth connection", kStatusConnections, "", "503", 0},
      {"slow client", 0, "GET / HTTP/1.1\r\nHost: x\r\n", "408", 4.5},
  };
  for (const BadCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> idle;
    for (int i = 0; i < c.idle_before; ++i) idle.push_back(connect_now());
    Answer a = ask(c.request);
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(a.text.rfind(std::string("HTTP/1.1 ") + c.status + " ", 0), 0u) << a.text.substr(0, 100);
    EXPECT_GE(a.seconds, c.min_seconds);
    EXPECT_LT(a.seconds, c.min_seconds + 3.0 * vt::slowdown());
    for (int fd : idle) close(fd);
    // The server goes on serving (it may still be seeing the idle ones go).
    Answer next;
    for (int i = 0; i < vt::slow_ms(100) && next.text.rfind("HTTP/1.1 200", 0) != 0; ++i) {
      if (i > 0) usleep(20000);
      next = ask("GET /status HTTP/1.1\r\n\r\n");
    }
    EXPECT_EQ(next.text.rfind("HTTP/1.1 200", 0), 0u);
  }
}

// A full table renders whole through the small buffer; without a sink the
// buffer refuses to be overrun.
TEST(StatusRender, FullTableStreamsThroughTheBuffer) {
  auto s = std::make_unique<StatusSnapshot>();
  status_snapshot_reset(*s);
  s->unit_count = kStatusUnits;
  for (int i = 0; i < kStatusUnits; ++i) {
    UnitStatus &u = s->units[i];
    u = {static_cast<uint8_t>(i + 1), kOutcomeValid, kStatusSlots, {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX},
         {}, INT64_MAX, UINT64_MAX, INT64_MAX / 2, {}, 0};
    for (int k = 0; k < kStatusSlots; ++k) u.slots[k] = {static_cast<uint8_t>(k), 16, 3, kOutcomeBadCrc, true, 65535, 123, UINT32_MAX, INT64_MAX, {1, 2, 3, 4}, {}, 0};
  }
  for (auto render : {render_metrics, render_status_json, render_page}) {
    std::string text;
    char buf[kStatusOutBytes];
    TextOut out(buf, sizeof buf, [](void *c, const char *d, size_t n) { static_cast<std::string *>(c)->append(d, n); return true; }, &text);
    render(*s, out);
    EXPECT_TRUE(out.flush());
    EXPECT_GT(text.size(), 100000u);
    char small[1000];
    TextOut bounded(small, sizeof small);
    render(*s, bounded);
    EXPECT_TRUE(bounded.failed());
    EXPECT_LE(bounded.length(), sizeof small);
    EXPECT_EQ(std::string(small, bounded.length()), text.substr(0, bounded.length()));
  }
}

// ---- The last ten minutes -------------------------------------------------

// A response time for each unit, each in a bucket of its own: every second
// the median is that bucket's middle.
constexpr uint32_t kResponseUs[4] = {700, 1500, 3000, 40000};
const char *const kMedianText[4] = {"0.00075", "0.0015", "0.0035", "0.035"};

uint32_t valid_in_second(int t, int unit) { return 4 + static_cast<uint32_t>((t + unit) % 3); }

// A line of units with 5 slots each, fed to the samples a second at a time
// as the server would: in second t unit u answers valid_in_second(t, u)
// times and unit 3 misses one more, but for the `quiet` ones.
struct FedLine {
  std::unique_ptr<StatusSnapshot> s = std::make_unique<StatusSnapshot>();
  std::unique_ptr<StatusSamples> r = std::make_unique<StatusSamples>();
  int t = 1;

  explicit FedLine(int units) {
    status_snapshot_reset(*s);
    s->unit_count = static_cast<uint16_t>(units);
    for (int i = 0; i < units; ++i) {
      s->units[i] = {static_cast<uint8_t>(i + 1), kOutcomeValid, kStatusSlots, {}, {}, 150000, 0, -1, {}, 0};
      for (int k = 0; k < kStatusSlots; ++k)
        s->units[i].slots[k] = {static_cast<uint8_t>(k), 3, 1, kOutcomeValid, true, static_cast<uint16_t>(100 * k), 10, 1999000, 150000, {}, {}, 0};
    }
    s->samples = r.get();
    samples_start(*r, *s, 0);
  }
  void run(int seconds, const std::vector<int> &quiet = {}) {
    for (int end = t + seconds; t < end; ++t) {
      for (int i = 0; i < s->unit_count; ++i) {
        UnitStatus &u = s->units[i];
        if (std::find(quiet.begin(), quiet.end(), u.unit) != quiet.end()) continue;
        for (uint32_t n = valid_in_second(t, u.unit); n > 0; --n) histogram_add(u.response, kResponseUs[u.unit % 4]);
        u.exchanges[kOutcomeValid] += valid_in_second(t, u.unit);
        u.exchanges[kOutcomeNoAnswer] += u.unit == 3 ? 1 : 0;
      }
      samples_take(*r, *s, t * kSampleIntervalUs + 5000);
    }
  }
  std::string rendered(void (*render)(const StatusSnapshot &, TextOut &)) const {
    std::string text;
    char buf[kStatusOutBytes];
    TextOut out(buf, sizeof buf, [](void *c, const char *d, size_t n) { static_cast<std::string *>(c)->append(d, n); return true; }, &text);
    render(*s, out);
    EXPECT_TRUE(out.flush());
    return text;
  }
};

// Twelve minutes of a busy line of 32 units with 5 slots each and two face
// reads each, then a sample after a 3 s hold-up: the status document carries
// the last 600 seconds exactly, and the page with all its graphs stays small.
TEST(StatusRender, TenMinutesOf32UnitsInTheDocumentAndAPageThatStaysSmall) {
  FedLine line(32);
  line.s->read_count = 64;
  for (int i = 0; i < 64; ++i)
    line.s->reads[i] = {static_cast<uint8_t>(1 + i / 2), 3, static_cast<uint16_t>(1000 + i % 2 * 100), 125, true,
                        1250000, 480000, 2100000};
  const int seconds = kSampleSeconds + 20;
  line.run(seconds);
  line.s->units[0].exchanges[kOutcomeValid] += 7;  // unit 1 only, while the server was held up
  for (int n = 0; n < 7; ++n) histogram_add(line.s->units[0].response, kResponseUs[1]);
  samples_take(*line.r, *line.s, (seconds + 3) * kSampleIntervalUs + 5000);

  const std::string page = line.rendered(render_page), json = line.rendered(render_status_json);
  const std::string without = line.rendered(render_status_without_samples);
  printf("page %zu bytes, /status %zu bytes (%zu without samples), samples %zu bytes\n", page.size(), json.size(),
         without.size(), sizeof(StatusSamples));
  EXPECT_LT(page.size(), 80000u) << "leave room for what else the page lists";
  EXPECT_LT(without.size() * 5, json.size());
  EXPECT_EQ(page.find("\"samples\""), std::string::npos) << "the page draws the samples instead of carrying them";
  EXPECT_EQ(page.find("\"buckets\""), std::string::npos) << "the page shows a mean, from the count and the sum";
  for (const std::string *text : {&page, &json}) {
    const std::string read = "{\"function\":3,\"address\":1100,\"quantity\":125,\"polls_per_second\":0.476,";
    size_t n = 0;
    for (size_t at = text->find(read); at != std::string::npos; at = text->find(read, at + 1)) ++n;
    EXPECT_EQ(n, 32u) << "one read of each unit at 1100";
  }
  static const std::regex graph("<div class=\"ug\" data-unit=\"(\\d+)\"><div class=\"gr\"><svg [^>]*><path class=\"v\" d=\"M0 ");
  EXPECT_EQ(std::distance(std::sregex_iterator(page.begin(), page.end(), graph), std::sregex_iterator()), 32);

  bool missing = false;
  auto seen = vt::status_facts("json", json, &missing);
  const int held = kSampleSeconds;  // samples 24…623: seconds 24…620, then the 3 s hold-up
  for (int unit : {1, 3, 32}) {
    SCOPED_TRACE(unit);
    const std::string ring = "units." + std::to_string(unit - 1) + ".samples.";
    for (int j = 0; j < held; ++j) {
      const int t = seconds + 3 - held + 1 + j;
      const bool late = t > seconds;
      const uint32_t valid = late ? (unit == 1 ? 2 + (t == seconds + 3) : 0) : valid_in_second(t, unit);
      ASSERT_EQ(seen[ring + "valid." + std::to_string(j)], std::to_string(valid)) << "second " << t;
      ASSERT_EQ(seen[ring + "no_answer." + std::to_string(j)], unit == 3 && !late ? "1" : "0");
      ASSERT_EQ(seen[ring + "response_median_seconds." + std::to_string(j)], valid > 0 ? kMedianText[unit % 4] : "null");
    }
    EXPECT_EQ(seen.count(ring + "valid." + std::to_string(held)), 0u);
  }
  EXPECT_EQ(seen["samples.line.no_answer.0"], "1");
  EXPECT_EQ(seen["samples.line.valid.599"], "3");
}

// 34 units, so two have no ring. While units 1 and 2 and both of those are
// quiet, the rings stay where they are; once unit 34 exchanges, it takes the
// ring of unit 1, quiet for the whole window, and starts from the next second.
TEST(StatusRender, AUnitQuietForTenMinutesGivesItsRingToOneThatExchanges) {
  FedLine line(34);
  auto with_ring = [&] {
    const std::string json = line.rendered(render_status_json), ring = "\"samples\":{\"valid\":[";
    std::string units;
    for (int unit : {1, 2, 33, 34}) {
      const size_t at = json.find("\"samples\":", json.find("{\"unit\":" + std::to_string(unit) + ","));
      if (json.compare(at, ring.size(), ring) == 0 && isdigit(json[at + ring.size()])) units += std::to_string(unit) + " ";
    }
    return units;
  };
  line.run(kSampleSeconds + 5, {1, 2, 33, 34});
  EXPECT_EQ(with_ring(), "1 2 ");
  line.run(1, {1, 2, 33});
  EXPECT_EQ(with_ring(), "2 ") << "unit 34 has its ring, with nothing in it yet";
  line.run(1, {1, 2, 33});
  EXPECT_EQ(with_ring(), "2 34 ");
}

}  // namespace
