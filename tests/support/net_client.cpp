#include "support/net_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "support/pty.h"
#include "support/slowdown.h"

namespace vt {
namespace {

void put16(Bytes &m, size_t at, uint16_t v) {
  m[at] = static_cast<uint8_t>(v);
  m[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes &m, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

int ms_left(int64_t end_us) {
  int64_t left = end_us - now_us();
  return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// 0 ready, -1 time-out.
int wait_in(int fd, int64_t end_us) {
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, ms_left(end_us));
    if (r > 0) return 0;
    if (r == 0) return -1;
    if (errno != EINTR) return -1;
  }
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}


int count_entries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

}  // namespace

Bytes build_request(const RequestFields &r) {
  Bytes m(32 + r.frame.size(), 0);
  put16(m, 0, static_cast<uint16_t>(m.size()));
  put32(m, 4, r.keep_alive);
  put16(m, 8, r.pause);
  m[11] = r.mode;
  m[12] = r.slot;
  put32(m, 16, static_cast<uint32_t>(r.timeout));
  put32(m, 20, r.delay);
  put32(m, 24, r.lifetime);
  for (size_t i = 0; i < r.frame.size(); ++i) m[32 + i] = r.frame[i];
  return m;
}

Bytes error_response(uint8_t status) {
  Bytes m(32, 0);
  m[0] = 32;
  m[10] = status;
  return m;
}

Bytes raw_message(uint16_t declared, size_t length, uint8_t fill) {
  Bytes m(length, fill);
  if (length >= 1) m[0] = static_cast<uint8_t>(declared);
  if (length >= 2) m[1] = static_cast<uint8_t>(declared >> 8);
  return m;
}

std::string hex(const Bytes &bytes) {
  std::string s = std::to_string(bytes.size()) + " bytes:";
  char b[4];
  for (uint8_t v : bytes) {
    snprintf(b, sizeof b, " %02X", v);
    s += b;
  }
  return s;
}

bool write_all(int fd, const Bytes &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

Bytes read_for(int fd, size_t want, int timeout_ms) {
  Bytes got;
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  uint8_t buf[4096];
  while (got.size() < want) {
    if (wait_in(fd, end) != 0) break;
    size_t ask = want - got.size() < sizeof buf ? want - got.size() : sizeof buf;
    ssize_t n = recv(fd, buf, ask, 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

Squatter::Squatter(int port) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in a = loopback(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0)
    throw std::runtime_error("cannot listen on port " + std::to_string(port));
}

Squatter::~Squatter() { ::close(fd); }

std::string http_get(int port, const std::string &path) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in a = loopback(port);
  std::string text;
  const std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      write_all(fd, Bytes(request.begin(), request.end()))) {
    char buf[8192];
    struct pollfd p = {fd, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, slow_ms(5000)) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
      text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

socklen_t socket_address(const std::string &host, int port, sockaddr_storage &where) {
  where = {};
  auto *a4 = reinterpret_cast<sockaddr_in *>(&where);
  auto *a6 = reinterpret_cast<sockaddr_in6 *>(&where);
  if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *a4;
  }
  if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof *a6;
  }
  return 0;
}

// ---- NetClient -------------------------------------------------------------

NetClient::NetClient(int port, const std::string &host, const std::string &from) {
  sockaddr_storage a, source;
  socklen_t size = socket_address(host, port, a);
  socklen_t source_size = from.empty() ? 0 : socket_address(from, 0, source);
  if (size == 0 || (!from.empty() && source_size == 0)) throw std::runtime_error(host + " or " + from + " is no numeric address");
  fd_ = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  if ((source_size != 0 && bind(fd_, reinterpret_cast<sockaddr *>(&source), source_size) != 0) ||
      connect(fd_, reinterpret_cast<sockaddr *>(&a), size) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("connect to " + host + " port " + std::to_string(port) + " failed");
  }
}

NetClient::~NetClient() { close(); }

bool NetClient::send(const Bytes &bytes) { return fd_ >= 0 && write_all(fd_, bytes); }

std::optional<Bytes> NetClient::read_response(int timeout_ms) {
  if (fd_ < 0) return std::nullopt;
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  Bytes got;
  size_t want = 2;
  uint8_t buf[4096];
  while (got.size() < want) {
    if (wait_in(fd_, end) != 0) return std::nullopt;
    size_t ask = want - got.size() < sizeof buf ? want - got.size() : sizeof buf;
    // Only what this message still lacks: a following one stays queued.
    ssize_t n = recv(fd_, buf, ask, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      return std::nullopt;
    }
    got.insert(got.end(), buf, buf + n);
    if (want == 2 && got.size() == 2) {
      want = static_cast<size_t>(got[0] | (got[1] << 8));
      if (want < 2) return got;  // malformed: hand it to the test as it is
    }
  }
  return got;
}

std::optional<Bytes> NetClient::exchange(const Bytes &request, int timeout_ms) {
  if (!send(request)) return std::nullopt;
  return read_response(timeout_ms);
}

bool NetClient::wait_closed(int timeout_ms) {
  if (fd_ < 0) return false;
  int64_t end = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  if (wait_in(fd_, end) != 0) return false;
  uint8_t b;
  ssize_t n = recv(fd_, &b, 1, 0);
  if (n > 0) return false;
  eof_ = true;
  return true;
}

void NetClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void NetClient::reset() {
  if (fd_ < 0) return;
  struct linger l = {1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close();
}

// ---- TcpPair ---------------------------------------------------------------

TcpPair::TcpPair() {
  int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (lst < 0 || bind(lst, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lst, 1) != 0 ||
      getsockname(lst, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    throw std::runtime_error("loopback listener failed");
  a_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (a_ < 0 || connect(a_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
    throw std::runtime_error("loopback connect failed");
  b_ = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(lst);
  if (b_ < 0) throw std::runtime_error("loopback accept failed");
}

TcpPair::~TcpPair() {
  close_a();
  close_b();
}

void TcpPair::close_a() {
  if (a_ >= 0) ::close(a_);
  a_ = -1;
}

void TcpPair::close_b() {
  if (b_ >= 0) ::close(b_);
  b_ = -1;
}

void TcpPair::move_a_to(int target) {
  if (dup2(a_, target) != target) throw std::runtime_error("dup2 failed");
  ::close(a_);
  a_ = target;
}

// ---- Process inspection ----------------------------------------------------

int count_open_fds(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/fd"); }

int count_threads(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/task"); }

int64_t cpu_time_ms(pid_t pid) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return -1;
  char line[1024];
  bool read = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  // The command name in parentheses may hold spaces: count fields after it.
  const char *after = read ? strrchr(line, ')') : nullptr;
  unsigned long long utime = 0, stime = 0;
  if (after == nullptr || sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                                 &stime) != 2)
    return -1;
  return static_cast<int64_t>((utime + stime) * 1000 / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

}  // namespace vt
