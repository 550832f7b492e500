// net: the TCP plumbing of the gateway's faces, written once: where a port
// listens (read from a setting, shown in a line), opening it, accepting the
// connections the allow-list admits, waiting for a socket and sending a
// whole answer before a deadline.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "access.h"

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

// ---- Listening -------------------------------------------------------------

// The steps of opening a listening socket, in order.
enum class ListenStep : uint8_t { kSocket, kDualStack, kReuse, kBind, kListen, kName };

struct ListenOptions {
  int backlog;
  // An IPv6 endpoint takes IPv4 clients too (as IPv4-mapped addresses),
  // whatever the system's default for IPv6 sockets is.
  bool dual_stack;
};

// A listening socket, or why there is none.
struct NetListener {
  int fd = -1;
  NetEndpoint bound{};    // the port actually bound: the system's when 0 was asked for
  ListenStep failed{};    // after a failure: the step
  int error = 0;          // and its errno
  char message[160] = {};
};

// Opens a socket for `where` (close-on-exec) with address reuse, binds it
// and listens. Returns nullptr with out.fd open, or a message naming the
// step, the endpoint and the system's reason ("cannot bind
// 127.0.0.1:9502: Address already in use"); nothing stays open then.
const char *net_listen(const NetEndpoint &where, const ListenOptions &options, NetListener &out);

// ---- Connections -----------------------------------------------------------

constexpr int kAcceptFailed = -1;   // no connection; errno says why
constexpr int kAcceptRefused = -2;  // a peer outside the allow-list, closed at once

// Accepts one pending connection (close-on-exec, and `flags` such as
// SOCK_NONBLOCK) and admits it by `allow` (nullptr: everyone). A peer the
// list refuses is closed before anything is read from it or sent to it, and
// counted before that (by AdmitPeer, and in `refused` unless it is nullptr),
// so whoever sees the close finds it counted. Returns the descriptor with
// the peer's address in `peer`, or one of the two results above.
int net_accept(int listener, const AllowList *allow, int flags, sockaddr_storage &peer,
               std::atomic<uint64_t> *refused);

constexpr int kNetReady = 0;
constexpr int kNetTimeout = -1;  // not ready within the wait
constexpr int kNetFailed = -2;   // the wait failed; a signal counts as a failure

// Waits up to timeout_ms for `events` (POLLIN, POLLOUT) on one descriptor.
// poll has no limit on the descriptor's number, unlike a descriptor set.
int net_wait_ready(int fd, short events, int timeout_ms);

// Sends all `length` bytes before the monotonic time `deadline_us`, waiting
// for room in between; false when the peer is gone or does not take them in
// time. A peer that has gone costs a false, never a SIGPIPE.
bool net_send_all(int fd, const void *data, size_t length, int64_t deadline_us);
