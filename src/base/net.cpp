#include "net.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "decimal.h"

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
