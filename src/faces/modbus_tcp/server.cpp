// server: the listener and the connections of a Modbus face. The server's
// lock guards the connection places only, never a socket wait or the pool,
// and each connection answers its requests in order.
#include "server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "locked.h"
#include "sleep_us.h"
#include "thread_start.h"

namespace {

// A client that sends nothing for a minute is gone or has forgotten us; its
// place goes back. A client that does not take its answer within this long
// is stuck.
constexpr int kConnectionIdleMs = 60000;
constexpr int kSendWaitMs = 5000;
// A request must be whole this long after its first byte, as a native
// message must: a peer that trickles its bytes would hold its place for ever.
constexpr int64_t kRequestWholeUs = 7000000;
// With every place taken, a connection silent this long gives its place to
// a newcomer; the listener waits this long for its thread to give it back.
constexpr int64_t kEvictQuietUs = 1000000;
constexpr int64_t kEvictWaitUs = 500000;
constexpr int kListenWaitMs = 10000;
constexpr uint32_t kAcceptFailureRestUs = 100000;
constexpr int64_t kStopWaitUs = 5000000;
// A burst of clients connecting at once must not overflow the backlog: a
// dropped SYN costs its client a second before the retry.
constexpr int kBacklog = kFaceConnections;

// Bytes read from a connection and not yet answered: room for a whole
// request after any incomplete one, so pipelined requests are read in bulk.
struct InBuffer {
  uint8_t bytes[2 * kFaceMaxMessage];
  int length;
  int64_t first_us;  // when the first byte held came (monotonic)
  int64_t last_us;   // when the latest bytes came
};

constexpr int kConnectionEnds = -1;
constexpr int kRequestIncomplete = -2;

// A step's failure: the message, written into the server's buffer.
const char *step_failed(FaceServer &server, const char *step, int err) {
  snprintf(server.error, sizeof server.error, "%s: %s", step, strerror(err));
  return server.error;
}

// Waits for a request's next bytes: kNetReady, kNetTimeout or kNetFailed; a
// signal does not end the wait, it starts it over.
int wait_readable(int fd, int timeout_ms) {
  int w;
  do {
    w = net_wait_ready(fd, POLLIN, timeout_ms);
  } while (w == kNetFailed && errno == EINTR);
  return w;
}

// Takes the `n` bytes at the start of the buffer out of it.
void take_out(InBuffer &in, int n) {
  in.length -= n;
  memmove(in.bytes, in.bytes + n, static_cast<size_t>(in.length));
}

// Takes a request of `n` bytes out of the buffer. What is left came with
// the latest bytes at the earliest.
void consume(InBuffer &in, int n) {
  take_out(in, n);
  in.first_us = in.last_us;
}

// How long to wait for more bytes, in ms: the idle limit while no part of a
// request is held, else what is left of its time to be whole; 0 when that
// is over.
int read_wait_ms(const InBuffer &in, int64_t now_us) {
  if (in.length == 0) return kConnectionIdleMs;
  const int64_t left_us = in.first_us + kRequestWholeUs - now_us;
  return left_us <= 0 ? 0 : static_cast<int>((left_us + 999) / 1000);
}

// Reads what the peer sent into the buffer: false when it closed or failed.
bool receive_more(FaceConnection &place, InBuffer &in) {
  for (;;) {
    ssize_t r = recv(place.fd, in.bytes + in.length, sizeof in.bytes - static_cast<size_t>(in.length), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const int64_t now = monotonic_us();
    if (in.length == 0) in.first_us = now;
    in.last_us = now;
    in.length += static_cast<int>(r);
    place.quiet_since_us.store(now, std::memory_order_relaxed);
    return true;
  }
}

// The next whole request into `request`: its length; kConnectionEnds when
// the peer closed, stayed silent too long or sent what breaks the stream;
// kRequestIncomplete when a request was not whole in time.
int next_request(const FaceCodec &codec, FaceConnection &place, InBuffer &in, uint8_t *request) {
  for (bool last_look = false;;) {
    int drop = 0;
    const int n = codec.frame(in.bytes, in.length, &drop);
    if (n == kFaceStreamBroken) return kConnectionEnds;
    // Noise leaves the clock running: a peer that only ever sends noise
    // would otherwise hold its place for ever.
    if (drop > 0) take_out(in, drop);
    if (n > 0) {
      memcpy(request, in.bytes, static_cast<size_t>(n));
      consume(in, n);
      return n;
    }
    if (last_look) return kRequestIncomplete;
    // Once a request's time is up, what the peer sent by then is still
    // looked at, once: it may have waited in the socket while earlier
    // requests of the connection were answered.
    const int wait_ms = read_wait_ms(in, monotonic_us());
    last_look = in.length > 0 && wait_ms == 0;
    const int waited = wait_readable(place.fd, wait_ms);
    if (waited == kNetTimeout && last_look) return kRequestIncomplete;
    if (waited == kNetTimeout && in.length > 0) continue;  // its time is up: looked at above
    if (waited != kNetReady || !receive_more(place, in)) return kConnectionEnds;
  }
}

void count_answer(FaceCounters &counters, int status) {
  const int index = status == kFaceWriteRefused ? kFaceStatusWriteRefused
                    : status < kFaceStatusOther ? status
                                                : kFaceStatusOther;
  counters.by_status[index].fetch_add(1, std::memory_order_relaxed);
}

void end_connection(FaceConnection &place) {
  FaceServer &server = *place.server;
  {
    Locked held(server.mutex);
    close(place.fd);  // under the lock: a stop never shuts down a reused number
    place.busy = false;
    --server.connections;
  }
  server.counters.connected.fetch_sub(1, std::memory_order_relaxed);
  pthread_cond_broadcast(&server.ended);
}

// Requests of one connection are answered one after another, in order.
void *serve_connection(void *arg) {
  FaceConnection &place = *static_cast<FaceConnection *>(arg);
  FaceServer &server = *place.server;
  int fd;
  bool may_write;
  {
    Locked held(server.mutex);
    fd = place.fd;
    may_write = place.may_write;
  }
  InBuffer in = {};
  uint8_t request[kFaceMaxMessage];
  uint8_t out[kFaceMaxMessage];
  for (;;) {
    int n = next_request(*server.codec, place, in, request);
    if (n == kRequestIncomplete) server.counters.incomplete.fetch_add(1, std::memory_order_relaxed);
    if (n < 0) break;
    place.quiet_since_us.store(kFaceAnswering, std::memory_order_relaxed);
    int status = 0;
    int m = server.codec->answer(*server.pool, request, n, may_write, out, &status);
    count_answer(server.counters, status);
    if (m > 0 && !net_send_all(fd, out, static_cast<size_t>(m), monotonic_us() + kSendWaitMs * 1000)) break;
    place.quiet_since_us.store(monotonic_us(), std::memory_order_relaxed);
  }
  end_connection(place);
  return nullptr;
}

// With the server's lock held: `place` given to `fd`.
FaceConnection *occupy(FaceServer &server, FaceConnection &place, int fd, bool may_write) {
  place.server = &server;
  place.fd = fd;
  place.busy = true;
  place.may_write = may_write;
  place.quiet_since_us.store(monotonic_us(), std::memory_order_relaxed);
  ++server.connections;
  return &place;
}

// A free place for `fd`, or nullptr when every place is taken.
FaceConnection *take_place(FaceServer &server, int fd, bool may_write) {
  Locked held(server.mutex);
  for (FaceConnection &place : server.places)
    if (!place.busy) return occupy(server, place, fd, may_write);
  return nullptr;
}

// With the server's lock held: the connection silent longest, if it has
// been silent for kEvictQuietUs; a connection answering a request is not.
FaceConnection *quietest(FaceServer &server, int64_t now_us) {
  FaceConnection *pick = nullptr;
  int64_t since = now_us - kEvictQuietUs;
  for (FaceConnection &place : server.places) {
    const int64_t quiet = place.quiet_since_us.load(std::memory_order_relaxed);
    if (place.busy && quiet <= since) {
      pick = &place;
      since = quiet;
    }
  }
  return pick;
}

// Every place is taken: the place of the connection silent longest for
// `fd`. That connection is counted and shut down, and its thread, which
// waits for its next bytes, gives the place back at once. nullptr when no
// connection has been silent long enough, or its place did not come free.
FaceConnection *take_quiet_place(FaceServer &server, int fd, bool may_write) {
  Locked held(server.mutex);
  FaceConnection *victim = quietest(server, monotonic_us());
  if (victim == nullptr) return nullptr;
  server.counters.evicted.fetch_add(1, std::memory_order_relaxed);
  shutdown(victim->fd, SHUT_RDWR);  // under the lock: its number is not reused meanwhile
  const struct timespec deadline = timespec_from_us(monotonic_us() + kEvictWaitUs);
  while (victim->busy && held.wait_until(server.ended, deadline) != ETIMEDOUT) {
  }
  return victim->busy ? nullptr : occupy(server, *victim, fd, may_write);
}

void accept_one(FaceServer &server) {
  struct sockaddr_storage peer;
  // A peer outside the allowed networks is closed before it takes a place.
  int fd = net_accept(server.listen_fd, server.allow, 0, peer, &server.counters.refused);
  if (fd == kAcceptFailed) {
    // Out of descriptors, or the peer gave up before we took it: rest, so a
    // lasting failure does not spin.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) sleep_us(kAcceptFailureRestUs);
  }
  if (fd < 0) return;
  // Answers are small and each one is awaited: send them at once. Without
  // the option they still go, a little later; no reason to refuse a client.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Who may write is the peer's address, known now and for the
  // connection's life.
  const bool may_write =
      server.write_allow == nullptr || PeerAllowed(*server.write_allow, reinterpret_cast<const sockaddr *>(&peer));
  FaceConnection *place = take_place(server, fd, may_write);
  if (place == nullptr) place = take_quiet_place(server, fd, may_write);
  // Full: a clear refusal beats a hang in the backlog. Each refusal is
  // counted before the close, so whoever sees the close finds it counted.
  if (place == nullptr) {
    server.counters.full.fetch_add(1, std::memory_order_relaxed);
    close(fd);
    return;
  }
  server.counters.accepted.fetch_add(1, std::memory_order_relaxed);
  server.counters.connected.fetch_add(1, std::memory_order_relaxed);
  pthread_t thread;
  if (start_thread(&thread, serve_connection, place, true) != 0) end_connection(*place);
}

void *listen_loop(void *arg) {
  FaceServer &server = *static_cast<FaceServer *>(arg);
  for (;;) {
    struct pollfd fds[2] = {{server.listen_fd, POLLIN, 0}, {server.stop_pipe[0], POLLIN, 0}};
    int r = poll(fds, 2, kListenWaitMs);
    if (r < 0 && errno != EINTR) sleep_us(kAcceptFailureRestUs);
    if (r <= 0) continue;
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) accept_one(server);
  }
  return nullptr;
}

void close_server_fds(FaceServer &server) {
  for (int *fd : {&server.listen_fd, &server.stop_pipe[0], &server.stop_pipe[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void reset_counters(FaceCounters &c) {
  for (auto &count : c.by_status) count.store(0);
  c.accepted = c.refused = c.full = c.connected = c.evicted = c.incomplete = 0;
}

// What must hold before a bind: the server is neither bound nor running,
// no thread of an earlier stop that timed out is left, and the signal of
// an ended connection can be waited for. 0, or the errno to refuse with.
int bind_refusal(FaceServer &server) {
  if (server.running || server.listen_fd >= 0) return EALREADY;
  {
    Locked held(server.mutex);
    if (server.connections > 0) return EBUSY;
  }
  if (!server.ended_ready) {
    int err = init_monotonic_cond(server.ended);
    if (err != 0) return err;
    server.ended_ready = true;
  }
  return 0;
}

}  // namespace

const char *face_bind(FaceServer &server, const NetEndpoint &where) {
  constexpr const char *kStep = "cannot listen there";
  if (int refused = bind_refusal(server)) return step_failed(server, kStep, refused);
  reset_counters(server.counters);
  NetListener opened;
  if (net_listen(where, {kBacklog, false}, opened) != nullptr) return step_failed(server, kStep, opened.error);
  server.listen_fd = opened.fd;
  server.bound = opened.bound;
  if (pipe2(server.stop_pipe, O_CLOEXEC) != 0) {
    int err = errno;
    close_server_fds(server);
    return step_failed(server, kStep, err);
  }
  return nullptr;
}

const char *face_serve(FaceServer &server) {
  constexpr const char *kStep = "the listener cannot start";
  if (server.listen_fd < 0) return step_failed(server, kStep, EBADF);
  if (server.running) return step_failed(server, kStep, EALREADY);
  server.running = true;
  int err = start_thread(&server.listener, listen_loop, &server, false);
  if (err != 0) {
    server.running = false;
    close_server_fds(server);
    return step_failed(server, kStep, err);
  }
  return nullptr;
}

void face_close(FaceServer &server) {
  if (!server.running) return;  // bound, but never served: face_drain closes it
  server.running = false;
  const uint8_t stop = 1;
  if (write(server.stop_pipe[1], &stop, 1) == 1) pthread_join(server.listener, nullptr);
  Locked held(server.mutex);
  for (const FaceConnection &place : server.places)
    if (place.busy) shutdown(place.fd, SHUT_RDWR);
}

void face_drain(FaceServer &server) {
  if (server.ended_ready) {
    const struct timespec deadline = timespec_from_us(monotonic_us() + kStopWaitUs);
    Locked held(server.mutex);
    while (server.connections > 0 && held.wait_until(server.ended, deadline) != ETIMEDOUT) {
    }
  }
  close_server_fds(server);
}

FaceCounts face_counts(const FaceServer &server) {
  const FaceCounters &f = server.counters;
  FaceCounts c{};
  c.accepted = f.accepted.load();
  c.refused = f.refused.load();
  c.full = f.full.load();
  c.evicted = f.evicted.load();
  c.incomplete = f.incomplete.load();
  c.connected = f.connected.load();
  for (int i = 0; i < kFaceStatuses; ++i) c.by_status[i] = f.by_status[i].load();
  return c;
}
