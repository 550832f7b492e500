// Fuzz target: the command line. The input, split at every NUL byte, becomes
// the arguments after the program name; ParseCommandLine must return what the
// option rules give and leave the settings record as they say, and nothing
// may read or write outside the arguments (AddressSanitizer).
//
// The rules are written out a second time below, in the plainest form, and
// the two must agree on every input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "start.h"
#include "modbusRTU.h"

namespace {

[[noreturn]] void fail(const char *what, const std::vector<std::string> &args) {
  fprintf(stderr, "fuzz_command_line: %s; arguments:", what);
  for (const std::string &a : args) fprintf(stderr, " \"%s\"", a.c_str());
  fprintf(stderr, "\n");
  abort();
}

struct Outcome {
  int status;
  int32_t fields[5];  // serialport, baudrate, databits, stopbits, ipport
};

bool one_of_the_rates(int32_t v) {
  static const int32_t rates[] = {110,   300,    1200,   2400,   4800,   9600,   19200, 38400,
                                  57600, 115200, 230400, 460800, 500000, 576000, 921600};
  for (int32_t r : rates)
    if (v == r) return true;
  return false;
}

Outcome by_the_rules(const std::vector<std::string> &args) {
  static const char *const names[] = {"-sp", "-br", "-db", "-sb", "-p"};
  Outcome o{};
  if (args.empty()) {
    o.status = 1;
    return o;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "--version") {
      o.status = 0;
      return o;
    }
    int which = -1;
    for (int k = 0; k < 5; ++k)
      if (args[i] == names[k]) which = k;
    if (which < 0) {
      o.status = 4;
      return o;
    }
    if (i + 1 == args.size()) {
      o.status = which == 3 ? -2 : 2;
      return o;
    }
    int32_t v = atoi(args[++i].c_str());
    o.fields[which] = v;
    bool ok = which == 0   ? v >= 0 && v <= 3
              : which == 1 ? one_of_the_rates(v)
              : which == 2 ? v >= 5 && v <= 8
              : which == 3 ? v == 1 || v == 2
                           : v != 0;
    if (!ok) {
      o.status = 3;
      return o;
    }
  }
  o.status = kGoOn;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The usage text and the banner are not what this target looks at.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    const char *at = reinterpret_cast<const char *>(data);
    const char *end = at + size;
    for (;;) {
      const char *nul = static_cast<const char *>(memchr(at, '\0', static_cast<size_t>(end - at)));
      args.emplace_back(at, nul ? nul : end);
      if (!nul) break;
      at = nul + 1;
    }
  }

  // Exactly argc + 1 pointers, the last one null, as the program gets them;
  // each string its own allocation so a read past one is caught.
  std::vector<char *> argv;
  argv.push_back(strdup("velkord"));
  for (const std::string &a : args) argv.push_back(strdup(a.c_str()));
  argv.push_back(nullptr);

  memset(&ModbusRTU, 0, sizeof ModbusRTU);
  int status = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data());
  for (char *a : argv) free(a);

  Outcome want = by_the_rules(args);
  if (status != want.status) fail("status differs from the rules", args);
  const int32_t got[5] = {ModbusRTU.serialport, ModbusRTU.baudrate, ModbusRTU.databits, ModbusRTU.stopbits,
                          ModbusRTU.ipport};
  if (memcmp(got, want.fields, sizeof got) != 0) fail("settings differ from the rules", args);
  if (ModbusRTU.full_size_sym != 0 || ModbusRTU.time_one_sym != 0 || ModbusRTU.time_silence != 0)
    fail("the command line wrote the derived timing", args);
  return 0;
}
