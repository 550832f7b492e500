// velkord-poll: reads and writes Modbus data of a unit behind a velkord
// gateway, with the options and output of mbpoll, which integrators know.
#include <getopt.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "velkord_client.h"

namespace {

using vclient::Bytes;
using vclient::Clock;

constexpr const char *kProgram = "velkord-poll";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char *const kHelp =
    "Usage: velkord-poll [options] host [writevalues...]\n"
    "Reads Modbus data of a unit behind a velkord gateway, or writes the values\n"
    "given after the host, and prints one line per value: [reference]: value\n"
    "\n"
    "Modbus options (as mbpoll):\n"
    "  -a N         unit address, 1..247 (default 1)\n"
    "  -t TYPE      data type (default 4):\n"
    "                 0  coils (write: fc 5, or fc 15 for several values)\n"
    "                 1  discrete inputs (read only)\n"
    "                 3  input registers (read only)\n"
    "                 4  holding registers (write: fc 6, or fc 16 for several)\n"
    "               3:hex or 4:hex print registers in hexadecimal\n"
    "  -r N         start reference (default 1)\n"
    "  -0           references are 0-based (default: 1-based, reference 1 is\n"
    "               Modbus address 0)\n"
    "  -c N         number of values to read, 1..2000 bits or 1..125 registers\n"
    "               (default 1; a write takes the number of values given)\n"
    "  -1           poll only once (default: poll until Ctrl-C)\n"
    "  -l MS        poll interval in milliseconds (default 1000)\n"
    "  -p PORT      gateway TCP port (default 502)\n"
    "  -o SECONDS   deadline for a valid answer, 0.01..3600 (default 2.0)\n"
    "  -q           quiet: no \"-- Polling\" line before each poll\n"
    "\n"
    "Gateway options (times in microseconds):\n"
    "  --slot N       exchange slot of the unit, 0..4 (default 0; the gateway\n"
    "                 refuses others)\n"
    "  --mode N       how the gateway repeats a read: 1 until the lifetime is\n"
    "                 used up, 2 until answered (default 1); a write always goes\n"
    "                 with mode 2, armed only once the slot is empty, so the unit\n"
    "                 sees it once per run\n"
    "  --timeout US   how long the gateway waits for the unit's first byte\n"
    "                 (default 100000), in whole character times, at most 255: a\n"
    "                 longer time-out waits the longest the line speed allows,\n"
    "                 259 characters (8N1): 1200 bit/s 2.37 s, 2400 1.19 s,\n"
    "                 4800 593 ms, 9600 297 ms, 19200 148 ms, 38400 74 ms,\n"
    "                 57600 49 ms, 115200 24.6 ms, 230400 12.2 ms,\n"
    "                 460800 6.0 ms, 921600 2.8 ms\n"
    "  --lifetime US  how long the gateway keeps exchanging the slot (default 2000000)\n"
    "  --delay US     gateway's pause before each exchange of the slot (default 0)\n"
    "  --keepalive US idle budget of the connection (default 0: the gateway's)\n"
    "  --pause US     gateway's pause after each request, 0..65535 (default 1000)\n"
    "\n"
    "  -h, --help     this text\n"
    "  -V, --version  version\n"
    "\n"
    "Write values: 0 or 1 for coils; -32768..65535 or 0x0000..0xFFFF for\n"
    "registers. Put \"--\" before the values when one begins with \"-\".\n"
    "\n"
    "The gateway answers from its cache of the slot, so velkord-poll repeats the\n"
    "request until the unit's answer to it is in, or the deadline passes.\n"
    "\n"
    "Examples:\n"
    "  velkord-poll -1 -a 5 -r 1 -c 10 192.168.1.20\n"
    "      read holding registers 1..10 of unit 5 once\n"
    "  velkord-poll -t 3:hex -c 4 -l 500 192.168.1.20\n"
    "      read input registers 1..4 every 500 ms, in hexadecimal\n"
    "  velkord-poll -1 -t 0 -r 8 192.168.1.20 1\n"
    "      switch coil 8 on (fc 5)\n"
    "  velkord-poll -1 -r 100 192.168.1.20 -- 10 -20 0x30\n"
    "      write holding registers 100..102 (fc 16)\n"
    "  velkord-poll -1 -p 5020 --slot 2 --timeout 250000 127.0.0.1\n"
    "      read through slot 2 of a gateway on port 5020, slow unit\n"
    "\n"
    "Exit status: 0 success; 1 no connection, no valid answer, a Modbus exception,\n"
    "a refused request or an answer that does not match (polling until Ctrl-C:\n"
    "any poll that failed); 2 bad usage.\n";

enum class DataType { kCoils, kDiscreteInputs, kInputRegisters, kHoldingRegisters };

struct Options {
  uint8_t unit = 1;
  DataType type = DataType::kHoldingRegisters;
  bool hex = false;
  long reference = 1;
  bool zero_based = false;
  long count = 1;
  bool count_given = false;
  bool once = false;
  long interval_ms = 1000;
  uint16_t port = 502;
  double deadline_s = 2.0;
  bool quiet = false;
  vclient::RequestParams params;
  std::string host;
  std::vector<std::string> values;
};

// Usage errors carry their message up to main(), which prints it and exits 2.
struct UsageError {
  std::string text;
};

[[noreturn]] void usage_error(const std::string &text) { throw UsageError{text}; }

std::atomic<bool> g_stop{false};

void on_stop_signal(int) { g_stop.store(true); }

void fail(const std::string &text) { std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str()); }

// A whole-string integer in [lo, hi]; base 0 lets "0x" prefixes in.
// long long: the 32-bit microsecond options need more than a 32-bit long.
bool parse_long(const char *s, int base, long long lo, long long hi, long long &out) {
  if (!s || !*s) return false;
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(s, &end, base);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

long long option_number(const char *name, const char *s, long long lo, long long hi) {
  long long v;
  if (!parse_long(s, 10, lo, hi, v))
    usage_error("bad value \"" + std::string(s) + "\" for " + name + " (" + std::to_string(lo) + ".." +
                std::to_string(hi) + ")");
  return v;
}

// "2.0", "0.25", "10.0": enough digits to say what was given.
std::string seconds_text(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", s);
  if (std::fabs(std::strtod(buf, nullptr) - s) > 1e-9) std::snprintf(buf, sizeof buf, "%g", s);
  return buf;
}

void parse_type(const char *s, Options &o) {
  std::string t = s;
  o.hex = false;
  if (t.size() > 4 && t.compare(t.size() - 4, 4, ":hex") == 0) {
    o.hex = true;
    t.resize(t.size() - 4);
  }
  static const struct {
    const char *name;
    DataType type;
  } kTypes[] = {{"0", DataType::kCoils},
                {"1", DataType::kDiscreteInputs},
                {"3", DataType::kInputRegisters},
                {"4", DataType::kHoldingRegisters}};
  bool known = false;
  for (const auto &k : kTypes) {
    if (t == k.name) {
      o.type = k.type;
      known = true;
    }
  }
  if (!known) usage_error("unknown data type \"" + std::string(s) + "\" for -t (0, 1, 3, 4, 3:hex or 4:hex)");
  if (o.hex && (o.type == DataType::kCoils || o.type == DataType::kDiscreteInputs))
    usage_error("\":hex\" is for registers (-t 3:hex or 4:hex)");
}

enum LongOption { kSlot = 256, kMode, kTimeout, kLifetime, kDelay, kKeepAlive, kPause };

const struct option kLongOptions[] = {
    {"slot", required_argument, nullptr, kSlot},
    {"mode", required_argument, nullptr, kMode},
    {"timeout", required_argument, nullptr, kTimeout},
    {"lifetime", required_argument, nullptr, kLifetime},
    {"delay", required_argument, nullptr, kDelay},
    {"keepalive", required_argument, nullptr, kKeepAlive},
    {"pause", required_argument, nullptr, kPause},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

std::string option_name(int c) {
  for (const struct option *o = kLongOptions; o->name; ++o)
    if (o->val == c) return std::string("--") + o->name;
  return std::string("-") + static_cast<char>(c);
}

// Returns -1 to go on, or an exit status (help and version).
int parse_args(int argc, char **argv, Options &o) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":01a:t:r:c:l:p:o:qhV", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case '0': o.zero_based = true; break;
      case '1': o.once = true; break;
      case 'a': o.unit = static_cast<uint8_t>(option_number("-a", optarg, 1, 247)); break;
      case 't': parse_type(optarg, o); break;
      case 'r': o.reference = option_number("-r", optarg, 0, 65536); break;
      case 'c':
        o.count = option_number("-c", optarg, 1, vclient::kMaxReadBits);
        o.count_given = true;
        break;
      case 'l': o.interval_ms = option_number("-l", optarg, 1, 86400000); break;
      case 'p': o.port = static_cast<uint16_t>(option_number("-p", optarg, 1, 65535)); break;
      case 'o': {
        char *end = nullptr;
        errno = 0;
        double v = std::strtod(optarg, &end);
        if (errno != 0 || *end != '\0' || end == optarg || !(v >= 0.01 && v <= 3600))
          usage_error("bad value \"" + std::string(optarg) + "\" for -o (seconds, 0.01..3600)");
        o.deadline_s = v;
        break;
      }
      case 'q': o.quiet = true; break;
      case kSlot: o.params.slot = static_cast<uint8_t>(option_number("--slot", optarg, 0, 255)); break;
      case kMode: o.params.mode = static_cast<uint8_t>(option_number("--mode", optarg, 0, 255)); break;
      case kTimeout:
        o.params.timeout_us = static_cast<int32_t>(option_number("--timeout", optarg, 0, INT32_MAX));
        break;
      case kLifetime:
        o.params.lifetime_us = static_cast<uint32_t>(option_number("--lifetime", optarg, 0, UINT32_MAX));
        break;
      case kDelay:
        o.params.delay_us = static_cast<uint32_t>(option_number("--delay", optarg, 0, UINT32_MAX));
        break;
      case kKeepAlive:
        o.params.keepalive_us = static_cast<uint32_t>(option_number("--keepalive", optarg, 0, UINT32_MAX));
        break;
      case kPause:
        o.params.pause_us = static_cast<uint16_t>(option_number("--pause", optarg, 0, 65535));
        break;
      case 'h': std::fputs(kHelp, stdout); return kExitOk;
      case 'V': std::printf("%s %s\n", kProgram, VELKORD_VERSION); return kExitOk;
      case ':': usage_error("option " + option_name(optopt) + " needs a value");
      default:
        usage_error("unknown option " + (optopt ? option_name(optopt) : std::string(argv[optind - 1])));
    }
  }
  if (optind >= argc) usage_error("no host given");
  o.host = argv[optind++];
  for (; optind < argc; ++optind) o.values.push_back(argv[optind]);

  if (!o.zero_based && o.reference == 0) usage_error("reference 0 needs -0 (references are 1-based)");
  if (o.zero_based && o.reference > 65535) usage_error("bad value for -r (0..65535 with -0)");
  const bool bits = o.type == DataType::kCoils || o.type == DataType::kDiscreteInputs;
  if (!o.values.empty()) {
    if (o.type == DataType::kDiscreteInputs || o.type == DataType::kInputRegisters)
      usage_error("discrete inputs and input registers are read only (write with -t 0 or -t 4)");
    const unsigned max = bits ? vclient::kMaxWriteBits : vclient::kMaxWriteRegisters;
    if (o.values.size() > max)
      usage_error("at most " + std::to_string(max) + (bits ? " coils" : " registers") + " per write");
    if (o.count_given && static_cast<size_t>(o.count) != o.values.size())
      usage_error("-c " + std::to_string(o.count) + " does not match the " + std::to_string(o.values.size()) +
                  " values to write");
    o.count = static_cast<long>(o.values.size());
  } else if (!bits && o.count > static_cast<long>(vclient::kMaxReadRegisters)) {
    usage_error("at most " + std::to_string(vclient::kMaxReadRegisters) + " registers per read (-c)");
  }
  long first_address = o.zero_based ? o.reference : o.reference - 1;
  if (first_address + o.count > 65536) usage_error("references beyond the last Modbus address 65535");
  return -1;
}

// The request frame for the options: a read, or a write of the values.
Bytes build_frame(const Options &o) {
  const uint16_t address = static_cast<uint16_t>(o.zero_based ? o.reference : o.reference - 1);
  const uint16_t count = static_cast<uint16_t>(o.count);
  if (o.values.empty()) {
    uint8_t function = vclient::kReadHoldingRegisters;
    switch (o.type) {
      case DataType::kCoils: function = vclient::kReadCoils; break;
      case DataType::kDiscreteInputs: function = vclient::kReadDiscreteInputs; break;
      case DataType::kInputRegisters: function = vclient::kReadInputRegisters; break;
      case DataType::kHoldingRegisters: function = vclient::kReadHoldingRegisters; break;
    }
    return vclient::read_frame(o.unit, function, address, count);
  }
  if (o.type == DataType::kCoils) {
    std::vector<bool> bits;
    for (const std::string &v : o.values) {
      if (v != "0" && v != "1") usage_error("bad coil value \"" + v + "\" (0 or 1)");
      bits.push_back(v == "1");
    }
    if (bits.size() == 1) return vclient::write_coil_frame(o.unit, address, bits[0]);
    return vclient::write_coils_frame(o.unit, address, bits);
  }
  std::vector<uint16_t> regs;
  for (const std::string &v : o.values) {
    long long n;
    if (!parse_long(v.c_str(), 0, -32768, 65535, n))
      usage_error("bad register value \"" + v + "\" (-32768..65535 or 0x0000..0xFFFF)");
    regs.push_back(static_cast<uint16_t>(n));
  }
  if (regs.size() == 1) return vclient::write_register_frame(o.unit, address, regs[0]);
  return vclient::write_registers_frame(o.unit, address, regs);
}

std::string endpoint(const Options &o) {
  bool v6 = o.host.find(':') != std::string::npos;
  return (v6 ? "[" + o.host + "]" : o.host) + ":" + std::to_string(o.port);
}

void print_values(const Options &o, const std::vector<uint16_t> &values) {
  const bool bits = o.type == DataType::kCoils || o.type == DataType::kDiscreteInputs;
  for (size_t i = 0; i < values.size(); ++i) {
    long ref = o.reference + static_cast<long>(i);
    std::printf(o.hex && !bits ? "[%ld]: 0x%04X\n" : "[%ld]: %u\n", ref, values[i]);
  }
}

void report_io(const Options &o, const vclient::IoResult &io, bool connecting) {
  using vclient::Fault;
  switch (io.fault) {
    case Fault::kResolve: fail("cannot resolve host " + o.host + ": " + io.detail); break;
    case Fault::kConnect: fail("cannot connect to " + endpoint(o) + ": " + io.detail); break;
    case Fault::kTimedOut:
      if (connecting)
        fail("cannot connect to " + endpoint(o) + ": no connection within " + seconds_text(o.deadline_s) +
             " s");
      else
        fail("no answer from the gateway at " + endpoint(o) + " within " + seconds_text(o.deadline_s) + " s");
      break;
    case Fault::kClosed: fail("the gateway at " + endpoint(o) + " closed the connection"); break;
    case Fault::kProtocol: fail("unexpected data from " + endpoint(o) + ": " + io.detail); break;
    case Fault::kSystem: fail("connection to " + endpoint(o) + " failed: " + io.detail); break;
    case Fault::kNone: break;
  }
}

enum class PollEnd { kOk, kFailed, kNoConnection };

// One poll: connect if need be, fetch the answer, print it.
PollEnd poll_once(const Options &o, vclient::Connection &conn, const Bytes &frame, bool &trust) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.deadline_s));
  if (!conn.is_open()) {
    vclient::IoResult io = conn.open(o.host, o.port, deadline);
    if (!io.ok()) {
      if (g_stop.load()) return PollEnd::kFailed;  // Ctrl-C, not a fault
      report_io(o, io, true);
      return PollEnd::kNoConnection;
    }
  }
  const bool write = !o.values.empty();
  vclient::FetchPlan plan;
  plan.frame = frame;
  plan.params = o.params;
  plan.trust_first = trust && !write;
  // A write goes with mode 2: the gateway sends it until the unit answers,
  // then idles the slot and keeps the answer, and the same request collects
  // it without sending the write again. Parking first drops an answer kept
  // from an earlier write of the same values, so every run writes once.
  plan.start_parked = write;
  if (write) plan.params.mode = 2;
  if (write) plan.retry_pause = std::chrono::milliseconds(0);  // the handler's pause sets the pace
  plan.cancel = &g_stop;
  vclient::Fetch f = vclient::fetch_answer(conn, plan, deadline);
  switch (f.end) {
    case vclient::Fetch::kAnswer: break;
    case vclient::Fetch::kCancelled: return PollEnd::kFailed;
    case vclient::Fetch::kIoFailure:
      if (!g_stop.load()) report_io(o, f.io, false);
      return PollEnd::kFailed;
    case vclient::Fetch::kNoValidAnswer:
      fail("no valid answer within " + seconds_text(o.deadline_s) +
           " s (the unit did not answer, or its answers failed the CRC check or did not fit the "
           "request)");
      return PollEnd::kFailed;
    case vclient::Fetch::kRefused: {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", f.response.status);
      fail(std::string("the gateway refused the request: status ") + code + " (" +
           vclient::status_meaning(f.response.status) + ")");
      return PollEnd::kFailed;
    }
  }
  const Bytes &answer = f.response.frame;
  vclient::AnswerCheck check = vclient::check_answer(frame, answer);
  if (check.kind == vclient::AnswerCheck::kException) {
    char code[8];
    std::snprintf(code, sizeof code, "%02X", check.exception);
    fail("unit " + std::to_string(o.unit) + " answered with exception " + code + " (" +
         vclient::exception_name(check.exception) + ")");
    return PollEnd::kFailed;
  }
  if (check.kind == vclient::AnswerCheck::kMismatch) {
    fail("the answer does not match the request: " + check.mismatch);
    return PollEnd::kFailed;
  }
  trust = true;
  print_values(o, vclient::answer_values(frame, answer));
  if (write) std::printf("Written %ld reference%s.\n", o.count, o.count == 1 ? "" : "s");
  return PollEnd::kOk;
}

// Sleeps until `until`, in short steps so that Ctrl-C is not kept waiting.
void sleep_until_or_stop(Clock::time_point until) {
  while (!g_stop.load()) {
    auto now = Clock::now();
    if (now >= until) return;
    auto step = std::min<Clock::duration>(until - now, std::chrono::milliseconds(50));
    std::this_thread::sleep_for(step);
  }
}

int run(const Options &o) {
  const Bytes frame = build_frame(o);
  vclient::Connection conn;
  bool trust = false;
  if (o.once) return poll_once(o, conn, frame, trust) == PollEnd::kOk ? kExitOk : kExitFailed;

  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  bool all_ok = true;
  bool first = true;
  auto next = Clock::now();
  while (!g_stop.load()) {
    if (!o.quiet) std::printf("-- Polling unit %u... Ctrl-C to stop\n", o.unit);
    std::fflush(stdout);
    PollEnd end = poll_once(o, conn, frame, trust);
    std::fflush(stdout);
    if (g_stop.load()) break;
    // A gateway that cannot be reached at all is a mistake in the command,
    // not a passing fault: give up at once, as a one-shot poll would.
    if (end == PollEnd::kNoConnection && first) return kExitFailed;
    all_ok = all_ok && end == PollEnd::kOk;
    first = false;
    next += std::chrono::milliseconds(o.interval_ms);
    if (next < Clock::now()) next = Clock::now();
    sleep_until_or_stop(next);
  }
  return all_ok ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    Options o;
    int status = parse_args(argc, argv, o);
    if (status >= 0) return status;
    return run(o);
  } catch (const UsageError &e) {
    fail(e.text + " (see " + kProgram + " --help)");
    return kExitUsage;
  }
}
