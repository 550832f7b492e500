#include "support/poll_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "support/pty.h"

namespace vt {

ProgramRun run_program(const std::string &path, const std::vector<std::string> &args, int timeout_ms,
                       int interrupt_after_ms) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv_s = {path};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int64_t start = now_us();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);

  ProgramRun run;
  const int64_t end = start + static_cast<int64_t>(timeout_ms) * 1000;
  int64_t interrupt_at = interrupt_after_ms >= 0 ? start + interrupt_after_ms * int64_t{1000} : -1;
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *into[2] = {&run.out, &run.err};
  int open_pipes = 2;
  while (open_pipes > 0 && now_us() < end) {
    if (interrupt_at >= 0 && now_us() >= interrupt_at) {
      kill(pid, SIGINT);
      interrupt_at = -1;
    }
    int64_t wake = interrupt_at >= 0 ? std::min(interrupt_at, end) : end;
    int wait_ms = static_cast<int>(std::max<int64_t>((wake - now_us()) / 1000, 1));
    if (poll(fds, 2, wait_ms) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        into[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) close(f.fd);

  int wstatus = 0;
  pid_t w = waitpid(pid, &wstatus, WNOHANG);
  while (w == 0 && now_us() < end) {
    usleep(2000);
    w = waitpid(pid, &wstatus, WNOHANG);
  }
  run.elapsed_ms = (now_us() - start) / 1000;
  if (w == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    run.status = -1;
  } else if (WIFEXITED(wstatus)) {
    run.status = WEXITSTATUS(wstatus);
  } else {
    run.status = 1000 + WTERMSIG(wstatus);
  }
  return run;
}

}  // namespace vt
