// The unit simulator velkord-sim as a program: started for real, reached
// through its link by a libmodbus RTU client (or raw bytes on the line), and
// stopped with a signal.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/pty.h"
#include "support/rtu_client.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The simulator is built next to the gateway: <build>/velkord, <build>/tools/velkord-sim.
std::string sim_binary() {
  std::string gateway = VELKORD_BINARY;
  return gateway.substr(0, gateway.rfind('/')) + "/tools/velkord-sim";
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// True when `path` leads to a terminal device (a link to a stale target does not).
bool leads_to_tty(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Exit status, 1000 + signal when killed by one, -1 when still running after timeout_ms.
int wait_child(pid_t pid, int timeout_ms) {
  int64_t end = vt::now_us() + int64_t{timeout_ms} * 1000;
  for (;;) {
    int ws = 0;
    if (waitpid(pid, &ws, WNOHANG) == pid) return WIFEXITED(ws) ? WEXITSTATUS(ws) : 1000 + WTERMSIG(ws);
    if (vt::now_us() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A velkord-sim process in a temporary folder of its own, its link at
// "<folder>/ttyM0" unless link_path says otherwise, its output (stdout and
// stderr) in "<folder>/log". With wait_ready it waits for the link.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args, bool wait_ready = true, std::string link_path = "")
      : dir_(vt::make_temp_dir()), link_(link_path.empty() ? dir_ + "/ttyM0" : link_path) {
    std::vector<std::string> argv_s = {sim_binary(), "--link", link(), "--verbose"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (access(argv[0], X_OK) != 0) {
      rmdir(dir_.c_str());
      throw std::runtime_error("velkord-sim is not built: " + argv_s[0]);
    }
    std::string log_path = log();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (wait_ready) {
      int64_t end = vt::now_us() + 5000000;
      while (!leads_to_tty(link()) && vt::now_us() < end && (status_ = wait_child(pid_, 0)) == -1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (!leads_to_tty(link())) {
        std::string out = output();
        shut_down();  // a throwing constructor gets no destructor call
        throw std::runtime_error("velkord-sim did not come up: " + out);
      }
    }
  }
  ~Sim() { shut_down(); }
  Sim(const Sim &) = delete;
  Sim &operator=(const Sim &) = delete;

  // Sends `sig` and returns the exit status (-1: still running after 5 s).
  int stop(int sig = SIGTERM) {
    kill(pid_, sig);
    return wait_exit();
  }
  int wait_exit(int timeout_ms = 5000) {
    status_ = wait_child(pid_, timeout_ms);
    return status_;
  }
  void signal(int sig) { kill(pid_, sig); }
  const std::string &link() const { return link_; }
  std::string log() const { return dir_ + "/log"; }
  std::string output() const { return read_file(log()); }
  // True once the output holds `text`; false after timeout_ms (stretched on slow builds).
  bool wait_output(const std::string &text, int timeout_ms = 5000) const {
    for (int64_t end = vt::now_us() + vt::slow_us(int64_t{timeout_ms} * 1000); vt::now_us() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
      if (output().find(text) != std::string::npos) return true;
    return false;
  }

 private:
  void shut_down() {
    if (status_ == -1) {
      kill(pid_, SIGKILL);
      status_ = wait_child(pid_, 5000);
    }
    struct stat st;
    if (lstat(link().c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link().c_str());
    unlink(log().c_str());
    rmdir(dir_.c_str());
  }

  std::string dir_;
  std::string link_;
  pid_t pid_ = -1;
  int status_ = -1;
};

using Client = vt::RtuClient;

// The line opened as plain bytes, for frames libmodbus would not send.
class RawLine {
 public:
  explicit RawLine(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    struct termios t;
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~RawLine() { close(fd_); }
  void write_bytes(const Bytes &b) {
    ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  // What arrives within timeout_ms, stopping early once `want` bytes are in;
  // with `stamps`, when each byte was read.
  Bytes read_bytes(int timeout_ms, size_t want, std::vector<int64_t> *stamps = nullptr) {
    Bytes got;
    int64_t end = vt::now_us() + int64_t{timeout_ms} * 1000;
    while (got.size() < want) {
      int64_t left = end - vt::now_us();
      struct pollfd p = {fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>((left + 999) / 1000)) <= 0) break;
      uint8_t buf[256];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
      if (stamps) stamps->resize(got.size(), vt::now_us());
    }
    return got;
  }

 private:
  int fd_ = -1;
};

std::vector<uint16_t> read_holding(Client &c, int addr, int n) {
  std::vector<uint16_t> v(n);
  EXPECT_EQ(modbus_read_registers(c.get(), addr, n, v.data()), n) << modbus_strerror(errno);
  return v;
}

std::vector<uint16_t> read_input(Client &c, int addr, int n) {
  std::vector<uint16_t> v(n);
  EXPECT_EQ(modbus_read_input_registers(c.get(), addr, n, v.data()), n) << modbus_strerror(errno);
  return v;
}

// ------------------------------------------------------------ tables

TEST(SimTables, ReadsStartFromTheDocumentedValues) {
  Sim sim({});
  Client c(sim.link(), 1);
  EXPECT_EQ(read_holding(c, 10, 5), (std::vector<uint16_t>{10, 11, 12, 13, 14}));
  EXPECT_EQ(read_holding(c, 997, 3), (std::vector<uint16_t>{997, 998, 999}));

  std::vector<uint16_t> in = read_input(c, 0, 6);
  EXPECT_LT(in[0], 60);    // seconds since start
  EXPECT_LE(in[1], 1000);  // the sine wave
  EXPECT_EQ(in[3], 3);
  EXPECT_EQ(in[5], 5);
  // Two requests were served before this one.
  EXPECT_EQ(read_input(c, 2, 1)[0], 3);

  uint8_t coils[20];
  ASSERT_EQ(modbus_read_bits(c.get(), 980, 20, coils), 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(coils[i], 0) << "coil " << 980 + i;

  // Discrete inputs alternate along the table at any one moment.
  uint8_t di[17];
  ASSERT_EQ(modbus_read_input_bits(c.get(), 3, 17, di), 17);
  for (int i = 0; i + 1 < 17; ++i) EXPECT_NE(di[i], di[i + 1]) << "discrete input " << 3 + i;
}

TEST(SimTables, LiveValuesChangeWithTime) {
  Sim sim({});
  Client c(sim.link(), 1);
  uint16_t seconds = read_input(c, 0, 1)[0];
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  uint16_t later = read_input(c, 0, 1)[0];
  EXPECT_GE(later, seconds + 1);
  EXPECT_LE(later, seconds + 5);
}

struct WriteCase {
  const char *name;
  std::function<int(modbus_t *)> write;
  std::function<void(modbus_t *)> check;
};

class SimWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(SimWrites, AreAnsweredAndReadBack) {
  Sim sim({});
  Client c(sim.link(), 1);
  ASSERT_GT(GetParam().write(c.get()), 0) << modbus_strerror(errno);
  GetParam().check(c.get());
}

INSTANTIATE_TEST_SUITE_P(
    EachWriteFunction, SimWrites,
    ::testing::Values(WriteCase{"Fc5CoilOnThenOff",
                                [](modbus_t *m) {
                                  return modbus_write_bit(m, 999, 1) + modbus_write_bit(m, 7, 1) +
                                         modbus_write_bit(m, 7, 0);
                                },
                                [](modbus_t *m) {
                                  uint8_t b[1];
                                  ASSERT_EQ(modbus_read_bits(m, 999, 1, b), 1);
                                  EXPECT_EQ(b[0], 1);
                                  ASSERT_EQ(modbus_read_bits(m, 7, 1, b), 1);
                                  EXPECT_EQ(b[0], 0);
                                }},
                      WriteCase{"Fc6Register",
                                [](modbus_t *m) { return modbus_write_register(m, 999, 0xBEEF); },
                                [](modbus_t *m) {
                                  uint16_t v[2];
                                  ASSERT_EQ(modbus_read_registers(m, 998, 2, v), 2);
                                  EXPECT_EQ(v[0], 998);
                                  EXPECT_EQ(v[1], 0xBEEF);
                                }},
                      WriteCase{"Fc15Coils",
                                [](modbus_t *m) {
                                  const uint8_t bits[10] = {1, 0, 1, 1, 0, 0, 0, 1, 1, 0};
                                  return modbus_write_bits(m, 100, 10, bits);
                                },
                                [](modbus_t *m) {
                                  uint8_t b[12];
                                  ASSERT_EQ(modbus_read_bits(m, 99, 12, b), 12);
                                  EXPECT_EQ(Bytes(b, b + 12), (Bytes{0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0}));
                                }},
                      WriteCase{"Fc16Registers",
                                [](modbus_t *m) {
                                  const uint16_t v[3] = {0x0102, 0xA0B0, 0};
                                  return modbus_write_registers(m, 500, 3, v);
                                },
                                [](modbus_t *m) {
                                  uint16_t v[5];
                                  ASSERT_EQ(modbus_read_registers(m, 499, 5, v), 5);
                                  EXPECT_EQ(std::vector<uint16_t>(v, v + 5),
                                            (std::vector<uint16_t>{499, 0x0102, 0xA0B0, 0, 503}));
                                }}),
    [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------------------------ exceptions

struct ExceptionCase {
  const char *name;
  Bytes pdu;  // function and data
  uint8_t code;
};

class SimExceptions : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(SimExceptions, NameTheFault) {
  Sim s({});
  Client c(s.link(), 1);
  const ExceptionCase &e = GetParam();
  Bytes reply = c.raw(e.pdu);
  ASSERT_EQ(reply.size(), 5u) << modbus_strerror(errno);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(reply[1], e.pdu[0] | 0x80);
  EXPECT_EQ(reply[2], e.code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimExceptions,
    ::testing::Values(ExceptionCase{"Fc1QuantityZero", {1, 0, 0, 0, 0}, 3},
                      ExceptionCase{"Fc1Quantity2001", {1, 0, 0, 0x07, 0xD1}, 3},
                      ExceptionCase{"Fc1PastTheTable", {1, 0x03, 0xE7, 0, 2}, 2},
                      ExceptionCase{"Fc2AtAddress1000", {2, 0x03, 0xE8, 0, 1}, 2},
                      ExceptionCase{"Fc3Quantity126", {3, 0, 0, 0, 126}, 3},
                      ExceptionCase{"Fc3PastTheTable", {3, 0x03, 0xDE, 0, 11}, 2},
                      ExceptionCase{"Fc4QuantityZero", {4, 0, 0, 0, 0}, 3},
                      ExceptionCase{"Fc4AtAddressFFFF", {4, 0xFF, 0xFF, 0, 1}, 2},
                      ExceptionCase{"Fc5ValueNeitherOnNorOff", {5, 0, 1, 0x12, 0x34}, 3},
                      ExceptionCase{"Fc5AtAddress1000", {5, 0x03, 0xE8, 0xFF, 0x00}, 2},
                      ExceptionCase{"Fc6AtAddress1000", {6, 0x03, 0xE8, 0, 1}, 2},
                      ExceptionCase{"Fc15ByteCountTooLong", {15, 0, 0, 0, 8, 2, 0xFF, 0xFF}, 3},
                      ExceptionCase{"Fc15QuantityZero", {15, 0, 0, 0, 0, 0}, 3},
                      ExceptionCase{"Fc15PastTheTable", {15, 0x03, 0xE3, 0, 8, 1, 0xFF}, 2},
                      ExceptionCase{"Fc16ByteCountOdd", {16, 0, 0, 0, 2, 3, 1, 2, 3}, 3},
                      ExceptionCase{"Fc16PastTheTable", {16, 0x03, 0xE7, 0, 2, 4, 0, 1, 0, 2}, 2},
                      ExceptionCase{"Fc3RequestTooShort", {3, 0, 0, 0}, 3},
                      ExceptionCase{"Fc7WithData", {7, 0}, 3},
                      ExceptionCase{"Fc8ListenOnlyIsNotOffered", {8, 0, 4, 0, 0}, 1},
                      ExceptionCase{"Fc8RestartWithOtherData", {8, 0, 1, 0x12, 0x34}, 3},
                      ExceptionCase{"Fc12CommEventLog", {12}, 1},
                      ExceptionCase{"Fc22AtAddress1000", {22, 0x03, 0xE8, 0, 0, 0, 0}, 2},
                      ExceptionCase{"Fc23ReadQuantity126", {23, 0, 0, 0, 126, 0, 0, 0, 1, 2, 0, 0}, 3},
                      ExceptionCase{"Fc23WriteQuantityZero", {23, 0, 0, 0, 1, 0, 0, 0, 0, 0}, 3},
                      ExceptionCase{"Fc23ByteCountNotTwiceTheWrite", {23, 0, 0, 0, 1, 0, 0, 0, 2, 2, 0, 0}, 3},
                      ExceptionCase{"Fc23WritePastTheTable", {23, 0, 0, 0, 1, 0x03, 0xE7, 0, 2, 4, 0, 0, 0, 0}, 2},
                      ExceptionCase{"Fc24ReadFifoQueue", {24, 0, 0}, 1},
                      ExceptionCase{"Fc43ObjectNotThere", {43, 14, 4, 3}, 2},
                      ExceptionCase{"Fc43ReadCode5", {43, 14, 5, 0}, 3},
                      ExceptionCase{"Fc43CanOpenIsNotOffered", {43, 13, 0, 0}, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------------------------ functions beyond the tables

// Bytes of a text, for replies that carry one.
Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A device identification object as function 43/14 lists it.
Bytes object(uint8_t id, const std::string &value) {
  return cat({{id, static_cast<uint8_t>(value.size())}, text(value)});
}

// One unit, the rows in order (each may rely on those before it), exactly
// the reply bytes under their CRC. Counters restart at the clear and count a
// request once it is performed.
TEST(SimFunctions, AnswerAsModbusDescribes) {
  struct Row {
    const char *name;
    Bytes request;  // without CRC
    Bytes reply;    // empty: the request echoed
  };
  const Bytes id_head = {1, 43, 14};  // then the read code, conformity, more follows, next id, objects
  const Row rows[] = {
      {"fc15 sets coils 0 and 2", {1, 15, 0, 0, 0, 8, 1, 0x05}, {1, 15, 0, 0, 0, 8}},
      {"fc7 reads them as the exception status", {1, 7}, {1, 7, 0x05}},
      {"fc8 echoes query data", {1, 8, 0, 0, 0x12, 0x34, 0x56, 0x78}, {}},
      {"fc8 clears the counters", {1, 8, 0, 10, 0, 0}, {}},
      {"fc23 writes 5 and 6, then reads 3 to 6",
       {1, 23, 0, 3, 0, 4, 0, 5, 0, 2, 4, 0xAA, 0xAA, 0xBB, 0xBB},
       {1, 23, 8, 0, 3, 0, 4, 0xAA, 0xAA, 0xBB, 0xBB}},
      {"fc1 of a coil past the table", {1, 1, 0x03, 0xE8, 0, 1}, {1, 0x81, 2}},
      {"fc8 counts the messages since the clear", {1, 8, 0, 14, 0, 0}, {1, 8, 0, 14, 0, 2}},
      {"fc8 counts the exceptions", {1, 8, 0, 13, 0, 0}, {1, 8, 0, 13, 0, 1}},
      {"fc11 counts completions, not exceptions", {1, 11}, {1, 11, 0, 0, 0, 3}},
      {"fc43 streams the basic objects",
       {1, 43, 14, 1, 0},
       cat({id_head, {1, 0x81, 0, 0, 3}, object(0, "velkord"), object(1, "velkord-sim"),
            object(2, VELKORD_SIM_VERSION)})},
      {"fc43 asked for regular objects gives the basic ones from the one asked",
       {1, 43, 14, 2, 2},
       cat({id_head, {2, 0x81, 0, 0, 1}, object(2, VELKORD_SIM_VERSION)})},
      {"fc43 reads one object", {1, 43, 14, 4, 1}, cat({id_head, {4, 0x81, 0, 0, 1}, object(1, "velkord-sim")})},
  };
  Sim sim({});
  RawLine line(sim.link());
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    Bytes want = vt::with_crc(r.reply.empty() ? r.request : r.reply);
    line.write_bytes(vt::with_crc(r.request));
    EXPECT_EQ(line.read_bytes(vt::slow_ms(2000), want.size()), want);
  }
}

// libmodbus's own calls for the functions it has, parsing the replies itself:
// (0x12 AND 0xF2) OR (0x25 AND NOT 0xF2) = 0x17.
TEST(SimFunctions, ServeLibmodbusCalls) {
  Sim sim({"-a", "7"});
  Client c(sim.link(), 7);
  ASSERT_EQ(modbus_write_register(c.get(), 30, 0x0012), 1);
  ASSERT_EQ(modbus_mask_write_register(c.get(), 30, 0x00F2, 0x0025), 1) << modbus_strerror(errno);
  const uint16_t put[2] = {0xAAAA, 0xBBBB};
  uint16_t got[3] = {};
  ASSERT_EQ(modbus_write_and_read_registers(c.get(), 31, 2, put, 29, 3, got), 3) << modbus_strerror(errno);
  EXPECT_EQ(std::vector<uint16_t>(got, got + 3), (std::vector<uint16_t>{29, 0x0017, 0xAAAA}));
  uint8_t id[32] = {};
  ASSERT_EQ(modbus_report_slave_id(c.get(), sizeof id, id), 13) << modbus_strerror(errno);
  EXPECT_EQ(Bytes(id, id + 13), cat({{7, 0xFF}, text("velkord-sim")}));
}

// A full-size reply (125 registers, 255 bytes) at the line rate: whole,
// and no byte earlier than the wire allows after the request (8 characters)
// and the bytes before it. Minimums only: a loaded machine may be late.
class SimFullSizeReply : public ::testing::TestWithParam<int> {};

TEST_P(SimFullSizeReply, ComesWholeAtTheLineRate) {
  const int baud = GetParam();
  Sim sim({"--baud", std::to_string(baud), "--pace"});
  RawLine line(sim.link());
  Bytes want = {1, 3, 250};
  for (uint8_t i = 0; i < 125; ++i) want.insert(want.end(), {0, i});
  want = vt::with_crc(want);
  ASSERT_EQ(want.size(), 255u);
  std::vector<int64_t> stamps;
  int64_t sent = vt::now_us();
  line.write_bytes(vt::with_crc({1, 3, 0, 0, 0, 125}));
  ASSERT_EQ(line.read_bytes(vt::slow_ms(5000), want.size(), &stamps), want);
  const int64_t char_us = 11 * 1000000LL / baud;
  for (size_t k = 0; k < stamps.size(); ++k)
    ASSERT_GE(stamps[k] - sent, static_cast<int64_t>(8 + k + 1) * char_us) << "byte " << k;
}

INSTANTIATE_TEST_SUITE_P(Speeds, SimFullSizeReply, ::testing::Values(9600, 115200, 921600),
                         [](const auto &info) { return "Baud" + std::to_string(info.param); });

// ------------------------------------------------------------ slow and dead units

// A list gives its units their own delay whatever the order; the plain form
// serves the rest. Each read: the unit, its time-out, the least it can take.
TEST(SimAnswerDelay, PerUnitOnTopOfTheTurnaround) {
  Sim sim({"-a", "1,2,3", "-t", "100000", "--answer-delay", "2:2000", "--answer-delay", "1000", "--answer-delay",
           "3:0"});
  const struct {
    int unit, timeout_ms;
    int64_t min_us;
  } reads[] = {{3, 800, 100000}, {1, 3000, 1100000}, {2, 4000, 2100000}};
  for (const auto &r : reads) {
    Client c(sim.link(), r.unit, vt::slow_ms(r.timeout_ms));
    int64_t t0 = vt::now_us();
    EXPECT_EQ(read_holding(c, 6, 1)[0], 6) << "unit " << r.unit;
    EXPECT_GE(vt::now_us() - t0, r.min_us) << "unit " << r.unit;
  }
}

// Seconds into the run of the first output line that holds `what` ("at S s ...").
double said_at(const std::string &output, const std::string &what) {
  size_t end = output.find(what);
  size_t at = output.rfind(" at ", end);
  return end == std::string::npos || at == std::string::npos ? -1 : std::stod(output.substr(at + 4));
}

TEST(SimOutage, DeadAfterAndBackAfterOnSchedule) {
  Sim sim({"-a", "1,2", "--dead-units", "2", "--dead-after", "0.3", "--back-after", "1.5"});
  ASSERT_TRUE(sim.wait_output("units 2 went dead (--dead-after)"));
  RawLine line(sim.link());
  // A dead unit hears nothing: it neither answers nor performs the write.
  line.write_bytes(vt::with_crc({2, 6, 0, 9, 0x12, 0x34}));
  EXPECT_TRUE(line.read_bytes(300, 1).empty());
  line.write_bytes(vt::with_crc({1, 3, 0, 9, 0, 1}));
  EXPECT_EQ(line.read_bytes(vt::slow_ms(2000), 7), vt::with_crc({1, 3, 2, 0, 9}));
  ASSERT_TRUE(sim.wait_output("units 2 are back (--back-after)"));
  line.write_bytes(vt::with_crc({2, 3, 0, 9, 0, 1}));
  EXPECT_EQ(line.read_bytes(vt::slow_ms(2000), 7), vt::with_crc({2, 3, 2, 0, 9}));

  std::string out = sim.output();
  EXPECT_NE(out.find("rx 02 06 00 09 12 34 54 8C  (ignored: the unit is dead)"), std::string::npos) << out;
  double dead = said_at(out, "went dead"), back = said_at(out, "are back");
  EXPECT_GE(dead, 0.3) << out;
  EXPECT_GE(back - dead, 1.5 - 0.001) << out;  // the line shows milliseconds
}

TEST(SimOutage, SignalSwitchesUnitsDeadAndBack) {
  Sim sim({"--answer-delay", "1500"});
  RawLine line(sim.link());
  line.write_bytes(vt::with_crc({1, 3, 0, 5, 0, 1}));
  ASSERT_TRUE(sim.wait_output("rx 01 03 00 05"));
  sim.signal(SIGUSR1);
  ASSERT_TRUE(sim.wait_output("units 1 went dead (SIGUSR1)"));
  // The answer that was on its way is never sent, not even in part.
  EXPECT_TRUE(line.read_bytes(2000, 1).empty());
  EXPECT_TRUE(sim.wait_output("(not sent: the unit went dead)"));
  sim.signal(SIGUSR1);
  ASSERT_TRUE(sim.wait_output("units 1 are back (SIGUSR1)"));
  line.write_bytes(vt::with_crc({1, 3, 0, 5, 0, 1}));
  EXPECT_EQ(line.read_bytes(vt::slow_ms(5000), 7), vt::with_crc({1, 3, 2, 0, 5}));
}

// ------------------------------------------------------------ addressing and framing

TEST(SimLine, ServesItsUnitsAndIgnoresOthers) {
  Sim sim({"-a", "2,5"});
  {
    Client c(sim.link(), 5);
    EXPECT_EQ(read_holding(c, 1, 1)[0], 1);
  }
  {
    // A second opener after the first has closed: the line must not have hung up.
    Client c(sim.link(), 2);
    EXPECT_EQ(read_holding(c, 2, 1)[0], 2);
  }
  Client other(sim.link(), 1, 300);
  uint16_t v;
  EXPECT_EQ(modbus_read_registers(other.get(), 0, 1, &v), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(SimLine, PerformsBroadcastWritesOnEveryUnitWithoutAnswering) {
  Sim sim({"-a", "2,5"});
  {
    RawLine line(sim.link());
    line.write_bytes(vt::with_crc({0, 6, 0, 20, 0x03, 0x09}));
    EXPECT_TRUE(line.read_bytes(300, 1).empty());
  }
  for (int unit : {2, 5}) {
    Client c(sim.link(), unit);
    EXPECT_EQ(read_holding(c, 20, 1)[0], 0x0309) << "unit " << unit;
  }
}

TEST(SimLine, IgnoresAFrameWithABadCrcAndAnswersTheNext) {
  Sim sim({});
  RawLine line(sim.link());
  Bytes good = vt::with_crc({1, 3, 0, 7, 0, 1});
  Bytes bad = good;
  bad.back() ^= 0x01;
  line.write_bytes(bad);
  EXPECT_TRUE(line.read_bytes(300, 1).empty());
  line.write_bytes(good);
  Bytes reply = line.read_bytes(1000, 7);
  EXPECT_EQ(reply, vt::with_crc({1, 3, 2, 0, 7}));
  EXPECT_NE(sim.output().find("bad CRC"), std::string::npos);
}

// ------------------------------------------------------------ faults

struct FaultCase {
  const char *name;
  std::vector<std::string> args;
  int timeout_ms;
  int expected_errno;
};

class SimFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimFaults, AtProbabilityOneFailEveryRequest) {
  const FaultCase &f = GetParam();
  Sim sim(f.args);
  Client c(sim.link(), 1, f.timeout_ms);
  for (int i = 0; i < 3; ++i) {
    uint16_t v[2];
    EXPECT_EQ(modbus_read_registers(c.get(), 0, 2, v), -1);
    EXPECT_EQ(errno, f.expected_errno) << modbus_strerror(errno);
    if (f.expected_errno != ETIMEDOUT) modbus_flush(c.get());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimFaults,
    ::testing::Values(FaultCase{"Silence", {"--silence", "1"}, 300, ETIMEDOUT},
                      FaultCase{"BadCrc", {"--bad-crc", "1"}, 1000, EMBBADCRC},
                      FaultCase{
                          "LateBeyondTheTimeout", {"--late", "1", "--late-us", "2000000"}, 200, ETIMEDOUT},
                      FaultCase{"WrongUnit", {"--wrong-unit", "1"}, 1000, EMBBADSLAVE},
                      FaultCase{"WrongFunction", {"--wrong-function", "1"}, 1000, EMBBADDATA},
                      // libmodbus waits for the byte its byte count still promises.
                      FaultCase{"ShortAnswer", {"--short-answer", "1"}, 300, ETIMEDOUT}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SimFaultsLate, ArriveAfterTheExtraDelay) {
  Sim sim({"--late", "1", "--late-us", "300000"});
  Client c(sim.link(), 1, 3000);
  int64_t t0 = vt::now_us();
  EXPECT_EQ(read_holding(c, 4, 1)[0], 4);
  EXPECT_GE(vt::now_us() - t0, 300000);
}

// Which of n reads were answered, with a given fault set-up.
std::string answer_pattern(const std::vector<std::string> &args, int n) {
  Sim sim(args);
  Client c(sim.link(), 1, 700);  // a loaded machine must not pass for the sim's silence
  std::string pattern;
  for (int i = 0; i < n; ++i) {
    uint16_t v;
    pattern += modbus_read_registers(c.get(), 0, 1, &v) == 1 ? 'A' : '-';
  }
  return pattern;
}

TEST(SimFaultsSeed, SameSeedSameFaults) {
  std::string first = answer_pattern({"--silence", "0.5", "--seed", "42"}, 8);
  std::string second = answer_pattern({"--silence", "0.5", "--seed", "42"}, 8);
  EXPECT_EQ(first, second);
  EXPECT_NE(first.find('A'), std::string::npos) << first;
  EXPECT_NE(first.find('-'), std::string::npos) << first;
}

// ------------------------------------------------------------ timing

struct PacingCase {
  const char *name;
  std::vector<std::string> args;
  int64_t min_us;
};

class SimPacing : public ::testing::TestWithParam<PacingCase> {};

// Lower bounds only: a loaded machine may stretch an exchange, never shorten it.
TEST_P(SimPacing, AReadOfTenRegistersTakesAtLeast) {
  const PacingCase &p = GetParam();
  Sim sim(p.args);
  Client c(sim.link(), 1, 3000);
  int64_t t0 = vt::now_us();
  EXPECT_EQ(read_holding(c, 0, 10)[9], 9);
  EXPECT_GE(vt::now_us() - t0, p.min_us);
}

// A 10-register read: request 8 characters, reply 3 + 20 + 2 = 25.
INSTANTIATE_TEST_SUITE_P(
    Table, SimPacing,
    ::testing::Values(
        PacingCase{"BothWireTimesAt9600", {"--baud", "9600", "--pace"}, 33 * 11 * 1000000LL / 9600},
        PacingCase{"BothWireTimesAt2400", {"--baud", "2400", "--pace"}, 33 * 11 * 1000000LL / 2400},
        PacingCase{"Turnaround", {"--turnaround", "150000"}, 150000},
        PacingCase{"TurnaroundOnTopOfPacing",
                   {"--baud", "9600", "--pace", "--turnaround", "100000"},
                   100000 + 33 * 11 * 1000000LL / 9600}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SimVerbose, LogsRequestAndReplyInHex) {
  Sim sim({});
  {
    Client c(sim.link(), 1);
    read_holding(c, 7, 1);
  }
  // The client has the reply as soon as it is on the line; the simulator
  // logs it after writing it.
  sim.wait_output("tx 01 03 02 00 07");
  std::string log = sim.output();
  EXPECT_NE(log.find("rx 01 03 00 07 00 01"), std::string::npos) << log;
  EXPECT_NE(log.find("tx 01 03 02 00 07"), std::string::npos) << log;
}

// ------------------------------------------------------------ life cycle

class SimStop : public ::testing::TestWithParam<int> {};

TEST_P(SimStop, EndsCleanlyAndRemovesTheLink) {
  Sim sim({});
  {
    Client c(sim.link(), 1);
    read_holding(c, 0, 1);
  }
  EXPECT_EQ(sim.stop(GetParam()), 0) << sim.output();
  EXPECT_FALSE(exists(sim.link()));
}

INSTANTIATE_TEST_SUITE_P(Signals, SimStop, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

TEST(SimStart, ReplacesAStaleLinkButNoOtherFile) {
  std::string dir = vt::make_temp_dir();
  std::string path = dir + "/ttyM0";
  ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0);
  {
    Sim sim({}, true, path);
    Client c(path, 1);
    EXPECT_EQ(read_holding(c, 3, 1)[0], 3);
    EXPECT_EQ(sim.stop(), 0);
  }
  EXPECT_FALSE(exists(path));

  { std::ofstream(path) << "keep"; }
  {
    Sim sim({}, false, path);
    EXPECT_EQ(sim.wait_exit(), 1);
  }
  EXPECT_EQ(read_file(path), "keep");
  unlink(path.c_str());
  rmdir(dir.c_str());
}

struct CommandLineCase {
  const char *name;
  std::vector<std::string> args;
  int status;
  const char *output;  // expected within stdout and stderr
};

class SimCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(SimCommandLine, AnswersOrRefuses) {
  const CommandLineCase &c = GetParam();
  Sim sim(c.args, false);
  EXPECT_EQ(sim.wait_exit(), c.status) << sim.output();
  EXPECT_NE(sim.output().find(c.output), std::string::npos) << sim.output();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimCommandLine,
    ::testing::Values(CommandLineCase{"Help", {"--help"}, 0, "--link PATH"},
                      CommandLineCase{"ShortHelp", {"-h"}, 0, "--bad-crc P"},
                      CommandLineCase{"Version", {"--version"}, 0, "velkord-sim "},
                      CommandLineCase{"UnitZero", {"-a", "0"}, 2, "--units"},
                      CommandLineCase{"Unit248", {"-a", "248"}, 2, "--units"},
                      CommandLineCase{"EmptyUnitInList", {"-a", "1,,2"}, 2, "--units"},
                      CommandLineCase{"BaudZero", {"--baud", "0"}, 2, "--baud"},
                      CommandLineCase{"ProbabilityAboveOne", {"--silence", "1.5"}, 2, "--silence"},
                      CommandLineCase{"ProbabilityNegative", {"--late", "-0.1"}, 2, "--late"},
                      CommandLineCase{"TurnaroundNotANumber", {"--turnaround", "x"}, 2, "--turnaround"},
                      CommandLineCase{"AnswerDelayTooLong", {"--answer-delay", "60001"}, 2, "--answer-delay"},
                      CommandLineCase{"AnswerDelayWithoutUnits", {"--answer-delay", ":5"}, 2, "--answer-delay"},
                      CommandLineCase{"AnswerDelayForAnotherUnit", {"-a", "1,2", "--answer-delay", "3:5"}, 2, "unit 3"},
                      CommandLineCase{"DeadAfterNegative", {"--dead-after", "-1"}, 2, "--dead-after"},
                      CommandLineCase{"DeadUnitsNotServed", {"--dead-units", "2"}, 2, "--dead-units names unit 2"},
                      CommandLineCase{"UnknownOption", {"--bogus"}, 2, "bogus"},
                      CommandLineCase{"StrayArgument", {"stray"}, 2, "stray"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
