// The client's side of the gateway's TCP protocol, for tests: building
// requests field by field, a blocking client on 127.0.0.1 with deadlines on
// every read, and a connected loopback pair for in-process framing tests.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vt {

using Bytes = std::vector<uint8_t>;

// The header fields a client sets; everything else in the header is zero.
struct RequestFields {
  uint32_t keep_alive = 0;  // µs, 0 keeps the handler's budget
  uint16_t pause = 0;       // µs, 0 keeps the handler's pause
  uint8_t mode = 0;
  uint8_t slot = 0;
  int32_t timeout = 0;    // µs
  uint32_t delay = 0;     // µs
  uint32_t lifetime = 0;  // µs
  Bytes frame;            // Modbus request without CRC
};

// The request as sent: 32-byte header, then the frame; length counts both.
Bytes build_request(const RequestFields &r);

// The 32-byte response of a refused request: length 32 and the status, all
// else zero.
Bytes error_response(uint8_t status);

// A message of `length` bytes whose length field says `declared` and whose
// body is `fill` (lets a test lie about the length).
Bytes raw_message(uint16_t declared, size_t length, uint8_t fill = 0);

// "37 bytes: 25 00 00 ..." for failure messages.
std::string hex(const Bytes &bytes);

// host:port as a socket address (IPv4 or IPv6); its size, 0 when host is
// no numeric address.
socklen_t socket_address(const std::string &host, int port, struct sockaddr_storage &where);

// A blocking TCP client of 127.0.0.1:port (or of another numeric address).
class NetClient {
 public:
  // Connects at once, from the address `from` when one is given (another
  // loopback address, say); throws when the connection is refused.
  explicit NetClient(int port, const std::string &host = "127.0.0.1", const std::string &from = "");
  ~NetClient();
  NetClient(const NetClient &) = delete;
  NetClient &operator=(const NetClient &) = delete;

  int fd() const { return fd_; }

  // Sends every byte; false when the connection fails.
  bool send(const Bytes &bytes);
  // One length-prefixed message, read whole within timeout_ms; nullopt on
  // time-out, end of stream or error (eof() tells which).
  std::optional<Bytes> read_response(int timeout_ms);
  // send() then read_response().
  std::optional<Bytes> exchange(const Bytes &request, int timeout_ms);
  // True when the gateway ends the connection (end of stream or reset)
  // within timeout_ms; false on time-out or when data arrives instead.
  bool wait_closed(int timeout_ms);
  // True once a read has seen end of stream or a reset.
  bool eof() const { return eof_; }

  // Orderly close (FIN).
  void close();
  // Abortive close: the gateway's side gets a reset (SO_LINGER 0).
  void reset();

 private:
  int fd_ = -1;
  bool eof_ = false;
};

// Two ends of one established TCP connection on loopback.
class TcpPair {
 public:
  TcpPair();
  ~TcpPair();
  TcpPair(const TcpPair &) = delete;
  TcpPair &operator=(const TcpPair &) = delete;

  int a() const { return a_; }
  int b() const { return b_; }
  // Closes one end early (FIN); the destructor skips it then.
  void close_a();
  void close_b();
  // Moves end a to descriptor `target`, closing the old one.
  void move_a_to(int target);

 private:
  int a_ = -1;
  int b_ = -1;
};

// A socket listening on every IPv4 interface at `port` for the scope, so
// that a server's bind there fails, whatever address it binds.
struct Squatter {
  explicit Squatter(int port);
  ~Squatter();
  Squatter(const Squatter &) = delete;
  Squatter &operator=(const Squatter &) = delete;
  int fd;
};

// Writes all bytes to fd (blocking); false on failure.
bool write_all(int fd, const Bytes &bytes);
// Reads up to `want` bytes from fd within timeout_ms (fewer at end of stream
// or time-out).
Bytes read_for(int fd, size_t want, int timeout_ms);

// Everything an HTTP server on 127.0.0.1:port sends, head included, on a
// connection that asks for `path`, until it closes (at most 5 s).
std::string http_get(int port, const std::string &path);

// Descriptors the process holds, from /proc/<pid>/fd; -1 when unreadable.
int count_open_fds(pid_t pid);
// Threads of the process, from /proc/<pid>/task; -1 when unreadable.
int count_threads(pid_t pid);
// Processor time (user and system) the process has used so far, in ms, from
// /proc/<pid>/stat; -1 when unreadable.
int64_t cpu_time_ms(pid_t pid);
// Occurrences of `needle` in `text`.
size_t count_of(const std::string &text, const std::string &needle);

}  // namespace vt
