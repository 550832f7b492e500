#include "net.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "decimal.h"
#include "sleep_us.h"

namespace {

constexpr uint64_t kHighestPort = 65535;

// Digits only, 1 to 65535 (port 0 would mean "any", which no one can reach).
bool parse_port(const char *text, uint16_t &port) {
  uint64_t value;
  if (parse_decimal(text, kHighestPort, value) != nullptr || value == 0) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// Reads the address text [begin, end) of `family` into `out`; false when it
// is empty, too long for an address or no numeric address.
bool parse_host(const char *begin, const char *end, int family, NetEndpoint &out) {
  char host[INET6_ADDRSTRLEN];
  size_t n = static_cast<size_t>(end - begin);
  if (n == 0 || n >= sizeof host) return false;
  memcpy(host, begin, n);
  host[n] = '\0';
  if (inet_pton(family, host, out.address) != 1) return false;
  out.family = family;
  return true;
}

EndpointFault parse_bracketed(const char *text, NetEndpoint &out) {
  const char *close = strchr(text, ']');
  if (close == nullptr) return EndpointFault::kNoClosingBracket;
  if (close[1] != ':') return EndpointFault::kNoPortAfterBracket;
  if (!parse_host(text + 1, close, AF_INET6, out)) return EndpointFault::kBadIpv6;
  return parse_port(close + 2, out.port) ? EndpointFault::kNone : EndpointFault::kBadPort;
}

}  // namespace

EndpointFault net_parse_endpoint(const char *text, NetEndpoint &out) {
  out = NetEndpoint{};
  if (*text == '\0') return EndpointFault::kEmpty;
  if (text[0] == '[') return parse_bracketed(text, out);
  const char *colon = strchr(text, ':');
  out.family = AF_INET;  // a bare port: every IPv4 interface, 0.0.0.0
  if (colon != nullptr) {
    if (strchr(colon + 1, ':') != nullptr) return EndpointFault::kIpv6WithoutBrackets;
    if (!parse_host(text, colon, AF_INET, out)) return EndpointFault::kBadIpv4;
    text = colon + 1;
  }
  return parse_port(text, out.port) ? EndpointFault::kNone : EndpointFault::kBadPort;
}

const char *net_parse_address(const char *text, NetEndpoint &out) {
  out = NetEndpoint{};
  const char *end = text + strlen(text);
  if (parse_host(text, end, AF_INET, out) || parse_host(text, end, AF_INET6, out)) return nullptr;
  out = NetEndpoint{};
  return "not a numeric IPv4 or IPv6 address";
}

void net_format_endpoint(const NetEndpoint &e, char *out, size_t size) {
  char host[INET6_ADDRSTRLEN] = "?";
  const bool v6 = e.family == AF_INET6;
  inet_ntop(v6 ? AF_INET6 : AF_INET, e.address, host, sizeof host);
  snprintf(out, size, v6 ? "[%s]:%u" : "%s:%u", host, static_cast<unsigned>(e.port));
}

socklen_t net_socket_address(const NetEndpoint &e, sockaddr_storage &out) {
  memset(&out, 0, sizeof out);
  if (e.family == AF_INET6) {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(e.port);
    memcpy(&a->sin6_addr, e.address, sizeof a->sin6_addr);
    return sizeof *a;
  }
  auto *a = reinterpret_cast<sockaddr_in *>(&out);
  a->sin_family = AF_INET;
  a->sin_port = htons(e.port);
  memcpy(&a->sin_addr, e.address, sizeof a->sin_addr);
  return sizeof *a;
}

NetEndpoint net_endpoint_of(const sockaddr_storage &a) {
  NetEndpoint e{};
  if (a.ss_family == AF_INET6) {
    const auto *a6 = reinterpret_cast<const sockaddr_in6 *>(&a);
    e.family = AF_INET6;
    memcpy(e.address, &a6->sin6_addr, sizeof a6->sin6_addr);
    e.port = ntohs(a6->sin6_port);
  } else if (a.ss_family == AF_INET) {
    const auto *a4 = reinterpret_cast<const sockaddr_in *>(&a);
    e.family = AF_INET;
    memcpy(e.address, &a4->sin_addr, sizeof a4->sin_addr);
    e.port = ntohs(a4->sin_port);
  }
  return e;
}

// ---- Listening -------------------------------------------------------------

namespace {

const char *const kListenStepText[] = {
    "open a socket for", "take IPv4 clients too on", "set address reuse on", "bind", "listen on",
    "read the port bound of",
};

// Records the step that failed with errno, closes the socket, and returns
// the message.
const char *listen_failed(NetListener &out, ListenStep step, const NetEndpoint &where) {
  out.failed = step;
  out.error = errno;
  char shown[kEndpointTextSize];
  net_format_endpoint(where, shown, sizeof shown);
  snprintf(out.message, sizeof out.message, "cannot %s %s: %s", kListenStepText[static_cast<int>(step)], shown,
           strerror(out.error));
  if (out.fd >= 0) close(out.fd);
  out.fd = -1;
  return out.message;
}

// Both options before the bind. Dual stack: "::" serves IPv4 clients too.
// Address reuse: a gateway killed with clients connected leaves their
// connections in TIME_WAIT, and a restart could not bind for a minute; a
// port that another socket listens on still refuses the bind.
const char *set_listen_options(NetListener &out, int family, const ListenOptions &options,
                               const NetEndpoint &where) {
  int off = 0;
  if (family == AF_INET6 && options.dual_stack &&
      setsockopt(out.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0)
    return listen_failed(out, ListenStep::kDualStack, where);
  int one = 1;
  if (setsockopt(out.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    return listen_failed(out, ListenStep::kReuse, where);
  return nullptr;
}

}  // namespace

const char *net_listen(const NetEndpoint &where, const ListenOptions &options, NetListener &out) {
  out = NetListener{};
  sockaddr_storage address;
  socklen_t length = net_socket_address(where, address);
  out.fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (out.fd < 0) return listen_failed(out, ListenStep::kSocket, where);
  if (const char *failed = set_listen_options(out, address.ss_family, options, where)) return failed;
  if (bind(out.fd, reinterpret_cast<const sockaddr *>(&address), length) != 0)
    return listen_failed(out, ListenStep::kBind, where);
  if (listen(out.fd, options.backlog) != 0) return listen_failed(out, ListenStep::kListen, where);
  length = sizeof address;
  if (getsockname(out.fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
    return listen_failed(out, ListenStep::kName, where);
  out.bound = where;
  out.bound.port = net_endpoint_of(address).port;
  return nullptr;
}

// ---- Connections -----------------------------------------------------------

int net_accept(int listener, const AllowList *allow, int flags, sockaddr_storage &peer,
               std::atomic<uint64_t> *refused) {
  socklen_t size = sizeof peer;
  int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC | flags);
  if (fd < 0) return kAcceptFailed;
  if (allow == nullptr || AdmitPeer(*allow, reinterpret_cast<const sockaddr *>(&peer))) return fd;
  if (refused != nullptr) refused->fetch_add(1, std::memory_order_relaxed);
  close(fd);
  return kAcceptRefused;
}

int net_wait_ready(int fd, short events, int timeout_ms) {
  struct pollfd p = {fd, events, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r == 0) return kNetTimeout;
  if (r < 0) return kNetFailed;
  return kNetReady;
}

bool net_send_all(int fd, const void *data, size_t length, int64_t deadline_us) {
  const auto *next = static_cast<const uint8_t *>(data);
  while (length > 0) {
    ssize_t n = send(fd, next, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      next += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    int64_t left_us = deadline_us - monotonic_us();
    if (left_us <= 0) return false;
    if (net_wait_ready(fd, POLLOUT, static_cast<int>(left_us / 1000) + 1) == kNetFailed && errno != EINTR)
      return false;
  }
  return true;
}
