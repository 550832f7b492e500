// The Modbus TCP face in-process: request checks and settings as pure
// functions, then the server and its pool through libmodbus TCP clients and
// raw sockets. A fake serial worker in this file plays the gateway's worker
// on a line of its own: it takes the face's writes first, else the next
// unit's due read, and answers each like ScriptedUnit's default unit after a
// set line time.
// Every function, pipelining, the cache, one poll stream and idle reads are
// tested on the real binary (modbus_tcp_gateway_test.cpp); here is what
// needs the fake line or the face alone: stuck connections and descriptors,
// a full pool, a write the busy line never sends, IPv6 and a busy port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "modbusRTU.h"
#include "modbustcp.h"
#include "sleep_us.h"
#include "support/engine_support.h"
#include "support/modbus_tcp_client.h"
#include "support/net_client.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

constexpr uint8_t kSilentUnit = 9;
constexpr uint16_t kRefusedAddress = 0x9000;  // the units answer exception 2 from here on
constexpr int64_t kClosingPauseUs = 100;

// The gateway's worker, played by a thread of the test on a line of its own
// (never opened): it takes the work of the source registered on the line as
// the worker does, under the line's lock, a write first, else the next
// unit's due read, and answers each like ScriptedUnit's default unit after
// a set line time.
class FakeLine {
 public:
  explicit FakeLine(int64_t exchange_us) : exchange_us_(exchange_us) {
    prepare_table_locks(line_);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeLine() {
    set([this] { stop_ = true; });
    thread_.join();
  }
  SerialLine &line() { return line_; }
  void set(const std::function<void()> &change) {
    {
      std::lock_guard<std::mutex> lock(m_);
      change();
    }
    line_signal_changed(line_);
  }
  // Requests the units received (without CRC), oldest first.
  std::vector<Bytes> seen() {
    std::lock_guard<std::mutex> lock(m_);
    return seen_;
  }
  size_t count(const Bytes &request) {
    auto all = seen();
    return static_cast<size_t>(std::count(all.begin(), all.end(), request));
  }
  bool losing = false;  // the unit acts, but its answer never comes back
  bool paused = false;  // the worker is busy elsewhere and takes nothing

 private:
  // With the line's lock held: the next exchange of the registered source.
  bool take(WorkExchange &x, uint8_t &unit) {
    const WorkSource &source = line_.extra;
    if (!line_.extra_on) return false;
    if (source.take_urgent(source.context, x)) return true;
    for (int k = 0; k < kLastUnit; ++k)
      if (source.take_cyclic(source.context, unit = static_cast<uint8_t>(unit % kLastUnit + 1), x)) return true;
    return false;
  }
  void run() {
    uint8_t unit = 0;
    Locked table(line_.mutex);
    for (;;) {
      bool stop, paused_now;
      {
        std::lock_guard<std::mutex> lock(m_);
        stop = stop_;
        paused_now = paused;
      }
      if (stop) break;
      const uint32_t generation = line_.changed.count;
      WorkExchange x;
      if (!paused_now && take(x, unit)) {
        exchange(x);
        // As the worker's closing pause: the clients' window for the lock.
        Unlocked clients_in(table);
        std::this_thread::sleep_for(std::chrono::microseconds(kClosingPauseUs));
        continue;
      }
      if (line_.changed.count == generation)
        table.wait_until(line_.changed.signal, timespec_from_us(vt::now_us() + 20000));
    }
  }
  void exchange(const WorkExchange &x) {
    Bytes request(x.frame, x.frame + x.length - 2), reply;
    {
      std::lock_guard<std::mutex> lock(m_);
      seen_.push_back(request);
      uint16_t address = request.size() >= 4 ? static_cast<uint16_t>(request[2] << 8 | request[3]) : 0;
      if (address >= kRefusedAddress) reply = {request[0], static_cast<uint8_t>(request[1] | 0x80), 2};
      else reply = vt::ScriptedUnit::default_reply(vt::with_crc(request));
      if (request[0] == kSilentUnit || losing) reply.clear();
    }
    if (!reply.empty()) reply = vt::with_crc(reply);
    std::this_thread::sleep_for(std::chrono::microseconds(exchange_us_));
    const bool answered = !reply.empty();
    line_.extra.deliver(line_.extra.context, x,
                        {reply.data(), static_cast<int>(reply.size()), answered,
                         answered ? kOutcomeValid : kOutcomeNoAnswer, vt::now_us()});
  }
  std::unique_ptr<SerialLine> owned_ = vt::fresh_line();
  SerialLine &line_ = *owned_;
  int64_t exchange_us_;
  std::mutex m_;
  std::vector<Bytes> seen_;
  bool stop_ = false;
  std::thread thread_;
};

using Client = vt::ModbusTcpClient;

class ModbusTcp : public ::testing::Test {
 protected:
  void start(int64_t exchange_us, uint32_t wait_ms = 300, uint32_t idle_ms = 10000, uint32_t max_age_ms = 2000,
             const AllowList *allow = nullptr) {
    line = std::make_unique<FakeLine>(exchange_us);
    ModbusTcpSettings s;
    s.endpoint = {AF_INET, {127, 0, 0, 1}, 0};
    s.wait_ms = static_cast<uint32_t>(vt::slow_ms(static_cast<int>(wait_ms)));
    s.idle_ms = idle_ms;
    s.max_age_ms = max_age_ms;
    s.allow = allow;
    ASSERT_EQ(modbustcp_start(*face, s, line->line()), nullptr);
    port = modbustcp_endpoint(*face).port;
  }
  void TearDown() override {
    modbustcp_stop(*face);
    line.reset();
  }
  ModbusTcpCounters counters() { return modbustcp_counters(*face); }
  std::unique_ptr<ModbusTcpFace> face = std::make_unique<ModbusTcpFace>();
  std::unique_ptr<FakeLine> line;
  int port = 0;
};

Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// A PDU of function `f` with two 16-bit fields and, for 15 and 16, a byte
// count and that many value bytes (or `values` of them when given).
Bytes pdu(uint8_t f, uint16_t a, uint16_t b, int count = -1, int values = -1) {
  Bytes p = {f};
  for (uint16_t v : {a, b}) p.insert(p.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  if (count >= 0) p.push_back(static_cast<uint8_t>(count));
  p.resize(p.size() + static_cast<size_t>(values >= 0 ? values : std::max(count, 0)), 0x5A);
  return p;
}

// ---- Request checks: pure, then the same requests through a real client ----

struct RequestCase {
  const char *name;
  uint8_t unit;
  Bytes pdu;
  uint8_t check;  // what check_request says
  uint8_t wire;   // the exception code a client gets, 0 for a normal answer
};

const RequestCase kRequests[] = {
    {"read 125 registers", 1, pdu(3, 0, 125), 0, 0},
    {"read 126 registers", 1, pdu(3, 0, 126), kExIllegalValue, kExIllegalValue},
    {"read 0 input registers", 1, pdu(4, 0, 0), kExIllegalValue, kExIllegalValue},
    {"read 2000 coils", 1, pdu(1, 0, 2000), 0, 0},
    {"read 2001 inputs", 1, pdu(2, 0, 2001), kExIllegalValue, kExIllegalValue},
    {"read without quantity", 1, {3, 0, 0}, kExIllegalValue, kExIllegalValue},
    {"coil on", 1, pdu(5, 1, 0xFF00), 0, 0},
    {"coil value 0x1234", 1, pdu(5, 1, 0x1234), kExIllegalValue, kExIllegalValue},
    {"register and a stray byte", 1, pdu(6, 1, 7, 1, 0), kExIllegalValue, kExIllegalValue},
    {"1968 coils", 1, pdu(15, 0, 1968, 246), 0, 0},
    {"1969 coils", 1, pdu(15, 0, 1969, 247), kExIllegalValue, kExIllegalValue},
    {"123 registers", 1, pdu(16, 0, 123, 246), 0, 0},
    {"124 registers", 1, pdu(16, 0, 124, 248, 0), kExIllegalValue, kExIllegalValue},
    {"byte count not the quantity's", 1, pdu(16, 0, 2, 3), kExIllegalValue, kExIllegalValue},
    {"fewer values than the byte count", 1, pdu(16, 0, 2, 4, 2), kExIllegalValue, kExIllegalValue},
    {"function 7, refused by the unit itself", 1, {7}, 0, kExIllegalValue},
    {"function 9", 1, {9, 0, 0}, kExIllegalFunction, kExIllegalFunction},
    {"MEI type 13", 1, {0x2B, 0x0D, 0, 0}, kExIllegalFunction, kExIllegalFunction},
    {"device identification code 5", 1, {0x2B, 0x0E, 5, 0}, kExIllegalValue, kExIllegalValue},
    {"mask write without its or-mask", 1, {22, 0, 1, 0xFF, 0xFF}, kExIllegalValue, kExIllegalValue},
    {"read/write writing 122 registers", 1, {23, 0, 0, 0, 1, 0, 0, 0, 122, 244, 1, 2}, kExIllegalValue,
     kExIllegalValue},
    {"read/write reading 126 registers", 1, {23, 0, 0, 0, 126, 0, 0, 0, 1, 2, 1, 2}, kExIllegalValue,
     kExIllegalValue},
    {"unit 0", 0, pdu(6, 1, 7), kExPathUnavailable, kExPathUnavailable},
    {"unit 248", 248, pdu(3, 0, 1), kExPathUnavailable, kExPathUnavailable},
    {"unit 255", 255, pdu(3, 0, 1), kExPathUnavailable, kExPathUnavailable},
    {"unit 247", 247, pdu(3, 0, 1), 0, 0},
    {"silent unit", kSilentUnit, pdu(3, 0, 1), 0, kExTargetNoResponse},
    {"the unit's own exception", 1, pdu(3, kRefusedAddress, 1), 0, 2},
};

TEST(ModbusTcpCodec, ChecksEveryRequest) {
  for (const RequestCase &c : kRequests)
    EXPECT_EQ(check_request(c.unit, c.pdu.data(), static_cast<int>(c.pdu.size())), c.check) << c.name;
}

TEST_F(ModbusTcp, AnswersEveryRequestThroughLibmodbus) {
  start(500);
  Client client(port);
  ASSERT_TRUE(client.connected);
  for (const RequestCase &c : kRequests) {
    Bytes body = {c.unit};
    body.insert(body.end(), c.pdu.begin(), c.pdu.end());
    Bytes got = client.raw(body);
    ASSERT_GE(got.size(), 2u) << c.name;
    if (c.wire == 0) {
      EXPECT_EQ(got[0], c.pdu[0]) << c.name;
    } else {
      EXPECT_EQ(got, (Bytes{static_cast<uint8_t>(c.pdu[0] | 0x80), c.wire})) << c.name;
    }
  }
  ModbusTcpCounters counts = counters();
  EXPECT_EQ(counts.by_status[0], 6u);
  EXPECT_EQ(counts.by_status[kExIllegalValue], 15u);
}

TEST(ModbusTcpCodec, AnswerMustFitItsRequest) {
  const Bytes read3 = {1, 3, 0, 0, 0, 2}, coils = {1, 1, 0, 0, 0, 10}, write6 = {1, 6, 0, 1, 0, 7};
  const struct {
    const Bytes &request;
    Bytes answer;
    bool fits;
  } cases[] = {
      {read3, {1, 3, 4, 0, 1, 0, 2}, true},    {read3, {1, 3, 2, 0, 1}, false},
      {read3, {1, 3, 4, 0, 1, 0}, false},      {read3, {2, 3, 4, 0, 1, 0, 2}, false},
      {read3, {1, 0x83, 2}, true},             {read3, {1, 0x83, 2, 0}, false},
      {read3, {1, 4, 4, 0, 1, 0, 2}, false},   {coils, {1, 1, 2, 0x55, 0x01}, true},
      {write6, {1, 6, 0, 1, 0, 7}, true},      {write6, {1, 6, 0, 1, 0}, false},
  };
  // The face relays what the engine's reply rules accepted for its request.
  for (const auto &c : cases) {
    const Bytes request = vt::with_crc(c.request), answer = vt::with_crc(c.answer);
    EXPECT_EQ(MRTU_ReplyMatches(request.data(), static_cast<int>(request.size()), answer.data(),
                                static_cast<int>(answer.size())),
              c.fits)
        << vt::hex(c.answer);
  }
}

Bytes adu(uint16_t transaction, uint16_t protocol, uint8_t unit, const Bytes &p, int length = -1) {
  Bytes a = be16(transaction);
  for (uint16_t v : {protocol, static_cast<uint16_t>(length >= 0 ? length : 1 + static_cast<int>(p.size()))}) {
    Bytes b = be16(v);
    a.insert(a.end(), b.begin(), b.end());
  }
  a.push_back(unit);
  a.insert(a.end(), p.begin(), p.end());
  return a;
}

TEST_F(ModbusTcp, BrokenFramesCloseOnlyTheirConnection) {
  start(500);
  Client bystander(port);
  ASSERT_TRUE(bystander.connected);
  uint16_t reg;
  const Bytes broken[] = {adu(1, 1, 1, pdu(3, 0, 1)), adu(1, 0, 1, {}, 0), adu(1, 0, 1, {}, 1),
                          adu(1, 0, 1, pdu(3, 0, 1), 255)};
  for (const Bytes &b : broken) {
    vt::NetClient raw(port);
    ASSERT_TRUE(raw.send(b));
    EXPECT_TRUE(raw.wait_closed(vt::slow_ms(2000))) << vt::hex(b);
    EXPECT_EQ(modbus_read_registers(bystander.ctx, 0, 1, &reg), 1) << vt::hex(b);
  }
}

TEST_F(ModbusTcp, ServesThirtyTwoClientsBesideStuckOnes) {
  start(200);
  int fds_before = vt::count_open_fds(getpid());
  vt::NetClient half_header(port), never_reads(port);
  ASSERT_TRUE(half_header.send({0, 1, 0}));
  ASSERT_TRUE(never_reads.send(adu(1, 0, 1, pdu(3, 0, 1))));
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i)
    clients.emplace_back([&, i] {
      Client c(port, 1 + i % 4);
      uint16_t regs[4];
      for (int k = 0; k < 20 && c.connected; ++k)
        if (modbus_read_registers(c.ctx, 4 * (i % 8), 4, regs) == 4 && regs[0] == 4 * (i % 8)) ++answered;
    });
  for (std::thread &t : clients) t.join();
  EXPECT_EQ(answered, 32 * 20);
  half_header.close();
  never_reads.close();
  EXPECT_TRUE(vt::wait_until([this] { return counters().connected == 0; }, 3000));
  EXPECT_EQ(counters().accepted, 34u);
  EXPECT_EQ(vt::count_open_fds(getpid()), fds_before);
}

// A newcomer is turned away for one of two causes, and an operator needs to
// tell them apart: a client outside the allowed networks is a setting to
// fix, a full face is a capacity to plan. Each is counted as its own.
TEST_F(ModbusTcp, CountsTurnedAwayConnectionsByCause) {
  const struct {
    const char *allow;  // nullptr: everyone
    int holders;        // connections that take a place first
    uint64_t refused, full;
  } cases[] = {{"10.0.0.0/8", 0, 1, 0}, {nullptr, kFaceConnections, 0, 1}};
  for (const auto &c : cases) {
    AllowList allow{};
    char why[80];
    if (c.allow != nullptr) {
      ASSERT_EQ(ParseAllowList(c.allow, allow, why, sizeof why), nullptr) << why;
    }
    start(500, 300, 10000, 2000, c.allow != nullptr ? &allow : nullptr);
    std::vector<std::unique_ptr<vt::NetClient>> holders;
    for (int i = 0; i < c.holders; ++i) holders.push_back(std::make_unique<vt::NetClient>(port));
    const uint64_t held = static_cast<uint64_t>(c.holders);
    ASSERT_TRUE(vt::wait_until([&] { return counters().connected == held; }, vt::slow_ms(3000)));
    // A byte of a request each: none is silent, so none gives its place up.
    for (auto &h : holders) h->send({0});
    vt::NetClient newcomer(port);
    EXPECT_TRUE(newcomer.wait_closed(vt::slow_ms(2000))) << (c.allow ? c.allow : "full");
    ModbusTcpCounters counts = counters();
    EXPECT_EQ(counts.refused, c.refused) << (c.allow ? c.allow : "full");
    EXPECT_EQ(counts.full, c.full) << (c.allow ? c.allow : "full");
    EXPECT_EQ(counts.accepted, held);
    holders.clear();
    modbustcp_stop(*face);
    line.reset();
  }
}

// A request whose first bytes came with an earlier one is judged by when
// its rest came, not by how long the earlier one's answer took.
TEST_F(ModbusTcp, ARequestBehindASlowAnswerIsTakenWhole) {
  constexpr int kSlowAnswerMs = 7500;  // longer than a request may take to be whole
  start(500, kSlowAnswerMs);
  Client client(port);
  ASSERT_TRUE(client.connected);
  modbus_set_response_timeout(client.ctx, static_cast<uint32_t>(vt::slow_ms(kSlowAnswerMs) / 1000 + 5), 0);
  const Bytes slow = adu(1, 0, kSilentUnit, pdu(3, 0, 1)), next = adu(2, 0, 1, pdu(3, 0, 1));
  Bytes first = slow;
  first.insert(first.end(), next.begin(), next.begin() + 5);
  const Bytes rest(next.begin() + 5, next.end());
  const int fd = modbus_get_socket(client.ctx);
  ASSERT_EQ(send(fd, first.data(), first.size(), MSG_NOSIGNAL), static_cast<ssize_t>(first.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(send(fd, rest.data(), rest.size(), MSG_NOSIGNAL), static_cast<ssize_t>(rest.size()));
  uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
  ASSERT_EQ(modbus_receive_confirmation(client.ctx, answer), 9);
  EXPECT_EQ(answer[8], kExTargetNoResponse);
  ASSERT_EQ(modbus_receive_confirmation(client.ctx, answer), 11);
  EXPECT_EQ(answer[1], 2) << "the second request's answer";
  EXPECT_EQ(counters().incomplete, 0u);
}

// ---- The cache ----

TEST_F(ModbusTcp, FullPoolDropsTheReadAskedLeast) {
  start(100, 300, 50, 60000);
  Client client(port);
  uint16_t reg;
  for (int address = 0; address <= kFaceReads; ++address)
    ASSERT_EQ(modbus_read_registers(client.ctx, address, 1, &reg), 1) << address;
  line->set([&] { line->paused = true; });
  EXPECT_EQ(modbus_read_registers(client.ctx, 1, 1, &reg), 1) << "still cached";
  EXPECT_EQ(modbus_read_registers(client.ctx, 0, 1, &reg), -1) << "dropped for the last one";
  EXPECT_EQ(errno, EMBXGTAR);
}

// ---- Writes ----

TEST_F(ModbusTcp, WritesReachTheUnitOnce) {
  start(1000, 200);
  Client client(port);
  const struct {
    const char *name;
    bool losing, paused;
    int result;
    size_t on_line;
  } cases[] = {
      {"answered", false, false, 1, 1},
      {"answer lost", true, false, -1, 1},
      {"line busy past the wait", false, true, -1, 0},
  };
  uint16_t address = 40;
  for (const auto &c : cases) {
    line->set([&] {
      line->losing = c.losing;
      line->paused = c.paused;
    });
    EXPECT_EQ(modbus_write_register(client.ctx, ++address, 0x55), c.result) << c.name;
    line->set([&] { line->losing = line->paused = false; });
    std::this_thread::sleep_for(std::chrono::milliseconds(vt::slow_ms(300)));
    EXPECT_EQ(line->count({1, 6, 0, static_cast<uint8_t>(address), 0, 0x55}), c.on_line) << c.name;
  }
}

// ---- Binding ----

TEST_F(ModbusTcp, BindsIPv6AndReportsAPortInUse) {
  start(500);
  ModbusTcpSettings s;
  s.endpoint = {AF_INET, {127, 0, 0, 1}, static_cast<uint16_t>(port)};
  EXPECT_THAT(modbustcp_start(*face, s, line->line()), ::testing::HasSubstr(strerror(EALREADY)));
  modbustcp_stop(*face);
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t len = sizeof a;
  getsockname(holder, reinterpret_cast<sockaddr *>(&a), &len);
  s.endpoint.port = ntohs(a.sin_port);
  EXPECT_THAT(modbustcp_start(*face, s, line->line()), ::testing::HasSubstr(strerror(EADDRINUSE)));
  close(holder);

  ASSERT_EQ(net_parse_endpoint("[::1]:1", s.endpoint), EndpointFault::kNone);
  s.endpoint.port = 0;
  ASSERT_EQ(modbustcp_start(*face, s, line->line()), nullptr);
  std::string service = std::to_string(modbustcp_endpoint(*face).port);
  modbus_t *ctx = modbus_new_tcp_pi("::1", service.c_str());
  modbus_set_slave(ctx, 1);
  uint16_t reg;
  EXPECT_EQ(modbus_connect(ctx), 0);
  EXPECT_EQ(modbus_read_registers(ctx, 3, 1, &reg), 1);
  EXPECT_EQ(reg, 3);
  modbus_close(ctx);
  modbus_free(ctx);
}

}  // namespace
