// status: the HTTP server of the status face.
//
// One thread does everything: it waits with poll() on the listener, a wake
// pipe and up to eight connections, reads request heads into a fixed buffer
// per connection, and answers each request at once, rendering from a fresh
// snapshot. A ninth connection is answered 503 and closed at once: a
// monitoring system learns at once that it must come back, rather than
// waiting in a backlog. Every answer closes its connection. Once a second,
// between requests, the thread also takes a snapshot for the samples of the
// last ten minutes. After each round of answers it rests, so that however
// many clients ask, watching leaves the line's worker a processor.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sleep_us.h"
#include "status.h"
#include "thread_start.h"

namespace {

constexpr int kBacklog = 16;
// Longest wait with nothing due, so the thread checks in now and then even
// if a wake-up were lost.
constexpr int kIdleWaitMs = 1000;
constexpr size_t kDrainBytes = 4096;
// Clients that ask back to back would keep the thread on a processor all
// the time, and on a board with two cores the worker would then wait for
// one after each of its pauses, which stretches the line's schedule. So
// after each round of answers the thread rests three times as long as the
// round kept it on the processor: it takes at most a quarter of one, however
// many ask, and an answer waits a few milliseconds at most.
constexpr int64_t kRestPerWork = 3;

// Processor time of the calling thread, µs; 0 if the clock cannot be read
// (the thread then never rests).
int64_t thread_cpu_us() {
  struct timespec t;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

// ---- Sending ---------------------------------------------------------------

namespace {

struct SocketSink {
  int fd;
  int64_t deadline_us;
};

bool to_socket(void *context, const char *data, size_t length) {
  auto *sink = static_cast<SocketSink *>(context);
  return net_send_all(sink->fd, data, length, sink->deadline_us);
}

// Counts what a rendering writes, so the answer can carry its length.
bool to_nowhere(void *context, const char *, size_t length) {
  *static_cast<size_t *>(context) += length;
  return true;
}

// Ends a connection. Bytes the client sent beyond its head are read first:
// closing with unread input would reset the connection, and a reset may
// destroy the answer before the client has read it.
void close_connection(StatusConnection &c) {
  if (c.fd < 0) return;
  char scratch[512];
  size_t drained = 0;
  ssize_t n;
  while (drained < kDrainBytes && (n = recv(c.fd, scratch, sizeof scratch, MSG_DONTWAIT)) > 0)
    drained += static_cast<size_t>(n);
  shutdown(c.fd, SHUT_WR);
  close(c.fd);
  c.fd = -1;
  c.received = 0;
}

struct Refusal {
  int code;
  const char *reason;
};

// A short answer with no page: an error, or the refusal of a ninth client.
void send_refusal(int fd, Refusal r) {
  char text[256];
  int n = snprintf(text, sizeof text,
                   "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n"
                   "Content-Length: %zu\r\n%sConnection: close\r\n\r\n%d %s\n",
                   r.code, r.reason, strlen(r.reason) + 5, r.code == 405 ? "Allow: GET\r\n" : "",
                   r.code, r.reason);
  if (n > 0 && static_cast<size_t>(n) < sizeof text)
    net_send_all(fd, text, static_cast<size_t>(n), monotonic_us() + kStatusSendWaitMs * 1000);
}

}  // namespace

// ---- Serving ---------------------------------------------------------------

namespace {

struct Route {
  const char *path;
  const char *query;  // nullptr: any query, which is left unread
  const char *content_type;
  void (*render)(const StatusSnapshot &, TextOut &);
};

// The first that fits is taken.
constexpr Route kRoutes[] = {
    {"/", nullptr, "text/html; charset=utf-8", render_page},
    {"/metrics", nullptr, "text/plain; version=0.0.4", render_metrics},
    {"/status", "samples=0", "application/json", render_status_without_samples},
    {"/status", nullptr, "application/json", render_status_json},
};

bool same_text(const char *text, const uint8_t *bytes, size_t length) {
  return strlen(text) == length && memcmp(text, bytes, length) == 0;
}

const Route *find_route(const uint8_t *head, const HttpRequest &req) {
  for (const Route &r : kRoutes) {
    if (!same_text(r.path, head + req.path_offset, req.path_length)) continue;
    if (r.query == nullptr || same_text(r.query, head + req.query_offset, req.query_length)) return &r;
  }
  return nullptr;
}

// A fresh snapshot from the provider, with the samples beside it.
void fill_snapshot(StatusServer &s) {
  status_snapshot_reset(s.snapshot);
  s.snapshot.taken_unix_us = unix_time_us();
  s.provider(s.snapshot, s.context);
  s.snapshot.samples = &s.samples;
}

// Renders twice from one snapshot: once to count, so the answer carries its
// length and a client can tell a cut-off answer from a whole one; once into
// the socket.
void serve_route(StatusServer &s, int fd, const Route &route) {
  fill_snapshot(s);

  size_t length = 0;
  TextOut counter(s.out, sizeof s.out, to_nowhere, &length);
  route.render(s.snapshot, counter);
  if (!counter.flush()) {
    send_refusal(fd, {500, "Internal Server Error"});
    return;
  }
  SocketSink sink = {fd, monotonic_us() + kStatusSendWaitMs * 1000};
  TextOut out(s.out, sizeof s.out, to_socket, &sink);
  out.putf("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
           "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
           route.content_type, length);
  route.render(s.snapshot, out);
  out.flush();
}

Refusal refusal_for(HttpParse result) {
  switch (result) {
    case HttpParse::kHeadTooLarge: return {431, "Request Header Fields Too Large"};
    case HttpParse::kPathTooLong: return {414, "URI Too Long"};
    case HttpParse::kBadVersion: return {505, "HTTP Version Not Supported"};
    default: return {400, "Bad Request"};
  }
}

// Reads what has arrived on a connection and answers once the head is whole
// or cannot become a request.
void read_connection(StatusServer &s, StatusConnection &c) {
  ssize_t n = recv(c.fd, c.head + c.received, sizeof c.head - c.received, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    close_connection(c);
    return;
  }
  c.received += static_cast<size_t>(n);
  HttpRequest req = http_parse_request(c.head, c.received);
  if (req.result == HttpParse::kIncomplete) return;
  if (req.result != HttpParse::kComplete) {
    send_refusal(c.fd, refusal_for(req.result));
  } else if (!req.get) {
    send_refusal(c.fd, {405, "Method Not Allowed"});
  } else if (const Route *route = find_route(c.head, req)) {
    serve_route(s, c.fd, *route);
  } else {
    send_refusal(c.fd, {404, "Not Found"});
  }
  close_connection(c);
}

void accept_connection(StatusServer &s) {
  sockaddr_storage peer;
  int fd = net_accept(s.listener, s.allow, SOCK_NONBLOCK, peer, nullptr);
  if (fd < 0) return;
  for (StatusConnection &c : s.connections) {
    if (c.fd >= 0) continue;
    c.fd = fd;
    c.received = 0;
    c.deadline_us = monotonic_us() + kStatusRequestWaitMs * 1000;
    return;
  }
  StatusConnection extra = {fd, 0, 0, {}};
  send_refusal(fd, {503, "Service Unavailable"});
  close_connection(extra);
}

// Closes connections whose head did not come in time; returns the wait until
// the next deadline, at most kIdleWaitMs. A connection is read once more
// before it is refused: while the thread rested or served the others, its
// head may have come in time and still wait in the socket.
int expire_connections(StatusServer &s) {
  int64_t now = monotonic_us();
  int64_t wait_us = kIdleWaitMs * 1000;
  for (StatusConnection &c : s.connections) {
    if (c.fd < 0) continue;
    if (c.deadline_us <= now) {
      read_connection(s, c);  // answers and closes a whole head
      if (c.fd < 0) continue;
      send_refusal(c.fd, {408, "Request Timeout"});
      close_connection(c);
    } else if (c.deadline_us - now < wait_us) {
      wait_us = c.deadline_us - now;
    }
  }
  return static_cast<int>(wait_us / 1000) + 1;
}

// Once a second: a snapshot, the same copy under the engine's locks that a
// request takes, and what changed since the one before into the samples.
// Returns the wait until the next one is due.
int take_samples(StatusServer &s) {
  const int64_t now = monotonic_us();
  if (now >= s.samples.due_us) {
    fill_snapshot(s);
    samples_take(s.samples, s.snapshot, now);
  }
  const int64_t wait_us = s.samples.due_us - monotonic_us();
  return wait_us > 0 ? static_cast<int>(wait_us / 1000) + 1 : 0;
}

// The wait until the thread's rest is over, ms rounded up; 0 when it does
// not rest.
int rest_ms(const StatusServer &s) {
  const int64_t left_us = s.resting_until_us - monotonic_us();
  return left_us > 0 ? static_cast<int>((left_us + 999) / 1000) : 0;
}

// Does one piece of the thread's work (a connection read and perhaps
// answered, or one accepted) and sets the rest that follows it.
template <typename Work>
void work_then_rest(StatusServer &s, Work work) {
  const int64_t from_us = thread_cpu_us();
  work();
  s.resting_until_us = monotonic_us() + kRestPerWork * (thread_cpu_us() - from_us);
}

bool resting(const StatusServer &s) { return s.resting_until_us > monotonic_us(); }

void *status_thread(void *arg) {
  StatusServer &s = *static_cast<StatusServer *>(arg);
  struct pollfd fds[2 + kStatusConnections];
  StatusConnection *owner[2 + kStatusConnections];
  for (;;) {
    int wait_ms = std::min(expire_connections(s), take_samples(s));
    const int resting_ms = rest_ms(s);
    fds[0] = {s.wake[0], POLLIN, 0};
    fds[1] = {s.listener, POLLIN, 0};
    int n = 2;
    for (StatusConnection &c : s.connections)
      if (c.fd >= 0) {
        owner[n] = &c;
        fds[n++] = {c.fd, POLLIN, 0};
      }
    // While resting only a stop is heard; clients wait in their sockets.
    if (resting_ms > 0) n = 1, wait_ms = std::min(wait_ms, resting_ms);
    if (poll(fds, static_cast<nfds_t>(n), wait_ms) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    // What is left for after the rest is still ready at the next poll.
    for (int i = 2; i < n && !resting(s); ++i)
      if (fds[i].revents != 0) work_then_rest(s, [&] { read_connection(s, *owner[i]); });
    if (n > 1 && (fds[1].revents & POLLIN) && !resting(s)) work_then_rest(s, [&] { accept_connection(s); });
  }
  for (StatusConnection &c : s.connections) close_connection(c);
  return nullptr;
}

}  // namespace

// ---- Start and stop --------------------------------------------------------

namespace {

// Records why the start failed and closes what it had opened.
const char *start_failed(StatusServer &s, const char *step, const NetEndpoint &e) {
  char where[kEndpointTextSize];
  net_format_endpoint(e, where, sizeof where);
  snprintf(s.error, sizeof s.error, "cannot %s %s: %s", step, where, strerror(errno));
  if (s.listener >= 0) close(s.listener);
  for (int &fd : s.wake)
    if (fd >= 0) close(fd);
  s.listener = s.wake[0] = s.wake[1] = -1;
  return s.error;
}

}  // namespace

const char *status_start(StatusServer &s, const NetEndpoint &e, StatusProvider provider, void *context) {
  s.provider = provider;
  s.context = context;
  s.listener = s.wake[0] = s.wake[1] = -1;
  for (StatusConnection &c : s.connections) c.fd = -1;
  NetListener opened;
  if (const char *failed = net_listen(e, {kBacklog, false}, opened)) {
    snprintf(s.error, sizeof s.error, "%s", failed);
    return s.error;
  }
  s.listener = opened.fd;
  s.port = opened.bound.port;
  // The first second is measured from here, before any client is served.
  fill_snapshot(s);
  samples_start(s.samples, s.snapshot, monotonic_us());
  if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) return start_failed(s, "make the wake pipe for", e);
  int r = start_thread(&s.thread, status_thread, &s, false);
  if (r != 0) {
    errno = r;
    return start_failed(s, "start the thread for", e);
  }
  s.running = true;
  return nullptr;
}

void status_stop(StatusServer &s) {
  if (!s.running) return;
  char byte = 1;
  ssize_t w;
  do {
    w = write(s.wake[1], &byte, 1);
  } while (w < 0 && errno == EINTR);
  // Written, or the pipe is full of earlier wake-ups: either way the thread
  // sees it at its next wait.
  pthread_join(s.thread, nullptr);
  close(s.listener);
  close(s.wake[0]);
  close(s.wake[1]);
  s.listener = s.wake[0] = s.wake[1] = -1;
  s.running = false;
}
