#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "support/pty.h"

namespace vt {

pid_t spawn_program(const std::string &path, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, int *out_fd, int *err_fd) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv_s = {path};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argv_s) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    for (const auto &e : env) putenv(strdup(e.c_str()));
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  *out_fd = out[0];
  *err_fd = err[0];
  return pid;
}

namespace {

// Appends what is readable on fd within timeout_ms; false at end of file.
bool read_some(int fd, std::string &into, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r <= 0) return true;
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  into.append(buf, static_cast<size_t>(n));
  return true;
}

int decode_status(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  return 1000 + WTERMSIG(wstatus);
}

}  // namespace

RunResult run_velkord(const std::vector<std::string> &args, int timeout_ms,
                      const std::vector<std::string> &env) {
  return run_program(VELKORD_BINARY, args, timeout_ms, env);
}

RunResult run_program(const std::string &path, const std::vector<std::string> &args, int timeout_ms,
                      const std::vector<std::string> &env) {
  RunResult res;
  int out_fd, err_fd;
  pid_t pid = spawn_program(path, args, env, &out_fd, &err_fd);
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && now_us() < end) {
    if (out_open) out_open = read_some(out_fd, res.out, 10);
    if (err_open) err_open = read_some(err_fd, res.err, 10);
  }
  int wstatus = 0;
  pid_t w = waitpid(pid, &wstatus, WNOHANG);
  while (w == 0 && now_us() < end) {
    usleep(1000);
    w = waitpid(pid, &wstatus, WNOHANG);
  }
  if (w == pid) {
    res.status = decode_status(wstatus);
  } else {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    res.status = -1;
  }
  close(out_fd);
  close(err_fd);
  return res;
}

Gateway::Gateway(const std::vector<std::string> &args, const std::vector<std::string> &env) {
  int err_fd;
  pid_ = spawn_program(VELKORD_BINARY, args, env, &out_fd_, &err_fd);
  close(err_fd);
}

Gateway::~Gateway() {
  kill_now();
  if (out_fd_ >= 0) close(out_fd_);
}

void Gateway::drain(int timeout_ms) {
  if (out_fd_ < 0) return;
  if (!read_some(out_fd_, out_, timeout_ms)) {
    close(out_fd_);
    out_fd_ = -1;
  }
}

bool Gateway::wait_for_output(const std::string &text, int timeout_ms) {
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  while (out_.find(text) == std::string::npos) {
    if (now_us() >= end || out_fd_ < 0) return out_.find(text) != std::string::npos;
    drain(20);
  }
  return true;
}

const std::string &Gateway::output() {
  drain(0);
  return out_;
}

int Gateway::wait_exit(int timeout_ms) {
  if (status_ >= 0 || pid_ < 0) return status_;
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  int wstatus = 0;
  while (true) {
    pid_t w = waitpid(pid_, &wstatus, WNOHANG);
    if (w == pid_) {
      status_ = decode_status(wstatus);
      pid_ = -1;
      drain(0);
      return status_;
    }
    if (now_us() >= end) return -1;
    drain(10);
  }
}

void Gateway::kill_now() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int wstatus;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
  }
}

// A port below the kernel's ephemeral range (32768 and up by default), so
// that no outgoing connection of this machine can be holding it, and one
// that binds on all interfaces right now without address reuse.
int free_tcp_port() {
  static unsigned seed = static_cast<unsigned>(now_us() ^ getpid());
  // A test that asks for two ports (the native one and a face's) binds
  // neither before it asks again: never hand out a port twice.
  static std::vector<int> given;
  for (int attempt = 0; attempt < 200; ++attempt) {
    int port = 20000 + static_cast<int>(rand_r(&seed) % 12000);
    if (std::find(given.begin(), given.end(), port) != given.end()) continue;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    if (ok) {
      given.push_back(port);
      return port;
    }
  }
  throw std::runtime_error("no free TCP port between 20000 and 32000");
}

SimProcess::SimProcess(const std::vector<std::string> &args) : dir_(make_temp_dir()) {
  const std::string gateway = VELKORD_BINARY;
  const std::string sim = gateway.substr(0, gateway.rfind('/')) + "/tools/velkord-sim";
  if (access(sim.c_str(), X_OK) != 0) return;
  std::vector<std::string> all = {"--link", dir_ + "/ttyM0"};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = spawn_program(sim, all, {}, &out_, &err_);
  const std::string link = dir_ + "/ttyM0";
  for (int i = 0; i < 250 && !ready_; ++i) {
    ready_ = access(link.c_str(), F_OK) == 0;
    if (!ready_) usleep(20000);
  }
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_, err_})
    if (fd >= 0) close(fd);
}

}  // namespace vt
