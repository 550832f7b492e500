// Closed-loop load on the gateway's TCP side: N connections on 127.0.0.1,
// each with one request in flight, driven from a single epoll loop so that
// the client costs as little processor time as it can on a small machine.
// The latency of a request runs from the moment its write returned to the
// moment its whole response has been read.
//
//   load_client --port P [--clients N] [--seconds S] [--warmup S]
//               [--pause US] [--keepalive US] [--mode M] [--unit U]
//               [--same-unit] [--slot S] [--timeout US] [--lifetime US]
//               [--delay US] [--modbus-tcp | --rtu-over-tcp]
//
// Connection i sends "read one holding register at 0" to unit U + i (all to
// unit U with --same-unit), slot S; with --modbus-tcp it sends the same
// read as a Modbus TCP request instead, with --rtu-over-tcp as an RTU frame. Prints one line of JSON with the counts,
// the rate and the latency percentiles; exits 1 when the gateway could not
// be reached or ended a connection.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "frame.h"
#include "message.h"

namespace {

struct Options {
  int port = 0;
  int clients = 1;
  double seconds = 5.0;
  double warmup = 0.5;
  uint16_t pause = 1;
  uint32_t keepalive = 100;  // budget in turns of pause; ends the handler soon after we close
  uint8_t mode = 0;
  int unit = 1;
  bool same_unit = false;
  bool modbus_tcp = false;    // Modbus TCP requests instead of the native protocol
  bool rtu_over_tcp = false;  // RTU frames instead of the native protocol
  uint8_t slot = 0;
  int32_t timeout = 20000;
  uint32_t lifetime = 4000000000u;
  uint32_t delay = 0;
};

struct Connection {
  int fd = -1;
  uint8_t request[64];
  size_t request_len = 0;
  uint8_t in[2048];
  size_t in_len = 0;
  int64_t sent_ns = 0;
  bool answered_once = false;
};

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: load_client --port P [--clients N] [--seconds S] [--warmup S] [--pause US]\n"
          "       [--keepalive US] [--mode M] [--unit U] [--same-unit] [--slot S]\n"
          "       [--timeout US] [--lifetime US] [--delay US] [--modbus-tcp | --rtu-over-tcp]\n");
  exit(2);
}

Options parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--same-unit" || a == "--modbus-tcp" || a == "--rtu-over-tcp") {
      (a == "--same-unit" ? o.same_unit : a == "--modbus-tcp" ? o.modbus_tcp : o.rtu_over_tcp) = true;
      continue;
    }
    if (i + 1 >= argc) usage();
    const char *v = argv[++i];
    if (a == "--port") o.port = atoi(v);
    else if (a == "--clients") o.clients = atoi(v);
    else if (a == "--seconds") o.seconds = atof(v);
    else if (a == "--warmup") o.warmup = atof(v);
    else if (a == "--pause") o.pause = static_cast<uint16_t>(atoi(v));
    else if (a == "--keepalive") o.keepalive = static_cast<uint32_t>(strtoul(v, nullptr, 10));
    else if (a == "--mode") o.mode = static_cast<uint8_t>(atoi(v));
    else if (a == "--unit") o.unit = atoi(v);
    else if (a == "--slot") o.slot = static_cast<uint8_t>(atoi(v));
    else if (a == "--timeout") o.timeout = static_cast<int32_t>(strtol(v, nullptr, 10));
    else if (a == "--lifetime") o.lifetime = static_cast<uint32_t>(strtoul(v, nullptr, 10));
    else if (a == "--delay") o.delay = static_cast<uint32_t>(strtoul(v, nullptr, 10));
    else usage();
  }
  if (o.port <= 0 || o.clients < 1 || o.clients > 64 || (o.modbus_tcp && o.rtu_over_tcp)) usage();
  return o;
}

// The same read in Modbus TCP: MBAP header (transaction 1, protocol 0,
// length 6, unit), function 3, address 0, quantity 1.
size_t build_modbus_tcp_request(uint8_t *m, uint8_t unit) {
  const uint8_t adu[12] = {0, 1, 0, 0, 0, 6, unit, 3, 0, 0, 0, 1};
  memcpy(m, adu, sizeof adu);
  return sizeof adu;
}

// The same read as an RTU frame: unit, function 3, address 0, quantity 1,
// CRC.
size_t build_rtu_request(uint8_t *m, uint8_t unit) {
  const uint8_t frame[6] = {unit, 3, 0, 0, 0, 1};
  memcpy(m, frame, sizeof frame);
  MRTU_SealFrame(m, sizeof frame);
  return sizeof frame + kCrcLength;
}

// An RTU answer's length: an exception's 5 bytes, or a read's by its byte
// count; 0 while the bytes that tell are not in.
size_t rtu_response_length(const uint8_t *in, size_t have) {
  if (have >= 2 && (in[1] & 0x80) != 0) return kExceptionReplyLength;
  return have >= 3 ? 5 + static_cast<size_t>(in[2]) : 0;
}

// Length of the response at the start of `in`; 0 while its length field has
// not all arrived (a declared 0 counts as 1, to be reported as malformed).
size_t response_length(const Options &o, const uint8_t *in, size_t have) {
  if (o.rtu_over_tcp) return rtu_response_length(in, have);
  if (!o.modbus_tcp) return have >= 2 ? std::max<size_t>(msg::get16(in, msg::kLength), 1) : 0;
  return have >= 6 ? 6 + static_cast<size_t>(in[4] << 8 | in[5]) : 0;
}

// Status of a whole response: the native status byte, or for the Modbus
// protocols 0 or the exception code.
int response_status(const Options &o, const uint8_t *in) {
  if (o.rtu_over_tcp) return (in[1] & 0x80) != 0 ? in[2] : 0;
  if (!o.modbus_tcp) return in[msg::kStatus];
  return (in[7] & 0x80) != 0 ? in[8] : 0;
}

// The shortest response there is: an exception, or the native header.
size_t shortest_response(const Options &o) {
  return o.rtu_over_tcp ? kExceptionReplyLength : o.modbus_tcp ? 9 : msg::kHeaderSize;
}

// Read one holding register at address 0 of `unit`, with the timing fields.
size_t build_request(uint8_t *m, const Options &o, uint8_t unit) {
  if (o.modbus_tcp) return build_modbus_tcp_request(m, unit);
  if (o.rtu_over_tcp) return build_rtu_request(m, unit);
  constexpr size_t kLen = msg::kHeaderSize + 6;
  memset(m, 0, kLen);
  msg::put16(m, msg::kLength, kLen);
  msg::put32(m, msg::kKeepAlive, o.keepalive);
  msg::put16(m, msg::kPause, o.pause);
  m[msg::kMode] = o.mode;
  m[msg::kSlot] = o.slot;
  msg::put32(m, msg::kTimeout, static_cast<uint32_t>(o.timeout));
  msg::put32(m, msg::kDelay, o.delay);
  msg::put32(m, msg::kLifetime, o.lifetime);
  uint8_t *f = m + msg::kFrame;
  f[0] = unit;
  f[1] = 3;
  f[5] = 1;
  return kLen;
}

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool send_request(Connection &c) {
  size_t off = 0;
  while (off < c.request_len) {
    ssize_t n = send(c.fd, c.request + off, c.request_len - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) continue;  // 38 bytes into an empty buffer: never long
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  c.sent_ns = now_ns();
  return true;
}

double percentile(const std::vector<int64_t> &sorted, double p) {
  if (sorted.empty()) return 0.0;
  size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return static_cast<double>(sorted[std::min(i, sorted.size() - 1)]) / 1000.0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o = parse(argc, argv);
  std::vector<Connection> conns(static_cast<size_t>(o.clients));
  int ep = epoll_create1(EPOLL_CLOEXEC);

  for (int i = 0; i < o.clients; ++i) {
    Connection &c = conns[static_cast<size_t>(i)];
    c.fd = connect_loopback(o.port);
    if (c.fd < 0) {
      fprintf(stderr, "load_client: cannot connect to port %d: %s\n", o.port, strerror(errno));
      return 1;
    }
    uint8_t unit = static_cast<uint8_t>(o.same_unit ? o.unit : o.unit + i);
    c.request_len = build_request(c.request, o, unit);
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
  }
  // The listener admits about one connection per 30 ms; every connection's
  // first request waits in its socket until its handler runs. The clock
  // starts once every connection has had an answer.
  for (Connection &c : conns)
    if (!send_request(c)) return 1;

  std::vector<int64_t> latencies;
  latencies.reserve(4000000);
  std::map<int, long> statuses;
  long answered_before = 0;
  int waiting_first = o.clients;
  int64_t start_ns = 0;
  int64_t record_from_ns = 0;
  int64_t end_ns = 0;
  const int64_t first_deadline = now_ns() + 20000000000LL;

  struct epoll_event events[64];
  for (;;) {
    int64_t t = now_ns();
    if (start_ns == 0 && t > first_deadline) {
      fprintf(stderr, "load_client: %d connection(s) never answered\n", waiting_first);
      return 1;
    }
    if (start_ns != 0 && t >= end_ns) break;
    int n = epoll_wait(ep, events, 64, 100);
    if (n < 0 && errno == EINTR) continue;
    for (int k = 0; k < n; ++k) {
      Connection &c = conns[events[k].data.u32];
      ssize_t got = recv(c.fd, c.in + c.in_len, sizeof c.in - c.in_len, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0) {
        fprintf(stderr, "load_client: the gateway ended a connection\n");
        return 1;
      }
      c.in_len += static_cast<size_t>(got);
      for (size_t len; (len = response_length(o, c.in, c.in_len)) != 0;) {
        if (len < shortest_response(o) || len > sizeof c.in) {
          fprintf(stderr, "load_client: malformed response of length %zu\n", len);
          return 1;
        }
        if (c.in_len < len) break;
        int64_t done = now_ns();
        int status = response_status(o, c.in);
        memmove(c.in, c.in + len, c.in_len - len);
        c.in_len -= len;
        if (!c.answered_once) {
          c.answered_once = true;
          if (--waiting_first == 0) {
            start_ns = done;
            record_from_ns = start_ns + static_cast<int64_t>(o.warmup * 1e9);
            end_ns = record_from_ns + static_cast<int64_t>(o.seconds * 1e9);
          }
        } else if (start_ns != 0 && c.sent_ns >= record_from_ns) {
          latencies.push_back(done - c.sent_ns);
          ++statuses[status];
        } else {
          ++answered_before;
        }
        if (!send_request(c)) {
          fprintf(stderr, "load_client: a send failed\n");
          return 1;
        }
      }
    }
  }
  double measured_s = static_cast<double>(end_ns - record_from_ns) / 1e9;
  std::sort(latencies.begin(), latencies.end());
  double mean = 0;
  for (int64_t v : latencies) mean += static_cast<double>(v);
  if (!latencies.empty()) mean /= static_cast<double>(latencies.size()) * 1000.0;

  printf("{\"clients\": %d, \"answers\": %zu, \"seconds\": %.3f, \"rate\": %.1f, "
         "\"mean_us\": %.1f, \"p50_us\": %.1f, \"p90_us\": %.1f, \"p99_us\": %.1f, "
         "\"p999_us\": %.1f, \"max_us\": %.1f, \"warmup_answers\": %ld, \"statuses\": {",
         o.clients, latencies.size(), measured_s, static_cast<double>(latencies.size()) / measured_s,
         mean, percentile(latencies, 0.50), percentile(latencies, 0.90), percentile(latencies, 0.99),
         percentile(latencies, 0.999),
         latencies.empty() ? 0.0 : static_cast<double>(latencies.back()) / 1000.0,
         answered_before);
  bool first = true;
  for (auto &[status, count] : statuses) {
    printf("%s\"0x%02X\": %ld", first ? "" : ", ", status, count);
    first = false;
  }
  printf("}}\n");
  for (Connection &c : conns) close(c.fd);
  return 0;
}
