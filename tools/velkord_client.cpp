#include "velkord_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "message.h"

namespace vclient {

namespace {

void put_be16(Bytes &b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

uint16_t be16(const Bytes &b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

std::string hex_bytes(const Bytes &b) {
  std::string s;
  char two[4];
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", b[i]);
    if (i) s += ' ';
    s += two;
  }
  return s;
}

// Bytes of data a read of `count` items answers with.
size_t read_byte_count(uint8_t function, uint16_t count) {
  if (function == kReadCoils || function == kReadDiscreteInputs) return (count + 7u) / 8u;
  return 2u * count;
}

IoResult io_error(Fault fault, int err, std::string detail) {
  return IoResult{fault, err, std::move(detail)};
}

// Milliseconds left until the deadline, for poll(): never negative, rounded
// up so that a wait does not end just short of it.
int ms_left(Deadline deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

// Waits until fd is ready for `events`; kTimedOut when the deadline passes.
IoResult wait_ready(int fd, short events, Deadline deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int r = ::poll(&p, 1, ms_left(deadline));
    if (r > 0) return {};
    if (r == 0) {
      if (Clock::now() >= deadline) return io_error(Fault::kTimedOut, ETIMEDOUT, "timed out");
      continue;  // poll's millisecond rounding woke us a little early
    }
    if (errno == EINTR) {
      if (Clock::now() >= deadline) return io_error(Fault::kTimedOut, ETIMEDOUT, "timed out");
      // An interrupting signal is the caller's business: let it look.
      return io_error(Fault::kSystem, EINTR, std::strerror(EINTR));
    }
    return io_error(Fault::kSystem, errno, std::strerror(errno));
  }
}

// One non-blocking connect to one address, finished within the deadline.
IoResult connect_one(const struct addrinfo *ai, Deadline deadline, int &fd_out) {
  int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return io_error(Fault::kSystem, errno, std::strerror(errno));
  if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      int e = errno;
      ::close(fd);
      return io_error(Fault::kConnect, e, std::strerror(e));
    }
    IoResult w = wait_ready(fd, POLLOUT, deadline);
    if (!w.ok()) {
      ::close(fd);
      return w;
    }
    int e = 0;
    socklen_t len = sizeof e;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) e = errno;
    if (e != 0) {
      ::close(fd);
      return io_error(Fault::kConnect, e, std::strerror(e));
    }
  }
  // Requests are small and strictly alternate with responses: send each at once.
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_out = fd;
  return {};
}

}  // namespace

// ---- frames ----

Bytes read_frame(uint8_t unit, uint8_t function, uint16_t address, uint16_t count) {
  Bytes f = {unit, function};
  put_be16(f, address);
  put_be16(f, count);
  return f;
}

Bytes write_coil_frame(uint8_t unit, uint16_t address, bool on) {
  Bytes f = {unit, kWriteSingleCoil};
  put_be16(f, address);
  put_be16(f, on ? 0xFF00 : 0x0000);
  return f;
}

Bytes write_register_frame(uint8_t unit, uint16_t address, uint16_t value) {
  Bytes f = {unit, kWriteSingleRegister};
  put_be16(f, address);
  put_be16(f, value);
  return f;
}

Bytes write_coils_frame(uint8_t unit, uint16_t address, const std::vector<bool> &bits) {
  Bytes f = {unit, kWriteMultipleCoils};
  put_be16(f, address);
  put_be16(f, static_cast<uint16_t>(bits.size()));
  size_t bytes = (bits.size() + 7) / 8;
  f.push_back(static_cast<uint8_t>(bytes));
  size_t first = f.size();
  f.resize(first + bytes, 0);
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) f[first + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  return f;
}

Bytes write_registers_frame(uint8_t unit, uint16_t address, const std::vector<uint16_t> &values) {
  Bytes f = {unit, kWriteMultipleRegisters};
  put_be16(f, address);
  put_be16(f, static_cast<uint16_t>(values.size()));
  f.push_back(static_cast<uint8_t>(2 * values.size()));
  for (uint16_t v : values) put_be16(f, v);
  return f;
}

// ---- header ----

Bytes encode_request(const RequestParams &p, const Bytes &frame) {
  Bytes m(msg::kHeaderSize + frame.size(), 0);
  msg::put16(m.data(), msg::kLength, static_cast<uint16_t>(m.size()));
  msg::put32(m.data(), msg::kKeepAlive, p.keepalive_us);
  msg::put16(m.data(), msg::kPause, p.pause_us);
  m[msg::kMode] = p.mode;
  m[msg::kSlot] = p.slot;
  msg::put32(m.data(), msg::kTimeout, static_cast<uint32_t>(p.timeout_us));
  msg::put32(m.data(), msg::kDelay, p.delay_us);
  msg::put32(m.data(), msg::kLifetime, p.lifetime_us);
  std::copy(frame.begin(), frame.end(), m.begin() + msg::kFrame);
  return m;
}

bool decode_response(const uint8_t *message, size_t length, Response &out, std::string &why) {
  if (length < msg::kHeaderSize) {
    why = "a response of " + std::to_string(length) + " bytes, shorter than its header";
    return false;
  }
  uint16_t declared = msg::get16(message, msg::kLength);
  if (declared != length) {
    why = "a response whose length field says " + std::to_string(declared) + " but holds " +
          std::to_string(length) + " bytes";
    return false;
  }
  out.status = message[msg::kStatus];
  out.slot = message[msg::kSlot];
  out.frame.assign(message + msg::kFrame, message + length);
  if (out.status != kStatusOk && !out.frame.empty()) {
    why = "an error response (status " + std::to_string(out.status) + ") that carries a frame";
    return false;
  }
  return true;
}

std::string status_meaning(uint8_t status) {
  switch (status) {
    case msg::kStatusOk: return "success";
    case msg::kStatusNoAnswer: return "no valid answer yet";
    case msg::kStatusBadUnit: return "unit address out of range";
    case msg::kStatusBadSlot: return "slot out of range";
    case msg::kStatusBadFunction: return "function not supported";
    case msg::kStatusBadCoilValue: return "invalid coil value";
    case msg::kStatusFailed: return "request refused";
    default: return "unknown status";
  }
}

std::string exception_name(uint8_t code) {
  switch (code) {
    case 0x01: return "illegal function";
    case 0x02: return "illegal data address";
    case 0x03: return "illegal data value";
    case 0x04: return "server device failure";
    case 0x05: return "acknowledge";
    case 0x06: return "server device busy";
    case 0x08: return "memory parity error";
    case 0x0A: return "gateway path unavailable";
    case 0x0B: return "gateway target device failed to respond";
    default: return "unknown exception";
  }
}

// ---- answers ----

AnswerCheck check_answer(const Bytes &request, const Bytes &answer) {
  AnswerCheck c;
  auto mismatch = [&](const std::string &what) {
    c.kind = AnswerCheck::kMismatch;
    c.mismatch = what + " (answer: " + (answer.empty() ? std::string("empty") : hex_bytes(answer)) + ")";
    return c;
  };
  if (request.size() < 6) return mismatch("request frame too short");
  const uint8_t unit = request[0], function = request[1];
  if (answer.size() < 2) return mismatch("answer shorter than unit and function");
  if (answer[0] != unit)
    return mismatch("answer from unit " + std::to_string(answer[0]) + ", asked unit " + std::to_string(unit));
  if (answer[1] == (function | 0x80)) {
    if (answer.size() != 3)
      return mismatch("exception answer of " + std::to_string(answer.size()) + " bytes");
    c.kind = AnswerCheck::kException;
    c.exception = answer[2];
    return c;
  }
  if (answer[1] != function)
    return mismatch("answer to function " + std::to_string(answer[1]) + ", asked function " +
                    std::to_string(function));
  const uint16_t address = be16(request, 2), field = be16(request, 4);
  switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters: {
      size_t want = read_byte_count(function, field);
      if (answer.size() < 3 || answer[2] != want || answer.size() != 3 + want)
        return mismatch("expected " + std::to_string(want) + " data bytes for " + std::to_string(field) +
                        " values");
      return c;
    }
    case kWriteSingleCoil:
    case kWriteSingleRegister:
    case kWriteMultipleCoils:
    case kWriteMultipleRegisters: {
      if (answer.size() != 6) return mismatch("write answer of " + std::to_string(answer.size()) + " bytes");
      if (be16(answer, 2) != address)
        return mismatch("answer for address " + std::to_string(be16(answer, 2)) + ", asked " +
                        std::to_string(address));
      if (be16(answer, 4) != field)
        return mismatch(function <= kWriteSingleRegister ? "echoed value differs"
                                                         : "echoed quantity differs");
      return c;
    }
    default: return mismatch("function " + std::to_string(function) + " is not one this client decodes");
  }
}

std::vector<uint16_t> answer_values(const Bytes &request, const Bytes &answer) {
  std::vector<uint16_t> v;
  const uint8_t function = request[1];
  const uint16_t count = be16(request, 4);
  switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
      for (uint16_t i = 0; i < count; ++i) v.push_back((answer[3 + i / 8] >> (i % 8)) & 1);
      break;
    case kReadHoldingRegisters:
    case kReadInputRegisters:
      for (uint16_t i = 0; i < count; ++i) v.push_back(be16(answer, 3 + 2 * i));
      break;
    case kWriteSingleCoil: v.push_back(be16(answer, 4) == 0xFF00 ? 1 : 0); break;
    case kWriteSingleRegister: v.push_back(be16(answer, 4)); break;
    default: break;
  }
  return v;
}

// ---- connection ----

Connection::~Connection() { close(); }

void Connection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

IoResult Connection::open(const std::string &host, uint16_t port, Deadline deadline) {
  close();
  host_ = host;
  port_ = port;
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo *list = nullptr;
  std::string service = std::to_string(port);
  int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (r != 0) return io_error(Fault::kResolve, 0, r == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(r));
  // The gateway listens on IPv4 only; a name that also resolves to IPv6
  // ("localhost") must still reach it, so every address gets its turn.
  IoResult last = io_error(Fault::kConnect, EADDRNOTAVAIL, std::strerror(EADDRNOTAVAIL));
  for (const struct addrinfo *ai = list; ai; ai = ai->ai_next) {
    last = connect_one(ai, deadline, fd_);
    if (last.ok() || last.fault == Fault::kTimedOut) break;
  }
  ::freeaddrinfo(list);
  return last;
}

IoResult Connection::send_all(const Bytes &data, Deadline deadline) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      int e = errno;
      if (e == EPIPE || e == ECONNRESET) return io_error(Fault::kClosed, e, std::strerror(e));
      return io_error(Fault::kSystem, e, std::strerror(e));
    }
    IoResult w = wait_ready(fd_, POLLOUT, deadline);
    if (!w.ok()) return w;
  }
  return {};
}

IoResult Connection::receive_exact(uint8_t *into, size_t n, Deadline deadline) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd_, into + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return io_error(Fault::kClosed, 0, "connection closed by the gateway");
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      int e = errno;
      if (e == ECONNRESET) return io_error(Fault::kClosed, e, std::strerror(e));
      return io_error(Fault::kSystem, e, std::strerror(e));
    }
    IoResult w = wait_ready(fd_, POLLIN, deadline);
    if (!w.ok()) return w;
  }
  return {};
}

IoResult Connection::exchange(const Bytes &request, Response &response, Deadline deadline) {
  if (fd_ < 0) return io_error(Fault::kClosed, 0, "not connected");
  bool begun = false;
  IoResult r = exchange_once(request, response, deadline, begun);
  if (r.fault == Fault::kClosed && !begun) {
    r = open(host_, port_, deadline);
    if (r.ok()) r = exchange_once(request, response, deadline, begun);
  }
  if (!r.ok()) close();
  return r;
}

IoResult Connection::exchange_once(const Bytes &request, Response &response, Deadline deadline,
                                   bool &response_begun) {
  IoResult r = send_all(request, deadline);
  uint8_t buf[msg::kCapacity];
  if (r.ok()) r = receive_exact(buf, 2, deadline);
  if (r.ok()) {
    response_begun = true;
    uint16_t length = msg::get16(buf, msg::kLength);
    std::string why;
    if (length < msg::kHeaderSize || length > sizeof buf) {
      r = io_error(Fault::kProtocol, 0, "a response with length field " + std::to_string(length));
    } else {
      r = receive_exact(buf + 2, length - 2u, deadline);
      if (r.ok() && !decode_response(buf, length, response, why)) r = io_error(Fault::kProtocol, 0, why);
    }
  }
  return r;
}

// ---- polling ----

Fetch fetch_answer(Connection &connection, const FetchPlan &plan, Deadline deadline) {
  Fetch f;
  bool fresh = plan.trust_first;               // a status 0 answer now belongs to plan.frame
  bool parking = plan.start_parked && !fresh;  // mode 0 until the slot reads empty
  bool heard = false;                          // the gateway has answered at least once
  for (;;) {
    if (plan.cancel && plan.cancel->load()) {
      f.end = Fetch::kCancelled;
      return f;
    }
    if (Clock::now() >= deadline) {
      f.end = Fetch::kNoValidAnswer;
      return f;
    }
    RequestParams p = plan.params;
    if (parking) p.mode = 0;
    Response resp;
    IoResult io = connection.exchange(encode_request(p, plan.frame), resp, deadline);
    ++f.requests;
    if (!io.ok()) {
      // A gateway that has been answering all along and is caught by the
      // deadline in the middle of one more turn has not failed.
      f.end = (io.fault == Fault::kTimedOut && heard) ? Fetch::kNoValidAnswer : Fetch::kIoFailure;
      f.io = io;
      return f;
    }
    heard = true;
    if (resp.status == kStatusOk && resp.slot != p.slot) {
      f.end = Fetch::kIoFailure;
      f.io = io_error(Fault::kProtocol, 0,
                      "an answer for slot " + std::to_string(resp.slot) + " to a request for slot " +
                          std::to_string(p.slot));
      connection.close();
      return f;
    }
    if (resp.status == kStatusNoValidAnswer) {
      // The intake stored plan.frame and found the slot without a valid
      // answer in the same step: every valid answer from now on is the unit's
      // answer to plan.frame.
      fresh = true;
      if (parking) {
        parking = false;
        continue;  // arm it at once
      }
    } else if (resp.status == kStatusOk) {
      if (fresh) {
        f.end = Fetch::kAnswer;
        f.response = std::move(resp);
        return f;
      }
      // Possibly the answer to the slot's previous frame. A slot left idle
      // is marked empty by the worker's next pass; then arm it again.
      parking = true;
    } else {
      f.end = Fetch::kRefused;
      f.response = std::move(resp);
      return f;
    }
    auto wake = Clock::now() + plan.retry_pause;
    std::this_thread::sleep_until(wake < deadline ? wake : deadline);
  }
}

}  // namespace vclient
