// Fuzz target: the request path. Arbitrary bytes from a client reach a real
// client handler (ClientProcess) over a loopback TCP connection: ReadSocket
// frames them, the intake files them into the device table of the target's
// own line (the handler's server is given it), the handler maps
// the result to a status and WriteSocket answers. Every response that comes
// back must be well-formed, and the table may change only where the intake
// is allowed to write.
//
// The table is filled beforehand with answers that name their unit, so a
// status 0 response can be checked against the slot it was copied from. No
// polling worker runs: the answers stay put while the handler reads them.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "message.h"
#include "modbusRTU.h"
#include "pelnet.h"

namespace {

// The handler pauses after every turn for as long as the client's request
// says, up to 65 ms; that pacing is not what this target looks at, and it
// would make each input take seconds. Only the handler's thread skips it.
thread_local bool skip_sleeps = false;

}  // namespace

extern "C" int nanosleep(const struct timespec *req, struct timespec *rem) {
  if (skip_sleeps) return 0;
  return static_cast<int>(syscall(SYS_nanosleep, req, rem));
}

namespace {

constexpr int kDeadlineMs = 20000;  // one input; far beyond any honest run

// The target's line, made once: its table keeps the answers every run reads.
SerialLine *line;

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_request: %s\n", what);
  abort();
}

// For a system call of the harness itself that failed.
[[noreturn]] void fail_errno(const char *what) {
  fprintf(stderr, "fuzz_request: %s: %s\n", what, strerror(errno));
  abort();
}

// libFuzzer's time-out alarm interrupts whatever system call the thread it
// lands on is in. The threads started here block it, so it lands on the
// fuzzer's own thread; the gateway never sees such a signal in service.
void block_alarm() {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
}

// Answer held by slot s of unit u: valid in slots 0 to 3, with a length from
// 3 to 255 bytes (CRC included) that differs between neighbours; slot 4 holds
// no valid answer (result 1 or 2) so the 0x81 path is taken too.
struct HeldAnswer {
  uint8_t result;
  uint8_t length;
};

HeldAnswer held_answer(int u, int s) {
  if (s == kSlotCount - 1) return {static_cast<uint8_t>(u % 2 ? kResultNoAnswer : kResultBadAnswer), 9};
  return {kResultValid, static_cast<uint8_t>(3 + (u * 5 + s * 41) % 253)};
}

uint8_t held_byte(int u, int s, int i) {
  if (i == 0) return static_cast<uint8_t>(u);  // an answer starts with its unit
  return static_cast<uint8_t>(u * 31 + s * 7 + i);
}

void fill_table() {
  for (int u = 1; u <= kUnitCount; ++u) {
    for (int s = 0; s < kSlotCount; ++s) {
      ExchangeSlot &slot = line->table[u - 1].slots[s];
      HeldAnswer a = held_answer(u, s);
      slot.result = a.result;
      slot.rxLength = a.length;
      for (int i = 0; i < kFrameSize; ++i) slot.rxFrame[i] = held_byte(u, s, i);
    }
  }
}

void check_response(const std::vector<uint8_t> &r) {
  size_t length = msg::get16(r.data(), msg::kLength);
  if (length != r.size() || length < msg::kHeaderSize) fail("response length out of shape");
  uint8_t status = r[msg::kStatus];
  for (size_t i = 2; i < msg::kHeaderSize; ++i) {
    if (i == msg::kStatus || (i == msg::kSlot && status == msg::kStatusOk)) continue;
    if (r[i] != 0) fail("response header byte that must be zero is not");
  }
  if (status != msg::kStatusOk) {
    static const uint8_t kErrors[] = {msg::kStatusFailed,  msg::kStatusNoAnswer,    msg::kStatusBadUnit,
                                      msg::kStatusBadSlot, msg::kStatusBadFunction, msg::kStatusBadCoilValue};
    if (memchr(kErrors, status, sizeof kErrors) == nullptr) fail("status outside the table");
    if (length != msg::kHeaderSize) fail("error response longer than its header");
    return;
  }
  int s = r[msg::kSlot];
  if (s >= kSlotCount) fail("status 0 with a slot above 4");
  if (length == msg::kHeaderSize) fail("status 0 without an answer (every held answer names its unit)");
  int u = r[msg::kFrame];
  if (u < 1 || u > kUnitCount) fail("status 0 answer from no unit");
  HeldAnswer a = held_answer(u, s);
  if (a.result != kResultValid) fail("status 0 from a slot without a valid answer");
  if (length != static_cast<size_t>(a.length) + 30) fail("status 0 length is not rxLength + 30");
  for (size_t i = 0; i + msg::kHeaderSize < length; ++i)
    if (r[msg::kFrame + i] != held_byte(u, s, static_cast<int>(i))) fail("status 0 answer differs from the slot");
}

DeviceRecord before[kUnitCount];

// The intake writes only the request side of a slot: its answer stays, and
// whatever it stored is a sealed frame of its own unit that fits.
void check_table() {
  for (int u = 1; u <= kUnitCount; ++u) {
    if (line->table[u - 1].currentSlot != before[u - 1].currentSlot) fail("the intake moved a currentSlot");
    for (int s = 0; s < kSlotCount; ++s) {
      const ExchangeSlot &slot = line->table[u - 1].slots[s];
      const ExchangeSlot &was = before[u - 1].slots[s];
      if (memcmp(&slot, &was, sizeof slot) == 0) continue;
      if (slot.result != was.result || slot.rxLength != was.rxLength ||
          memcmp(slot.rxFrame, was.rxFrame, kFrameSize) != 0 || slot.lifetimeReload != was.lifetimeReload)
        fail("the intake wrote a field of a slot it must not");
      if (slot.txLength == was.txLength && memcmp(slot.txFrame, was.txFrame, kFrameSize) == 0) continue;
      if (slot.txLength < 8 || slot.txFrame[0] != u) fail("stored request of the wrong shape");
      if (!MRTU_CheckFrame(slot.txFrame, slot.txLength)) fail("stored request without its CRC");
    }
  }
}

// Two ends of a fresh loopback TCP connection. The client end is bound to
// its own address in 127.0.0.0/8 each time: the client half-closes first, so
// its end of every connection waits out TIME_WAIT, and a single source
// address would run out of ports after some ten thousand runs.
void loopback_pair(int *client, int *gateway) {
  static int listening = -1;
  static sockaddr_in where;
  static uint32_t runs = 0;
  if (listening < 0) {
    listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    memset(&where, 0, sizeof where);
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof where;
    if (listening < 0 || bind(listening, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 ||
        listen(listening, 4) != 0 || getsockname(listening, reinterpret_cast<sockaddr *>(&where), &len) != 0)
      fail_errno("no loopback listener");
  }
  sockaddr_in from;
  memset(&from, 0, sizeof from);
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000000u | (1u + runs++ % 0xFFFFFEu));  // 127.0.0.1 to 127.255.255.254

  // Neither step may be cut short by the alarm.
  sigset_t alarm, before;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, &before);
  *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*client < 0 || bind(*client, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
      connect(*client, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0)
    fail_errno("loopback connect failed");
  *gateway = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  if (*gateway < 0) fail_errno("loopback accept failed");
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void stop_handler(NativeServer &server) {
  pthread_mutex_lock(&server.mutex);
  server.registry.work = 0;
  pthread_mutex_unlock(&server.mutex);
}

// Reads responses until the handler shuts the connection down. Once every
// byte the client sent has been taken off the gateway's end, the handler is
// told to stop, so a request that asked for a huge idle budget cannot keep
// it turning on a closed connection.
void collect_responses(NativeServer &server, int client, int gateway_view, const bool *all_sent) {
  std::vector<uint8_t> pending;
  bool stopped = false;
  int64_t deadline = now_ms() + kDeadlineMs;
  for (;;) {
    if (now_ms() > deadline) fail("the handler neither answered nor ended");
    struct pollfd p = {client, POLLIN, 0};
    struct timespec step = {0, 100000};
    int r = ppoll(&p, 1, &step, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      int queued = 0;
      if (!stopped && __atomic_load_n(all_sent, __ATOMIC_ACQUIRE) && ioctl(gateway_view, FIONREAD, &queued) == 0 &&
          queued == 0) {
        stop_handler(server);
        stopped = true;
      }
      continue;
    }
    uint8_t buf[4096];
    ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.insert(pending.end(), buf, buf + n);
    while (pending.size() >= 2) {
      size_t length = msg::get16(pending.data(), msg::kLength);
      if (length < msg::kHeaderSize || length > msg::kCapacity) fail("response length out of range");
      if (pending.size() < length) break;
      check_response(std::vector<uint8_t>(pending.begin(), pending.begin() + static_cast<long>(length)));
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
    }
  }
  if (!pending.empty()) fail("the connection ended inside a response");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The intake converts time-outs with the character time of the line.
  line = new SerialLine();
  ModbusRTUSettings &rtu = line->settings;
  rtu.serialport = 0;
  rtu.baudrate = 921600;
  rtu.databits = 8;
  rtu.stopbits = 1;
  derive_line_timing(rtu);
  fill_table();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int client, gateway;
  loopback_pair(&client, &gateway);
  // The handler closes its descriptor when it ends; this second one keeps
  // the socket inspectable until then and is closed here afterwards.
  int gateway_view = dup(gateway);
  memcpy(before, line->table, sizeof before);

  // A server of its own for every input, its registry as the listener
  // leaves it for a handler it has just started on index 0.
  auto server = std::make_unique<NativeServer>();
  server->settings.line = line;
  MRTUServerRecord &registry = server->registry;
  registry.work = 1;
  registry.keepAlive = 750000;
  registry.pause = 20000;
  registry.sockClient = gateway;
  registry.numClient = 0;
  registry.busyClient[0] = 0xFF;
  registry.countClient = 1;

  std::thread handler([&server, gateway] {
    block_alarm();
    skip_sleeps = true;
    ClientHandOver mine = {server.get(), gateway, 0, true};  // a client that may write: every path open
    ClientProcess(&mine);
  });
  bool all_sent = false;
  std::thread writer([&] {
    block_alarm();
    size_t done = 0;
    while (done < size) {
      ssize_t n = send(client, data + done, size - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the handler has gone: the rest cannot be sent
      done += static_cast<size_t>(n);
    }
    shutdown(client, SHUT_WR);
    __atomic_store_n(&all_sent, true, __ATOMIC_RELEASE);
  });

  collect_responses(*server, client, gateway_view, &all_sent);
  writer.join();
  handler.join();
  check_table();

  // A reset instead of an orderly close: thousands of runs must not leave
  // thousands of connections in TIME_WAIT.
  struct linger abort_close = {1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  close(client);
  close(gateway_view);
  return 0;
}
