#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace vt {

int64_t now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/velkord-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

PtyPair::PtyPair(int port) : port_(port) {
  int slave = -1;
  char name[PATH_MAX];
  struct termios raw;
  cfmakeraw(&raw);
  if (openpty(&master_, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  // Raw on the master side as well: no echo, no line discipline.
  struct termios m;
  tcgetattr(master_, &m);
  cfmakeraw(&m);
  tcsetattr(master_, TCSANOW, &m);
  close(slave);
  slave_path_ = name;
  dir_ = make_temp_dir();
  if (symlink(slave_path_.c_str(), link_path().c_str()) != 0) throw std::runtime_error("symlink failed");
}

PtyPair::~PtyPair() {
  unlink(link_path().c_str());
  rmdir(dir_.c_str());
  if (held_slave_ >= 0) close(held_slave_);
  if (master_ >= 0) close(master_);
}

std::string PtyPair::link_path() const { return dir_ + "/ttyM" + std::to_string(port_); }

void PtyPair::export_pattern() const { setenv("VELKORD_TTY_PATTERN", pattern().c_str(), 1); }

void PtyPair::hold_slave() {
  if (held_slave_ < 0) held_slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

void PtyPair::write_master(const std::vector<uint8_t> &bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw std::runtime_error("write to pty master failed");
    }
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> PtyPair::read_master(int timeout_ms, size_t want) const {
  std::vector<uint8_t> got;
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  while (want == 0 || got.size() < want) {
    int64_t left = end - now_us();
    if (left <= 0) break;
    struct pollfd p = {master_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>((left + 999) / 1000));
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      break;
    }
    uint8_t buf[512];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

}  // namespace vt
