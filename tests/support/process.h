// The real velkord binary as a child process, its standard output captured.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vt {

// Starts `path args...` with extra "NAME=value" environment entries, standard
// input on /dev/null and standard output and error on pipes, whose read ends
// it returns. The caller waits for the child.
pid_t spawn_program(const std::string &path, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, int *out_fd, int *err_fd);

struct RunResult {
  int status = -1;  // exit status, or -1 when it did not end in time (then killed)
  std::string out;  // everything on standard output
  std::string err;  // everything on standard error
};

// Runs `velkord args...` with extra "NAME=value" environment entries and
// waits at most timeout_ms for it to end.
RunResult run_velkord(const std::vector<std::string> &args, int timeout_ms = 10000,
                      const std::vector<std::string> &env = {});

// The same for any program (a Python client, say).
RunResult run_program(const std::string &path, const std::vector<std::string> &args, int timeout_ms,
                      const std::vector<std::string> &env = {});

// A velkord that keeps running: started, watched, killed at the end.
class Gateway {
 public:
  Gateway(const std::vector<std::string> &args, const std::vector<std::string> &env = {});
  ~Gateway();
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  // Waits until standard output holds `text` (true) or timeout_ms passes.
  bool wait_for_output(const std::string &text, int timeout_ms);
  // What the gateway has printed so far.
  const std::string &output();
  // Exit status when it has ended within timeout_ms, else -1.
  int wait_exit(int timeout_ms);
  void kill_now();
  pid_t pid() const { return pid_; }

 private:
  void drain(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string out_;
  int status_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_tcp_port();

// velkord-sim, built beside the gateway, serving units on a pseudo-terminal
// of its own linked as "<folder>/ttyM0"; stopped (SIGTERM) when destroyed.
class SimProcess {
 public:
  // `args` after the link, e.g. {"-b", "9600", "-P"}. ready() is false when
  // the simulator is not built or its link did not show within 5 s.
  explicit SimProcess(const std::vector<std::string> &args);
  ~SimProcess();
  SimProcess(const SimProcess &) = delete;
  SimProcess &operator=(const SimProcess &) = delete;

  bool ready() const { return ready_; }
  // The device-node pattern that makes serial port 0 the simulator's line.
  std::string pattern() const { return dir_ + "/ttyM%d"; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool ready_ = false;
};

}  // namespace vt
