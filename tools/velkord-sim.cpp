// velkord-sim: Modbus RTU units on a pseudo-terminal, for trying the gateway
// (or any RTU master) without a serial line. The master end of the pty is
// the units' side; the slave end, reachable through a symlink, is where the
// master opens its "serial port".
#include <fcntl.h>
#include <getopt.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ptyunit.h"
#include "sim_unit.h"

#ifndef VELKORD_SIM_VERSION
#define VELKORD_SIM_VERSION "dev"
#endif

namespace {

constexpr int kStatusUsage = 2;
constexpr int kStatusFailed = 1;
constexpr int kGoOn = -1;

// Above 19200 baud Modbus fixes the end-of-frame silence at 1750 us instead
// of 3.5 character times.
constexpr int kFixedSilenceBaud = 19200;
constexpr int64_t kFixedSilenceUs = 1750;
constexpr size_t kMaxFrameBytes = 256;  // the longest RTU frame

constexpr const char *kUsage =
    "usage: velkord-sim [options]\n"
    "\n"
    "Simulates Modbus RTU units on a pseudo-terminal. Each unit has 1000 coils,\n"
    "discrete inputs, holding and input registers and answers functions 1 to 8, 11,\n"
    "15, 16, 17, 22, 23 and 43/14 (exception 01, 02 or 03 where Modbus asks for\n"
    "one). Requests for other units are ignored; broadcasts (unit 0) are performed\n"
    "without an answer; frames with a bad CRC are ignored.\n"
    "\n"
    "  -l, --link PATH       symlink PATH to the line's device node (removed on exit);\n"
    "                        without it the device node is printed on stdout\n"
    "  -a, --units LIST      unit addresses served, e.g. 1,2,5 (1..247; default 1)\n"
    "  -b, --baud N          line speed for the frame silence and pacing (default 9600)\n"
    "  -P, --pace            a request takes its wire time; reply bytes are spaced by\n"
    "                        the character time (11 bits a character)\n"
    "  -t, --turnaround US   wait this long after a request before replying (default 0)\n"
    "      --answer-delay [UNITS:]MS\n"
    "                        answer MS milliseconds (0..60000) after a request, on top\n"
    "                        of --turnaround: the units listed (as in --units), or\n"
    "                        without a list every unit that has no delay of its own;\n"
    "                        repeat it to give units different delays\n"
    "      --dead-after S    the dead units stop answering S seconds (fractions allowed)\n"
    "                        after the start\n"
    "      --back-after S    and answer again S seconds after each time they went dead\n"
    "      --dead-units LIST the units that go dead (default: every unit served);\n"
    "                        SIGUSR1 switches them dead or back at any time. A dead\n"
    "                        unit hears nothing and sends nothing; stderr says when\n"
    "                        units go dead and come back\n"
    "      --silence P       with probability P do not hear a request at all\n"
    "      --bad-crc P       with probability P send the reply with a wrong CRC\n"
    "      --late P          with probability P reply --late-us later than usual\n"
    "      --late-us US      extra delay of a late reply (default 300000)\n"
    "      --wrong-unit P    with probability P reply with the next unit address\n"
    "      --wrong-function P  with probability P reply with a neighbouring function\n"
    "                        of the same layout (1/2, 3/4, 5/6, 15/16)\n"
    "      --short-answer P  with probability P reply one byte short, under a CRC\n"
    "                        that fits the shorter reply\n"
    "      --seed N          seed of the fault draws (default 1): same seed, same faults\n"
    "  -v, --verbose         log every request and reply in hex on stderr\n"
    "  -h, --help            this text\n"
    "  -V, --version         the version\n"
    "\n"
    "Live values: input register 0 counts seconds since the start, input register 1\n"
    "is a sine wave 0..1000 with a 20 s period, input register 2 counts requests\n"
    "served, other input registers hold their address; holding registers start at\n"
    "their address, coils start off, discrete input i is on when seconds + i is odd.\n"
    "\n"
    "Stops on SIGINT, SIGTERM or SIGHUP. Exit status 0, 1 when the line cannot be set up,\n"
    "2 for a bad option.\n";

using Bytes = std::vector<uint8_t>;

constexpr int kAddressSlots = 248;  // unit addresses 0..247
constexpr int64_t kNoDelayOfItsOwn = -1;
constexpr int64_t kNever = INT64_MAX;
constexpr long long kMaxAnswerDelayMs = 60000;
constexpr double kMaxOutageSeconds = 1e6;

struct Options {
  std::string link;
  std::vector<uint8_t> units = {1};
  int baud = 9600;
  bool pace = false;
  int64_t turnaround_us = 0;
  double silence = 0, bad_crc = 0, late = 0;
  double wrong_unit = 0, wrong_function = 0, short_answer = 0;
  int64_t late_us = 300000;
  uint64_t seed = 1;
  bool verbose = false;
  int64_t answer_delay_us = 0;  // for units without a delay of their own
  std::array<int64_t, kAddressSlots> unit_delay_us;
  std::vector<uint8_t> dead_units;  // empty: every unit served
  int64_t dead_after_us = kNever;
  int64_t back_after_us = kNever;

  Options() { unit_delay_us.fill(kNoDelayOfItsOwn); }

  int64_t answer_delay_for(uint8_t unit) const {
    return unit_delay_us[unit] != kNoDelayOfItsOwn ? unit_delay_us[unit] : answer_delay_us;
  }
};

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_toggles = 0;  // SIGUSR1s so far

void on_stop_signal(int) { g_stop = 1; }
void on_toggle_signal(int) { g_toggles = g_toggles + 1; }

// ------------------------------------------------------------------ options

bool parse_integer(const char *text, long long lo, long long hi, long long *out) {
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_probability(const char *text, double *out) {
  errno = 0;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  *out = v;
  return true;
}

bool parse_units(const char *text, std::vector<uint8_t> *out) {
  std::vector<uint8_t> units;
  std::string list = text;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    long long v;
    if (!parse_integer(item.c_str(), 1, 247, &v)) return false;
    if (std::find(units.begin(), units.end(), v) == units.end()) units.push_back(static_cast<uint8_t>(v));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *out = units;
  return true;
}

// Seconds, fractions allowed, 0..kMaxOutageSeconds, as whole microseconds.
bool parse_seconds(const char *text, int64_t *out_us) {
  errno = 0;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= 0.0 && v <= kMaxOutageSeconds)) return false;
  *out_us = std::llround(v * 1e6);
  return true;
}

// "MS" for every unit without a delay of its own, "UNITS:MS" for those units.
bool parse_answer_delay(const char *text, Options *o) {
  std::string arg = text;
  size_t colon = arg.find(':');
  long long ms;
  if (!parse_integer(arg.substr(colon == std::string::npos ? 0 : colon + 1).c_str(), 0, kMaxAnswerDelayMs, &ms))
    return false;
  if (colon == std::string::npos) {
    o->answer_delay_us = ms * 1000;
    return true;
  }
  std::vector<uint8_t> units;
  if (!parse_units(arg.substr(0, colon).c_str(), &units)) return false;
  for (uint8_t u : units) o->unit_delay_us[u] = ms * 1000;
  return true;
}

int bad_option(const char *option, const char *value) {
  fprintf(stderr, "velkord-sim: bad value for %s: '%s' (see --help)\n", option, value);
  return kStatusUsage;
}

enum LongOnly {
  kSilence = 1000,
  kBadCrc,
  kLate,
  kWrongUnit,
  kWrongFunction,
  kShortAnswer,
  kLateUs,
  kSeed,
  kAnswerDelay,
  kDeadAfter,
  kBackAfter,
  kDeadUnits
};

struct ProbabilityOption {
  int code;
  const char *name;
  double Options::*field;
};

constexpr ProbabilityOption kProbabilities[] = {
    {kSilence, "--silence", &Options::silence},
    {kBadCrc, "--bad-crc", &Options::bad_crc},
    {kLate, "--late", &Options::late},
    {kWrongUnit, "--wrong-unit", &Options::wrong_unit},
    {kWrongFunction, "--wrong-function", &Options::wrong_function},
    {kShortAnswer, "--short-answer", &Options::short_answer},
};

// The options that take a probability, a time or a unit list: kGoOn, or
// the exit status when the value is bad.
int parse_valued_option(int c, const char *arg, Options *o) {
  for (const ProbabilityOption &p : kProbabilities)
    if (p.code == c) return parse_probability(arg, &(o->*p.field)) ? kGoOn : bad_option(p.name, arg);
  long long v;
  switch (c) {
    case kLateUs:
      if (!parse_integer(arg, 0, 60000000, &v)) return bad_option("--late-us", arg);
      o->late_us = v;
      return kGoOn;
    case kSeed:
      if (!parse_integer(arg, 0, LLONG_MAX, &v)) return bad_option("--seed", arg);
      o->seed = static_cast<uint64_t>(v);
      return kGoOn;
    case kAnswerDelay:
      return parse_answer_delay(arg, o) ? kGoOn : bad_option("--answer-delay", arg);
    case kDeadAfter:
      return parse_seconds(arg, &o->dead_after_us) ? kGoOn : bad_option("--dead-after", arg);
    case kBackAfter:
      return parse_seconds(arg, &o->back_after_us) ? kGoOn : bad_option("--back-after", arg);
    case kDeadUnits:
      return parse_units(arg, &o->dead_units) ? kGoOn : bad_option("--dead-units", arg);
    default:  // getopt has named the problem already
      return kStatusUsage;
  }
}

bool served(const Options &o, uint8_t unit) {
  return std::find(o.units.begin(), o.units.end(), unit) != o.units.end();
}

// A delay or an outage for a unit that is not served is a mistake in the
// command line, not something to ignore.
int check_named_units(const Options &o) {
  for (int u = 1; u < kAddressSlots; ++u) {
    if (o.unit_delay_us[u] == kNoDelayOfItsOwn || served(o, static_cast<uint8_t>(u))) continue;
    fprintf(stderr, "velkord-sim: --answer-delay names unit %d, which is not served (see --units)\n", u);
    return kStatusUsage;
  }
  for (uint8_t u : o.dead_units) {
    if (served(o, u)) continue;
    fprintf(stderr, "velkord-sim: --dead-units names unit %d, which is not served (see --units)\n", u);
    return kStatusUsage;
  }
  return kGoOn;
}

// kGoOn, or the exit status when the run ends here.
int parse_options(int argc, char **argv, Options *o) {
  static const struct option kLong[] = {
      {"link", required_argument, nullptr, 'l'},        {"units", required_argument, nullptr, 'a'},
      {"baud", required_argument, nullptr, 'b'},        {"pace", no_argument, nullptr, 'P'},
      {"turnaround", required_argument, nullptr, 't'},  {"silence", required_argument, nullptr, kSilence},
      {"bad-crc", required_argument, nullptr, kBadCrc}, {"late", required_argument, nullptr, kLate},
      {"late-us", required_argument, nullptr, kLateUs}, {"seed", required_argument, nullptr, kSeed},
      {"wrong-unit", required_argument, nullptr, kWrongUnit},
      {"wrong-function", required_argument, nullptr, kWrongFunction},
      {"short-answer", required_argument, nullptr, kShortAnswer},
      {"answer-delay", required_argument, nullptr, kAnswerDelay},
      {"dead-after", required_argument, nullptr, kDeadAfter},
      {"back-after", required_argument, nullptr, kBackAfter},
      {"dead-units", required_argument, nullptr, kDeadUnits},
      {"verbose", no_argument, nullptr, 'v'},           {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},           {nullptr, 0, nullptr, 0}};
  long long v;
  int c;
  while ((c = getopt_long(argc, argv, "l:a:b:Pt:vhV", kLong, nullptr)) != -1) {
    int status = kGoOn;
    switch (c) {
      case 'l':
        if (*optarg == '\0') return bad_option("--link", optarg);
        o->link = optarg;
        break;
      case 'a':
        if (!parse_units(optarg, &o->units)) return bad_option("--units", optarg);
        break;
      case 'b':
        if (!parse_integer(optarg, 50, 4000000, &v)) return bad_option("--baud", optarg);
        o->baud = static_cast<int>(v);
        break;
      case 'P':
        o->pace = true;
        break;
      case 't':
        if (!parse_integer(optarg, 0, 60000000, &v)) return bad_option("--turnaround", optarg);
        o->turnaround_us = v;
        break;
      case 'v':
        o->verbose = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      case 'V':
        printf("velkord-sim %s\n", VELKORD_SIM_VERSION);
        return 0;
      default:
        status = parse_valued_option(c, optarg, o);
        break;
    }
    if (status != kGoOn) return status;
  }
  if (optind < argc) {
    fprintf(stderr, "velkord-sim: unexpected argument '%s' (see --help)\n", argv[optind]);
    return kStatusUsage;
  }
  return check_named_units(*o);
}

// "1,2,5"
std::string unit_list(const std::vector<uint8_t> &units) {
  std::string list;
  for (uint8_t u : units) list += (list.empty() ? "" : ",") + std::to_string(u);
  return list;
}

// ------------------------------------------------------------- fault draws

// SplitMix64: tiny, and the same sequence on every platform and library,
// which std::uniform_real_distribution does not promise.
class FaultDice {
 public:
  explicit FaultDice(uint64_t seed) : state_(seed) {}

  // True with probability p; always consumes one draw, so the faults of a
  // seed do not shift when another probability changes.
  bool roll(double p) {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    double u = static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
    return u < p;
  }

 private:
  uint64_t state_;
};

// --------------------------------------------------------------- the units

// The simulated units on the units' end of the line: they perform what they
// hear, draw the faults of each answer, go dead and come back, and log all
// of it when asked to.
class Units {
 public:
  Units(int fd, const Options &o)
      : o_(o),
        dice_(o.seed),
        start_us_(ptyunit::now_us()),
        char_us_(ptyunit::char_time_us(o.baud)),
        dead_units_(o.dead_units.empty() ? o.units : o.dead_units),
        dead_at_us_(o.dead_after_us == kNever ? kNever : start_us_ + o.dead_after_us),
        line_(
            fd, [this](const ptyunit::Frame &f, ptyunit::Line &) { handle(f); },
            [this](const Bytes &bytes, const std::string &note, int error) { log_sent(bytes, note, error); }) {
    for (uint8_t a : o.units) units_.emplace_back(a);
    line_.set_silence_us(o.baud > kFixedSilenceBaud ? kFixedSilenceUs : (7 * char_us_ + 1) / 2);
    line_.set_max_frame_bytes(kMaxFrameBytes);
  }

  // Runs until a stop signal arrives; signals are blocked outside the wait.
  void run(const sigset_t &wait_mask) {
    while (!g_stop) {
      int64_t next = std::min(dead_at_us_, back_at_us_);
      line_.step(next == kNever ? ptyunit::Line::kNoLimit : std::max<int64_t>(next - ptyunit::now_us(), 0),
                 &wait_mask);
      follow_outage();
    }
  }

 private:
  sim::Unit *find_unit(uint8_t address) {
    for (sim::Unit &u : units_)
      if (u.address() == address) return &u;
    return nullptr;
  }

  bool is_dead(uint8_t address) const {
    return dead_ && std::find(dead_units_.begin(), dead_units_.end(), address) != dead_units_.end();
  }

  // Each SIGUSR1 switches the dead units over; the schedule of --dead-after
  // and --back-after does what it says when it comes.
  void follow_outage() {
    int64_t now = ptyunit::now_us();
    for (; seen_toggles_ != g_toggles; ++seen_toggles_) set_dead(!dead_, now, "SIGUSR1");
    if (dead_at_us_ <= now) {
      dead_at_us_ = kNever;
      if (!dead_) set_dead(true, now, "--dead-after");
    }
    if (back_at_us_ <= now) {
      back_at_us_ = kNever;
      if (dead_) set_dead(false, now, "--back-after");
    }
  }

  // A unit switched off mid-answer stops mid-answer: its queued replies go.
  void set_dead(bool dead, int64_t now, const char *cause) {
    dead_ = dead;
    back_at_us_ = dead && o_.back_after_us != kNever ? now + o_.back_after_us : kNever;
    if (dead)
      for (uint8_t u : dead_units_) line_.drop_replies(u);
    int64_t t = now - start_us_;
    fprintf(stderr, "velkord-sim: at %lld.%03lld s units %s %s (%s)\n", static_cast<long long>(t / 1000000),
            static_cast<long long>(t % 1000000 / 1000), unit_list(dead_units_).c_str(),
            dead ? "went dead" : "are back", cause);
  }

  void handle(const ptyunit::Frame &frame) {
    for (sim::Unit &u : units_)
      if (!is_dead(u.address())) u.heard(frame.crc_ok());
    if (frame.bytes.size() > kMaxFrameBytes) return log(frame.bytes, "rx", "ignored: longer than any frame");
    if (frame.bytes.size() < ptyunit::kMinAnswerable) return log(frame.bytes, "rx", "ignored: too short");
    if (!frame.crc_ok()) return log(frame.bytes, "rx", "ignored: bad CRC");
    Bytes request(frame.bytes.begin(), frame.bytes.end() - 2);
    int64_t elapsed = ptyunit::now_us() - start_us_;
    if (request[0] == sim::kBroadcast) return broadcast(frame, request, elapsed);
    sim::Unit *unit = find_unit(request[0]);
    if (!unit) return log(frame.bytes, "rx", "ignored: not a unit served here");
    if (is_dead(unit->address())) return log(frame.bytes, "rx", "ignored: the unit is dead");

    bool late = false;
    ptyunit::Shape shape = draw_faults(&late);
    if (shape.silent) return log(frame.bytes, "rx", "fault: not heard");
    log(frame.bytes, "rx", nullptr);
    shape.delay_us = reply_delay_us(frame, late, o_.answer_delay_for(unit->address()));
    if (o_.pace) shape.pace_baud = o_.baud;
    line_.answer(frame, shape, [&] { return unit->serve(request, elapsed); }, fault_note(shape, late));
  }

  // Writes are performed by every live unit, without an answer.
  void broadcast(const ptyunit::Frame &frame, const Bytes &request, int64_t elapsed) {
    uint8_t fc = request[1];
    bool write = fc == 5 || fc == 6 || fc == 15 || fc == 16 || fc == 22;
    if (write)
      for (sim::Unit &u : units_)
        if (!is_dead(u.address())) u.serve(request, elapsed);
    log(frame.bytes, "rx", write ? "broadcast: performed, no answer" : "broadcast: ignored");
  }

  // One draw per fault, always in this order: the order is part of what a
  // seed means.
  ptyunit::Shape draw_faults(bool *late) {
    ptyunit::Shape s;
    s.silent = dice_.roll(o_.silence);
    s.wrong_crc = dice_.roll(o_.bad_crc);
    *late = dice_.roll(o_.late);
    s.wrong_unit = dice_.roll(o_.wrong_unit);
    s.wrong_function = dice_.roll(o_.wrong_function);
    s.short_answer = dice_.roll(o_.short_answer);
    return s;
  }

  // From the request's last byte to the first reply byte being in at the
  // master.
  int64_t reply_delay_us(const ptyunit::Frame &frame, bool late, int64_t answer_delay_us) const {
    int64_t delay = o_.turnaround_us + answer_delay_us + (late ? o_.late_us : 0);
    if (!o_.pace) return delay;
    // On a pty the request arrives in one go: charge it its wire time, from
    // its first byte, before the unit may answer.
    int64_t wire_end = frame.first_us + static_cast<int64_t>(frame.bytes.size()) * char_us_;
    // A byte is in at the receiver when its stop bit ends.
    return std::max<int64_t>(wire_end - frame.last_us, 0) + delay + char_us_;
  }

  static std::string fault_note(const ptyunit::Shape &s, bool late) {
    std::string n;
    auto add = [&](bool on, const char *what) {
      if (on) n += (n.empty() ? "fault: " : ", ") + std::string(what);
    };
    add(s.wrong_unit, "wrong unit");
    add(s.wrong_function, "wrong function");
    add(s.short_answer, "short answer");
    add(s.wrong_crc, "bad CRC");
    add(late, "late");
    return n;
  }

  void log_sent(const Bytes &bytes, const std::string &note, int error) {
    if (error == ECANCELED) return log(bytes, "tx", "not sent: the unit went dead");
    log(bytes, "tx", error != 0 ? strerror(error) : note.empty() ? nullptr : note.c_str());
  }

  void log(const Bytes &bytes, const char *what, const char *note) {
    if (!o_.verbose) return;
    int64_t t = ptyunit::now_us() - start_us_;
    std::string hex;
    char b[4];
    for (uint8_t c : bytes) {
      snprintf(b, sizeof b, "%02X ", c);
      hex += b;
    }
    if (!hex.empty()) hex.pop_back();
    fprintf(stderr, "%6lld.%06lld %s %s%s%s%s\n", static_cast<long long>(t / 1000000),
            static_cast<long long>(t % 1000000), what, hex.c_str(), note ? "  (" : "", note ? note : "",
            note ? ")" : "");
  }

  const Options &o_;
  FaultDice dice_;
  int64_t start_us_;
  int64_t char_us_;
  std::vector<sim::Unit> units_;
  std::vector<uint8_t> dead_units_;
  bool dead_ = false;
  int64_t dead_at_us_;
  int64_t back_at_us_ = kNever;
  sig_atomic_t seen_toggles_ = 0;
  ptyunit::Line line_;  // last: its handlers use the members above
};

// ------------------------------------------------------------- set-up

// Raw: no echo, no line discipline.
bool make_raw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Opens a raw pty pair; the master end is returned, the slave's descriptor
// and name are filled in. -1 with errno set when any step fails; then
// nothing stays open.
int open_line(int *slave, std::string *slave_name) {
  int master = -1;
  char name[PATH_MAX];
  struct termios raw;
  memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  if (openpty(&master, slave, name, &raw, nullptr) != 0) return -1;
  int flags = fcntl(master, F_GETFL);
  if (!make_raw(master) || flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0 ||
      fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(*slave, F_SETFD, FD_CLOEXEC) != 0) {
    int error = errno;
    close(master);
    close(*slave);
    errno = error;
    return -1;
  }
  *slave_name = name;
  return master;
}

// A stale link from an earlier run is replaced; anything else at the path
// is left alone.
bool make_link(const std::string &link, const std::string &target) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      fprintf(stderr, "velkord-sim: %s exists and is not a symlink\n", link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    fprintf(stderr, "velkord-sim: cannot create link %s: %s\n", link.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Removes the link only while it is still ours: another simulator may have
// taken the path over meanwhile.
void remove_link(const std::string &link, const std::string &target) {
  char buf[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  if (target == buf) unlink(link.c_str());
}

// The signals are only let in while the loop waits, so neither a stop nor a
// switch of the dead units is lost between looking and going to sleep.
// `wait_mask` is the mask for that wait.
bool catch_signals(sigset_t *wait_mask) {
  struct Caught {
    int signal;
    void (*handler)(int);
  };
  const Caught kCaught[] = {
      {SIGINT, on_stop_signal}, {SIGTERM, on_stop_signal}, {SIGHUP, on_stop_signal}, {SIGUSR1, on_toggle_signal}};
  sigset_t caught;
  sigemptyset(&caught);
  for (const Caught &c : kCaught) sigaddset(&caught, c.signal);
  if (sigprocmask(SIG_BLOCK, &caught, wait_mask) != 0) return false;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  for (const Caught &c : kCaught) {
    sigdelset(wait_mask, c.signal);
    sa.sa_handler = c.handler;
    if (sigaction(c.signal, &sa, nullptr) != 0) return false;
  }
  sa.sa_handler = SIG_IGN;
  return sigaction(SIGPIPE, &sa, nullptr) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  int status = parse_options(argc, argv, &o);
  if (status != kGoOn) return status;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  sigset_t wait_mask;
  if (!catch_signals(&wait_mask)) {
    fprintf(stderr, "velkord-sim: cannot set up the signals: %s\n", strerror(errno));
    return kStatusFailed;
  }

  int slave = -1;
  std::string slave_name;
  int master = open_line(&slave, &slave_name);
  if (master < 0) {
    fprintf(stderr, "velkord-sim: openpty failed: %s\n", strerror(errno));
    return kStatusFailed;
  }
  // The slave stays open here for the whole run: when the last opener of a
  // pty slave closes it, the line hangs up, and the next opener would find
  // leftovers of the old session.
  if (!o.link.empty() && !make_link(o.link, slave_name)) {
    close(slave);
    close(master);
    return kStatusFailed;
  }

  printf("velkord-sim: units %s on %s%s%s, %d baud%s\n", unit_list(o.units).c_str(), slave_name.c_str(),
         o.link.empty() ? "" : " linked from ", o.link.c_str(), o.baud, o.pace ? ", paced" : "");

  {
    Units units(master, o);
    units.run(wait_mask);
  }

  if (!o.link.empty()) remove_link(o.link, slave_name);
  close(slave);
  close(master);
  return 0;
}
