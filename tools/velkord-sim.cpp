// velkord-sim: Modbus RTU units on a pseudo-terminal, for trying the gateway
// (or any RTU master) without a serial line. The master end of the pty is
// the units' side; the slave end, reachable through a symlink, is where the
// master opens its "serial port".
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "sim_unit.h"

#ifndef VELKORD_SIM_VERSION
#define VELKORD_SIM_VERSION "dev"
#endif

namespace {

constexpr int kStatusUsage = 2;
constexpr int kStatusFailed = 1;
constexpr int kGoOn = -1;

constexpr int kCharBits = 11;  // start, 8 data, parity or second stop, stop
// Above 19200 baud Modbus fixes the end-of-frame silence at 1750 us instead
// of 3.5 character times.
constexpr int kFixedSilenceBaud = 19200;
constexpr int64_t kFixedSilenceUs = 1750;
constexpr size_t kMaxFrameBytes = 256;  // the longest RTU frame

constexpr const char *kUsage =
    "usage: velkord-sim [options]\n"
    "\n"
    "Simulates Modbus RTU units on a pseudo-terminal. Each unit has 1000 coils,\n"
    "discrete inputs, holding and input registers and answers functions 1, 2, 3,\n"
    "4, 5, 6, 15 and 16 (exception 01, 02 or 03 where Modbus asks for one).\n"
    "Requests for other units are ignored; broadcasts (unit 0) are performed\n"
    "without an answer; frames with a bad CRC are ignored.\n"
    "\n"
    "  -l, --link PATH       symlink PATH to the line's device node (removed on exit);\n"
    "                        without it the device node is printed on stdout\n"
    "  -a, --units LIST      unit addresses served, e.g. 1,2,5 (1..247; default 1)\n"
    "  -b, --baud N          line speed for the frame silence and pacing (default 9600)\n"
    "  -P, --pace            a request takes its wire time; reply bytes are spaced by\n"
    "                        the character time (11 bits a character)\n"
    "  -t, --turnaround US   wait this long after a request before replying (default 0)\n"
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
    "Stops on SIGINT or SIGTERM. Exit status 0, 1 when the line cannot be set up,\n"
    "2 for a bad option.\n";

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
};

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) { g_stop = 1; }

int64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct timespec timespec_from_us(int64_t us) {
  return {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

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

int bad_option(const char *option, const char *value) {
  fprintf(stderr, "velkord-sim: bad value for %s: '%s' (see --help)\n", option, value);
  return kStatusUsage;
}

// kGoOn, or the exit status when the run ends here.
int parse_options(int argc, char **argv, Options *o) {
  enum { kSilence = 1000, kBadCrc, kLate, kLateUs, kSeed, kWrongUnit, kWrongFunction, kShortAnswer };
  static const struct option kLong[] = {
      {"link", required_argument, nullptr, 'l'},        {"units", required_argument, nullptr, 'a'},
      {"baud", required_argument, nullptr, 'b'},        {"pace", no_argument, nullptr, 'P'},
      {"turnaround", required_argument, nullptr, 't'},  {"silence", required_argument, nullptr, kSilence},
      {"bad-crc", required_argument, nullptr, kBadCrc}, {"late", required_argument, nullptr, kLate},
      {"late-us", required_argument, nullptr, kLateUs}, {"seed", required_argument, nullptr, kSeed},
      {"wrong-unit", required_argument, nullptr, kWrongUnit},
      {"wrong-function", required_argument, nullptr, kWrongFunction},
      {"short-answer", required_argument, nullptr, kShortAnswer},
      {"verbose", no_argument, nullptr, 'v'},           {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},           {nullptr, 0, nullptr, 0}};
  long long v;
  int c;
  while ((c = getopt_long(argc, argv, "l:a:b:Pt:vhV", kLong, nullptr)) != -1) {
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
      case kSilence:
        if (!parse_probability(optarg, &o->silence)) return bad_option("--silence", optarg);
        break;
      case kBadCrc:
        if (!parse_probability(optarg, &o->bad_crc)) return bad_option("--bad-crc", optarg);
        break;
      case kLate:
        if (!parse_probability(optarg, &o->late)) return bad_option("--late", optarg);
        break;
      case kWrongUnit:
        if (!parse_probability(optarg, &o->wrong_unit)) return bad_option("--wrong-unit", optarg);
        break;
      case kWrongFunction:
        if (!parse_probability(optarg, &o->wrong_function)) return bad_option("--wrong-function", optarg);
        break;
      case kShortAnswer:
        if (!parse_probability(optarg, &o->short_answer)) return bad_option("--short-answer", optarg);
        break;
      case kLateUs:
        if (!parse_integer(optarg, 0, 60000000, &v)) return bad_option("--late-us", optarg);
        o->late_us = v;
        break;
      case kSeed:
        if (!parse_integer(optarg, 0, LLONG_MAX, &v)) return bad_option("--seed", optarg);
        o->seed = static_cast<uint64_t>(v);
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
      default:  // getopt has named the problem already
        return kStatusUsage;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "velkord-sim: unexpected argument '%s' (see --help)\n", argv[optind]);
    return kStatusUsage;
  }
  return kGoOn;
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

// --------------------------------------------------------------- the line

// The units' end of the line: one thread gathers received bytes into
// frames, has the units answer them, and writes replies, byte by byte at
// the character time when pacing. Reading goes on while a slow reply is out.
class Line {
 public:
  Line(int fd, const Options &o) : fd_(fd), o_(o), dice_(o.seed), start_us_(now_us()) {
    for (uint8_t a : o.units) units_.emplace_back(a);
    char_us_ = (kCharBits * 1000000LL + o.baud - 1) / o.baud;
    silence_us_ = o.baud > kFixedSilenceBaud ? kFixedSilenceUs : (7 * char_us_ + 1) / 2;
  }

  // Runs until a stop signal arrives; signals are blocked outside the wait.
  void run(const sigset_t &wait_mask) {
    while (!g_stop) {
      int64_t now = now_us();
      bool want_out = write_due(now);
      now = now_us();
      if (!rx_.empty() && now - rx_last_us_ >= silence_us_) {
        handle(rx_, rx_first_us_, rx_last_us_);
        rx_.clear();
      }

      // Without a deadline the wait lasts until bytes, room or a signal arrive.
      int64_t deadline = INT64_MAX;
      if (!out_.empty() && !want_out) deadline = out_.front().due_us;
      if (!rx_.empty()) deadline = std::min(deadline, rx_last_us_ + silence_us_);
      struct pollfd p = {fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
      struct timespec ts = timespec_from_us(std::max<int64_t>(deadline - now, 0));
      int r = ppoll(&p, 1, deadline == INT64_MAX ? nullptr : &ts, &wait_mask);
      if (r <= 0) continue;
      if (p.revents & POLLIN) receive();
      // The slave end is held open here, so a hang-up should never show;
      // if it does, do not spin on it.
      if (p.revents & (POLLHUP | POLLERR)) usleep(1000);
    }
  }

 private:
  // The faults drawn for one request; each draw is made whatever the others
  // came to.
  struct Faults {
    bool silent = false, bad_crc = false, late = false;
    bool wrong_unit = false, wrong_function = false, short_answer = false;

    std::string note() const {
      std::string n;
      auto add = [&](bool on, const char *what) {
        if (on) n += (n.empty() ? "fault: " : ", ") + std::string(what);
      };
      add(wrong_unit, "wrong unit");
      add(wrong_function, "wrong function");
      add(short_answer, "short answer");
      add(bad_crc, "bad CRC");
      add(late, "late");
      return n;
    }
  };

  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    int64_t due_us = 0;  // when the next byte (or all of them) may go
    int64_t gap_us = 0;  // > 0: one byte at a time, this far apart
    std::string note;    // for the log, once the reply is out
  };

  void receive() {
    uint8_t buf[512];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return;
    int64_t t = now_us();
    if (rx_.empty()) rx_first_us_ = t;
    rx_.insert(rx_.end(), buf, buf + n);
    rx_last_us_ = t;
    // A well-formed request of a known shape is answered at once, the way a
    // quick unit would; anything else waits for the silence that ends it.
    for (;;) {
      size_t len = sim::request_length(rx_);
      if (len == 0 || rx_.size() < len) break;
      std::vector<uint8_t> head(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(len));
      if (!sim::crc_ok(head)) break;
      handle(head, rx_first_us_, rx_last_us_);
      rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(len));
      rx_first_us_ = rx_last_us_;
    }
    if (rx_.size() > kMaxFrameBytes) {
      log(rx_, "rx", "ignored: longer than any frame");
      rx_.clear();
    }
  }

  sim::Unit *find_unit(uint8_t address) {
    for (sim::Unit &u : units_)
      if (u.address() == address) return &u;
    return nullptr;
  }

  void handle(const std::vector<uint8_t> &frame, int64_t first_us, int64_t last_us) {
    if (frame.size() < 4) return log(frame, "rx", "ignored: too short");
    if (!sim::crc_ok(frame)) return log(frame, "rx", "ignored: bad CRC");
    std::vector<uint8_t> request(frame.begin(), frame.end() - 2);
    int64_t elapsed = now_us() - start_us_;
    uint8_t fc = request[1];
    if (request[0] == sim::kBroadcast) {
      bool write = fc == 5 || fc == 6 || fc == 15 || fc == 16;
      if (write)
        for (sim::Unit &u : units_) u.serve(request, elapsed);
      return log(frame, "rx", write ? "broadcast: performed, no answer" : "broadcast: ignored");
    }
    sim::Unit *unit = find_unit(request[0]);
    if (!unit) return log(frame, "rx", "ignored: not a unit served here");

    Faults f;
    f.silent = dice_.roll(o_.silence);
    f.bad_crc = dice_.roll(o_.bad_crc);
    f.late = dice_.roll(o_.late);
    f.wrong_unit = dice_.roll(o_.wrong_unit);
    f.wrong_function = dice_.roll(o_.wrong_function);
    f.short_answer = dice_.roll(o_.short_answer);
    if (f.silent) return log(frame, "rx", "fault: not heard");
    log(frame, "rx", nullptr);

    Outgoing out;
    out.bytes = sim::misshape(unit->serve(request, elapsed), f.wrong_unit, f.wrong_function, f.short_answer);
    sim::append_crc(out.bytes);
    if (f.bad_crc) {
      out.bytes[out.bytes.size() - 2] ^= 0xFF;
      out.bytes[out.bytes.size() - 1] ^= 0xFF;
    }
    int64_t start = last_us;
    // On a pty the request arrives in one go: charge it its wire time, from
    // its first byte, before the unit may answer.
    if (o_.pace) start = std::max(start, first_us + static_cast<int64_t>(frame.size()) * char_us_);
    start += o_.turnaround_us + (f.late ? o_.late_us : 0);
    if (o_.pace) {
      // A byte is in at the receiver when its stop bit ends.
      out.gap_us = char_us_;
      out.due_us = start + char_us_;
    } else {
      out.due_us = start;
    }
    out.note = f.note();
    // Replies go out one after another, never interleaved (see write_due).
    out_.push_back(std::move(out));
  }

  // Writes what is due; true when the front reply is due but the pty would
  // not take it now (then wait for room).
  bool write_due(int64_t now) {
    while (!out_.empty()) {
      Outgoing &o = out_.front();
      if (o.due_us > now) return false;
      size_t count = o.gap_us > 0 ? 1 : o.bytes.size() - o.pos;
      ssize_t n = write(fd_, o.bytes.data() + o.pos, count);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        log(o.bytes, "tx", strerror(errno));
        out_.pop_front();
        continue;
      }
      o.pos += static_cast<size_t>(n);
      if (o.pos < o.bytes.size()) {
        if (o.gap_us > 0) o.due_us += o.gap_us;
        continue;
      }
      log(o.bytes, "tx", o.note.empty() ? nullptr : o.note.c_str());
      int64_t done = now_us();
      out_.pop_front();
      if (!out_.empty()) out_.front().due_us = std::max(out_.front().due_us, done);
      now = done;
    }
    return false;
  }

  void log(const std::vector<uint8_t> &bytes, const char *what, const char *note) {
    if (!o_.verbose) return;
    int64_t t = now_us() - start_us_;
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

  int fd_;
  const Options &o_;
  FaultDice dice_;
  int64_t start_us_;
  int64_t char_us_ = 0;
  int64_t silence_us_ = 0;
  std::vector<sim::Unit> units_;
  std::vector<uint8_t> rx_;
  int64_t rx_first_us_ = 0, rx_last_us_ = 0;
  std::deque<Outgoing> out_;
};

// ------------------------------------------------------------- set-up

// Opens a raw pty pair; the master end is returned, the slave's descriptor
// and name are filled in.
int open_line(int *slave, std::string *slave_name) {
  int master = -1;
  char name[PATH_MAX];
  struct termios raw;
  memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  if (openpty(&master, slave, name, &raw, nullptr) != 0) return -1;
  // Raw on the master side as well: no echo, no line discipline.
  struct termios m;
  tcgetattr(master, &m);
  cfmakeraw(&m);
  tcsetattr(master, TCSANOW, &m);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(*slave, F_SETFD, FD_CLOEXEC);
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

}  // namespace

int main(int argc, char **argv) {
  Options o;
  int status = parse_options(argc, argv, &o);
  if (status != kGoOn) return status;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // The stop signals are only let in while the loop waits, so a stop is
  // never lost between checking the flag and going to sleep.
  sigset_t stop_signals, wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGHUP);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

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
  if (!o.link.empty() && !make_link(o.link, slave_name)) return kStatusFailed;

  std::string units;
  for (uint8_t u : o.units) units += (units.empty() ? "" : ",") + std::to_string(u);
  printf("velkord-sim: units %s on %s%s%s, %d baud%s\n", units.c_str(), slave_name.c_str(),
         o.link.empty() ? "" : " linked from ", o.link.c_str(), o.baud, o.pace ? ", paced" : "");

  Line line(master, o);
  line.run(wait_mask);

  if (!o.link.empty()) remove_link(o.link, slave_name);
  close(slave);
  close(master);
  return 0;
}
