#include "support/poll_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "support/process.h"
#include "support/pty.h"

namespace vt {

ProgramRun run_program(const std::string &path, const std::vector<std::string> &args, int timeout_ms,
                       int interrupt_after_ms) {
  const int64_t start = now_us();
  int out_fd, err_fd;
  pid_t pid = spawn_program(path, args, {}, &out_fd, &err_fd);

  ProgramRun run;
  const int64_t end = start + static_cast<int64_t>(timeout_ms) * 1000;
  int64_t interrupt_at = interrupt_after_ms >= 0 ? start + interrupt_after_ms * int64_t{1000} : -1;
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
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
