// Any program of the build as a child process, for the command-line tools:
// its standard output and error captured, optionally interrupted with SIGINT
// the way Ctrl-C would, and its run time measured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

struct ProgramRun {
  int status = -1;  // exit status; 1000 + signal when killed by one; -1 when still running at the time-out
  std::string out;
  std::string err;
  int64_t elapsed_ms = 0;  // from the start until it ended (or was killed)
};

// Runs `path args...` with standard input on /dev/null and waits at most
// timeout_ms for it to end, then kills it. With interrupt_after_ms >= 0 it
// gets a SIGINT that long after its start.
ProgramRun run_program(const std::string &path, const std::vector<std::string> &args, int timeout_ms,
                       int interrupt_after_ms = -1);

}  // namespace vt
