// The status face of the real gateway: a scripted unit on its line, a real
// client filing requests, and what the metrics, the page and SIGUSR1 then
// say; and how VELKORD_STATUS starts, fails and admits peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "status.h"
#include "support/engine_support.h"
#include "support/net_client.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/status_readers.h"
#include "support/unit.h"

namespace {

using vt::http_get;

std::vector<std::string> gateway_args(int tcp) {
  return {"-sp", "0", "-br", "115200", "-db", "8", "-sb", "1", "-p", std::to_string(tcp)};
}

std::string status_line(int port) { return "---- status  127.0.0.1:" + std::to_string(port) + " ---\r\n"; }

// The sum of one unit's exchanges as the metrics tell it.
long exchanges_of(const std::string &metrics, int unit) {
  static const std::regex sample("velkord_exchanges_total\\{unit=\"(\\d+)\",outcome=\"\\w+\"\\} (\\d+)");
  long total = 0;
  for (std::sregex_iterator i(metrics.begin(), metrics.end(), sample), end; i != end; ++i)
    if (std::stol((*i)[1]) == unit) total += std::stol((*i)[2]);
  return total;
}

constexpr uint8_t kUnit = 7;

// One request of `unit` in mode 1 with a lifetime shorter than one
// exchange's charge, so exactly one exchange; returns once the metrics count
// it, `done` exchanges of that unit in all.
void exchange_once(vt::NetClient &client, int http, uint8_t unit, int32_t timeout, long done) {
  vt::RequestFields r;
  r.keep_alive = 30000000, r.mode = 1, r.timeout = timeout, r.lifetime = 1;
  r.frame = {unit, 3, 0, static_cast<uint8_t>(done), 0, 1};
  ASSERT_TRUE(client.exchange(vt::build_request(r), vt::slow_ms(5000)).has_value());
  ASSERT_TRUE(vt::wait_until([&] { return exchanges_of(http_get(http, "/metrics"), unit) >= done; }, 5000));
}

// A unit doing 3 valid, 2 silent, 1 bad CRC and 1 foreign reply (a sound
// frame from another address), one exchange per request; then every reader
// of the status face must tell the same counts.
TEST(StatusOfTheGateway, ScriptedUnitSeenThroughMetricsPageAndSignal) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  int tcp = vt::free_tcp_port(), http = vt::free_tcp_port();
  vt::Gateway gw(gateway_args(tcp), {"VELKORD_TTY_PATTERN=" + line.pattern(),
                                     "VELKORD_STATUS=127.0.0.1:" + std::to_string(http)});
  ASSERT_TRUE(gw.wait_for_output(status_line(http), vt::slow_ms(10000))) << gw.output();
  vt::NetClient client(tcp);

  vt::Behaviour foreign = vt::Behaviour::Answer();
  foreign.wrong_unit = true;
  const std::vector<vt::Behaviour> script = {vt::Behaviour::Silent(), vt::Behaviour::Silent(), vt::Behaviour::WrongCrc(),
                                             foreign, vt::Behaviour::Answer(), vt::Behaviour::Answer(),
                                             vt::Behaviour::Answer()};
  // A unit that answers is given half a second, however slow its thread on
  // a loaded machine; a silent one only 20 ms.
  for (size_t i = 0; i < script.size(); ++i) {
    unit.set_behaviour(kUnit, script[i]);
    exchange_once(client, http, kUnit, script[i].silent ? 20000 : 500000, static_cast<long>(i + 1));
  }
  std::string answer = http_get(http, "/metrics");
  std::string metrics = answer.substr(answer.find("\r\n\r\n") + 4);
  bool missing = false;
  auto seen = vt::status_facts("metrics", metrics, &missing);
  if (!missing) {
    const std::string u = "unit=\"" + std::to_string(kUnit) + "\"";
    const std::map<std::string, std::string> want = {
        {"velkord_exchanges_total{outcome=\"valid\"," + u + "}", "3.0"},
        {"velkord_exchanges_total{outcome=\"no_answer\"," + u + "}", "2.0"},
        {"velkord_exchanges_total{outcome=\"bad_crc\"," + u + "}", "1.0"},
        {"velkord_exchanges_total{outcome=\"mismatch\"," + u + "}", "1.0"},
        {"velkord_response_seconds_count{" + u + "}", "5.0"},  // every exchange that heard a first byte
        {"velkord_line_bytes_total{direction=\"tx\"}", "56.0"},  // 7 requests of 8 bytes
        {"velkord_line_bytes_total{direction=\"rx\"}", "35.0"},  // 5 replies of 7
        {"velkord_stale_bytes_dropped_total{}", "0.0"},
        {"velkord_active_slots{}", "0.0"}, {"velkord_link_up{}", "1.0"}, {"velkord_link_losses_total{}", "0.0"},
        {"velkord_clients_connected{protocol=\"native\"}", "1.0"},
        {"velkord_connections_total{protocol=\"native\",result=\"accepted\"}", "1.0"},
        {"velkord_build_info{version=\"01.02.03\"}", "1.0"}};
    for (const auto &[key, value] : want) EXPECT_EQ(seen[key], value) << key;
    EXPECT_EQ(seen.count("velkord_last_valid_answer_age_seconds{" + u + "}"), 1u);
    EXPECT_NE(seen["velkord_start_time_seconds{}"], "");
  }
  EXPECT_EQ(exchanges_of(metrics, kUnit), 7) << metrics;
  EXPECT_EQ(metrics.find("unit=\"1\""), std::string::npos) << "only units exchanged appear";

  if (vt::have_chromium()) {
    std::string dom = vt::chromium_dom("http://127.0.0.1:" + std::to_string(http) + "/");
    std::smatch row;
    ASSERT_TRUE(std::regex_search(dom, row, std::regex("<tr class=\"unit (\\w+)\" id=\"unit-7\">(.*?)</tr>")))
        << dom.substr(0, 3000);
    EXPECT_EQ(row[1], "answering");
    EXPECT_NE(row[2].str().find("<td>3</td><td>2</td><td>1</td><td>1</td>"), std::string::npos) << row[2];
  }

  ASSERT_EQ(kill(gw.pid(), SIGUSR1), 0);
  EXPECT_TRUE(gw.wait_for_output("unit 7 answering valid=3 no_answer=2 bad_crc=1 mismatch=1 response_ms=",
                                 vt::slow_ms(5000)))
      << gw.output();
  EXPECT_EQ(gw.wait_exit(100), -1) << "SIGUSR1 must not end the gateway";
}

// Unit 7 answers 150 ms after a 2 ms time-out; the exchange of unit 8 that
// follows finds its reply among the stale bytes. The metrics count it late
// for unit 7, and /status gives its answer time and the time-out that would
// have caught it: half as long again, rounded up to 50 ms. The wide gap
// keeps a worker that a loaded machine holds back for a few milliseconds
// from finding the reply already there when its wait ends.
TEST(StatusOfTheGateway, LateReplyIsCountedWithTheTimeOutThatWouldCatchIt) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  unit.set_behaviour(kUnit, vt::Behaviour::Late(150000));
  int tcp = vt::free_tcp_port(), http = vt::free_tcp_port();
  vt::Gateway gw(gateway_args(tcp), {"VELKORD_TTY_PATTERN=" + line.pattern(),
                                     "VELKORD_STATUS=127.0.0.1:" + std::to_string(http)});
  ASSERT_TRUE(gw.wait_for_output(status_line(http), vt::slow_ms(10000))) << gw.output();
  vt::NetClient client(tcp);
  for (uint8_t u : {kUnit, static_cast<uint8_t>(kUnit + 1)}) {
    vt::RequestFields r;  // one exchange per request, as above
    r.keep_alive = 30000000, r.mode = 1, r.timeout = u == kUnit ? 2000 : 200000, r.lifetime = 1;
    r.frame = {u, 3, 0, 0, 0, 1};
    ASSERT_TRUE(client.exchange(vt::build_request(r), vt::slow_ms(5000)).has_value());
    ASSERT_TRUE(
        vt::wait_until([&] { return exchanges_of(http_get(http, "/metrics"), u) == 1; }, vt::slow_ms(5000)));
    // Unit 7's reply is out before unit 8 is asked, however slow the unit's
    // thread is on a loaded machine.
    if (u == kUnit) {
      ASSERT_TRUE(vt::wait_until([&] { return !unit.sent().empty(); }, vt::slow_ms(2000)));
    }
  }
  EXPECT_NE(http_get(http, "/metrics").find("velkord_late_replies_total{unit=\"7\"} 1\n"), std::string::npos);
  std::string status = http_get(http, "/status");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(status, m, std::regex("\"unit\":7,.*?\"late_replies\":1,\"late_answer_seconds\":"
                                                      "([0-9.]+),\"timeout_to_catch_seconds\":([0-9.]+)")))
      << status;
  const double answered = std::stod(m[1]), catches = std::stod(m[2]);
  EXPECT_GE(answered, 0.149);
  EXPECT_GE(catches, 1.5 * answered - 1e-6);
  EXPECT_LT(catches - 1.5 * answered, 0.05);
  EXPECT_NEAR(catches * 20, std::round(catches * 20), 1e-6) << "a whole number of 50 ms";
}

// ---- The last ten minutes ----------------------------------------------------

// The series `name` of a ring in the facts of a status document ("units.0.samples"),
// oldest second first.
std::vector<std::string> series(std::map<std::string, std::string> &facts, const std::string &ring,
                                const char *name) {
  std::vector<std::string> values;
  for (std::string key; facts.count(key = ring + "." + name + "." + std::to_string(values.size()));)
    values.push_back(facts[key]);
  return values;
}

long sum(const std::vector<std::string> &values) {
  long total = 0;
  for (const std::string &v : values) total += std::stol(v);
  return total;
}

// Unit 7 answers 3 times, stays silent twice, sends one bad CRC and one
// foreign reply, every reply 250 ms after its request; then 32 more units
// answer once each, one more than there are rings left. The samples in
// /status add up to those counts second by second, each second's median is
// the middle of the bucket 200–500 ms, and the page draws it all.
TEST(StatusOfTheGateway, SamplesCountEachSecondAndThePageDrawsThem) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  int tcp = vt::free_tcp_port(), http = vt::free_tcp_port();
  const int64_t spawned = vt::now_us();
  vt::Gateway gw(gateway_args(tcp), {"VELKORD_TTY_PATTERN=" + line.pattern(),
                                     "VELKORD_STATUS=127.0.0.1:" + std::to_string(http)});
  ASSERT_TRUE(gw.wait_for_output(status_line(http), vt::slow_ms(10000))) << gw.output();
  const int64_t started = vt::now_us();
  vt::NetClient client(tcp);

  auto slow = [](vt::Behaviour b) { return b.delay_us = 250000, b; };
  vt::Behaviour foreign = slow(vt::Behaviour::Answer());
  foreign.wrong_unit = true;
  const std::vector<vt::Behaviour> script = {vt::Behaviour::Silent(), slow(vt::Behaviour::WrongCrc()), foreign,
                                             slow(vt::Behaviour::Answer()), vt::Behaviour::Silent(),
                                             slow(vt::Behaviour::Answer()), slow(vt::Behaviour::Answer())};
  for (size_t i = 0; i < script.size(); ++i) {
    unit.set_behaviour(kUnit, script[i]);
    exchange_once(client, http, kUnit, script[i].silent ? 20000 : 1000000, static_cast<long>(i + 1));
  }
  constexpr int kMore = kSampleUnits;
  for (uint8_t u = kUnit + 1; u <= kUnit + kMore; ++u) exchange_once(client, http, u, 500000, 1);
  // Until the line's samples have all, a second later at most.
  std::map<std::string, std::string> facts;
  int64_t asked = 0;
  ASSERT_TRUE(vt::wait_until([&] {
    const std::string status = http_get(http, "/status");
    asked = vt::now_us();
    bool missing = false;
    facts = vt::status_facts("json", status.substr(status.find("\r\n\r\n") + 4), &missing);
    return sum(series(facts, "samples.line", "valid")) == 3 + kMore;
  }, 5000));
  const double age = static_cast<double>(asked - started) / 1e6, life = static_cast<double>(asked - spawned) / 1e6;
  const std::string mine = "units.0.samples";
  ASSERT_EQ(facts["units.0.unit"], "7");
  const std::map<std::string, long> counts = {{"valid", 3}, {"no_answer", 2}, {"bad_crc", 1}, {"mismatch", 1}};
  for (const auto &[outcome, n] : counts) {
    EXPECT_EQ(sum(series(facts, mine, outcome.c_str())), n) << outcome;
    EXPECT_EQ(sum(series(facts, "samples.line", outcome.c_str())), outcome == "valid" ? n + kMore : n) << outcome;
    // The other units only answered, so the line's failures are unit 7's, second by second.
    if (outcome != "valid") {
      EXPECT_EQ(series(facts, mine, outcome.c_str()), series(facts, "samples.line", outcome.c_str()));
    }
  }
  const auto valid = series(facts, mine, "valid"), bad = series(facts, mine, "bad_crc"),
             foreign_replies = series(facts, mine, "mismatch"), medians = series(facts, mine, "response_median_seconds");
  ASSERT_EQ(medians.size(), valid.size());
  // A machine loaded enough to hold a reply back by a quarter of a second
  // moves it to a later bucket: its median is higher and the page's graph
  // of them no longer level, which is no fault of the samples.
  bool level = true;
  for (size_t j = 0; j < medians.size(); ++j) {
    const bool heard = valid[j] != "0" || bad[j] != "0" || foreign_replies[j] != "0";
    if (!heard) {
      EXPECT_EQ(medians[j], "null") << "second " << j;
    } else if (medians[j] != "0.35") {
      level = false;
      EXPECT_GT(std::stod(medians[j]), 0.35) << "second " << j;
    }
  }
  // One sample a second since the server started, the newest at most a second old.
  const size_t seconds = series(facts, "samples.line", "valid").size();
  EXPECT_GE(static_cast<double>(seconds), age - 2);
  EXPECT_LE(static_cast<double>(seconds), life + 1);
  EXPECT_EQ(facts["units.31.unit"], "38");
  EXPECT_EQ(sum(series(facts, "units.31.samples", "valid")), 1);
  EXPECT_EQ(facts["units.32.unit"], "39");
  EXPECT_EQ(facts["units.32.samples"], "null") << "32 rings, all taken";

  const std::string page = http_get(http, "/");
  std::smatch g;
  ASSERT_TRUE(std::regex_search(page, g, std::regex("data-unit=\"7\"><div class=\"gr\"><svg[^>]*>(.*?)</svg><b>[^<]*</b></div>"
                                                     "<div class=\"gr\"><svg[^>]*><path class=\"t\" d=\"([^\"]*)\"/></svg><b>([^<]*)</b>")))
      << page.substr(0, 3000);
  for (const char *outcome : {"v", "n", "c", "m"})
    EXPECT_NE(g[1].str().find("<path class=\"" + std::string(outcome) + "\" d=\"M"), std::string::npos) << outcome;
  if (level) {
    EXPECT_EQ(g[3], "350 ms");
    // Every median at the peak, y = 1: runs that start there and stay level.
    EXPECT_TRUE(std::regex_match(g[2].str(), std::regex("(M\\d+ 1(h\\d+)?)+"))) << g[2];
  }
  EXPECT_NE(page.find("data-unit=\"39\"><p class=\"none\">No graph"), std::string::npos);
  EXPECT_TRUE(std::regex_search(page, std::regex("<section id=\"recent\">.*<path class=\"v\" d=\"M\\d+ \\d+")));
}

// ---- Start-up ----------------------------------------------------------------

struct StartCase {
  const char *name;
  std::string value;      // of VELKORD_STATUS; "BUSY" binds a port first
  int status;             // of the run; -1: keeps running
  const char *stderr_has; // "" when nothing goes to standard error
};

TEST(StatusOfTheGateway, StartsWithItsLineOrEndsWith255NamingTheVariable) {
  const std::vector<StartCase> cases = {
      {"good", "127.0.0.1:PORT", -1, ""},
      {"not an address", "localhost:9502", 255, "VELKORD_STATUS=\"localhost:9502\": not a numeric IPv4 address"},
      {"port 0", "0", 255, "VELKORD_STATUS=\"0\": the port is not a number"},
      {"port taken", "BUSY", 255, "VELKORD_STATUS=\"127.0.0.1:PORT\": cannot bind 127.0.0.1:PORT: Address already in use"},
  };
  for (const StartCase &c : cases) {
    SCOPED_TRACE(c.name);
    vt::PtyPair line(0);
    int tcp = vt::free_tcp_port(), http = vt::free_tcp_port();
    auto put_port = [&](std::string s) { return std::regex_replace(s, std::regex("PORT"), std::to_string(http)); };
    int squatter = -1;
    std::string value = put_port(c.value);
    if (c.value == "BUSY") {
      squatter = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = {};
      a.sin_family = AF_INET, a.sin_port = htons(static_cast<uint16_t>(http)), a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
      ASSERT_EQ(listen(squatter, 1), 0);
      value = put_port("127.0.0.1:PORT");
    }
    std::vector<std::string> env = {"VELKORD_TTY_PATTERN=" + line.pattern(), "VELKORD_STATUS=" + value};
    if (c.status == -1) {
      vt::Gateway gw(gateway_args(tcp), env);
      std::string server = "---- opening tcp/ip  " + std::to_string(tcp) + " ----\r\n";
      ASSERT_TRUE(gw.wait_for_output(status_line(http), vt::slow_ms(10000))) << gw.output();
      EXPECT_NE(gw.output().find(server + status_line(http)), std::string::npos) << "right after the server line";
      EXPECT_EQ(gw.wait_exit(100), -1);
    } else {
      vt::RunResult r = vt::run_velkord(gateway_args(tcp), vt::slow_ms(10000), env);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.err.rfind(put_port(c.stderr_has), 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.out.find("---- status"), std::string::npos);
      // An invalid value is refused before the line is opened.
      if (c.value != "BUSY") {
        EXPECT_EQ(r.out.find("opening serial port"), std::string::npos) << r.out;
      }
    }
    if (squatter >= 0) close(squatter);
  }
}

// A peer outside VELKORD_ALLOW is closed at once, before it is read or answered.
TEST(StatusOfTheGateway, StatusPortAdmitsOnlyAllowedPeers) {
  vt::PtyPair line(0);
  int tcp = vt::free_tcp_port(), http = vt::free_tcp_port();
  vt::Gateway gw(gateway_args(tcp), {"VELKORD_TTY_PATTERN=" + line.pattern(), "VELKORD_ALLOW=192.0.2.0/24",
                                     "VELKORD_STATUS=127.0.0.1:" + std::to_string(http)});
  ASSERT_TRUE(gw.wait_for_output(status_line(http), vt::slow_ms(10000))) << gw.output();
  EXPECT_EQ(http_get(http, "/metrics"), "");
}

}  // namespace
