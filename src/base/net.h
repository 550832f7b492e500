// net: the TCP plumbing of the gateway's faces, written once: where a port
// listens (read from a setting, shown in a line).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// ---- Endpoints -------------------------------------------------------------

// An address and a port a face listens on, or a peer's.
struct NetEndpoint {
  int family;           // AF_INET or AF_INET6; 0: none given
  uint8_t address[16];  // network byte order; 4 bytes used for AF_INET
  uint16_t port;        // 0: the system picks one when listening
};

// Why a text is not an endpoint. The settings that take one word these in
// their own way.
enum class EndpointFault : uint8_t {
  kNone,                 // an endpoint
  kEmpty,
  kNoClosingBracket,     // "[::1:502"
  kNoPortAfterBracket,   // "[::1]", "[::1]502"
  kBadIpv6,              // "[1.2.3.4]:502"
  kIpv6WithoutBrackets,  // "::1:502"
  kBadIpv4,              // "localhost:502"
  kBadPort,              // not a number from 1 to 65535
};
constexpr int kEndpointFaults = 8;

// Reads "PORT" (every IPv4 interface), "A.B.C.D:PORT" or "[IPv6]:PORT":
// numeric addresses only, a port from 1 to 65535. kNone with `out` filled,
// or why the text is refused.
EndpointFault net_parse_endpoint(const char *text, NetEndpoint &out);

// Reads one numeric IPv4 or IPv6 address, without brackets or port, into
// `out` (port 0). Returns nullptr, or the reason the text is refused.
const char *net_parse_address(const char *text, NetEndpoint &out);

// Room for the longest endpoint text, "[IPv6]:65535" and its end.
constexpr size_t kEndpointTextSize = INET6_ADDRSTRLEN + 8;

// "192.0.2.7:502" or "[2001:db8::7]:502", as the start-up lines, the status
// face and the peers' list show an endpoint.
void net_format_endpoint(const NetEndpoint &e, char *out, size_t size);

// The endpoint as a socket address; its length.
socklen_t net_socket_address(const NetEndpoint &e, sockaddr_storage &out);

// An IPv4 or IPv6 socket address (a peer's, a bound socket's) as an endpoint.
NetEndpoint net_endpoint_of(const sockaddr_storage &a);
