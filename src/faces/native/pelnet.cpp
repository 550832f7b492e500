// pelnet: the TCP side of the gateway.
//
// The listener accepts at most ten connections and hands each to a handler
// thread. A handler reads one length-prefixed request at a time, files it
// through MRTU_CMD and answers at once with what the slot holds; it keeps the
// connection while the client keeps asking, within an idle budget.
#include "pelnet.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "access.h"
#include "locked.h"
#include "message.h"
#include "modbusRTU.h"
#include "net.h"
#include "sleep_us.h"
#include "thread_start.h"

NativeServer NativeProcessServer;
MRTUServerRecord &MRTUServer = NativeProcessServer.registry;
PelnetCounters &MRTUServerCounters = NativeProcessServer.counters;
pthread_mutex_t &ServerMutex = NativeProcessServer.mutex;
int &listener = NativeProcessServer.listener;
struct sockaddr_in &addr = NativeProcessServer.addr;
pthread_t &hListenProcess = NativeProcessServer.listen_thread;

namespace {

constexpr uint32_t kDefaultKeepAliveUs = 750000;
constexpr uint32_t kDefaultPauseUs = 20000;
constexpr int kAcceptWaitMs = 10000;
constexpr uint32_t kListenerRestUs = 100000;
constexpr uint32_t kHandOverSpacingUs = 30000;
constexpr int kBacklog = 10;

// A wait's results are ReadSocket's and WriteSocket's own.
static_assert(kNetTimeout == kSockTimeout && kNetFailed == kSockError);

// The message reader's result beside ReadSocket's: the peer closed the
// connection in an orderly way. ReadSocket reports it as a time-out, as its
// callers expect; the handler ends at once on it, since nothing more can come.
constexpr int kReadPeerClosed = -4;

// A message must be whole this long after its first byte: a client trickling
// bytes would otherwise hold its handler, one of only ten, for ever.
constexpr int64_t kMessageDeadlineUs = 7000000;

// Waits for the next bytes of a message: up to the 7-second wait before its
// first byte (no deadline yet, 0), then up to its deadline. A deadline that
// passes is a failed receive.
int wait_message_bytes(int sock, int64_t deadline_us) {
  if (deadline_us == 0) return net_wait_ready(sock, POLLIN, kSocketWaitMs);
  int64_t left_us = deadline_us - monotonic_us();
  int left_ms = left_us <= 0 ? 0 : static_cast<int>((left_us + 999) / 1000);
  int w = net_wait_ready(sock, POLLIN, left_ms);
  return w == kSockTimeout ? kSockError : w;
}

// Receives exactly `count` bytes and throws them away: keeps the stream in
// step after a message too long to store.
int drop_bytes(int sock, int32_t count, int64_t deadline_us) {
  uint8_t scratch[512];
  while (count > 0) {
    int w = wait_message_bytes(sock, deadline_us);
    if (w != 0) return w;
    size_t ask = count < static_cast<int32_t>(sizeof scratch) ? static_cast<size_t>(count) : sizeof scratch;
    ssize_t n = recv(sock, scratch, ask, 0);
    if (n == 0) return kReadPeerClosed;
    if (n < 0) return kSockError;
    count -= static_cast<int32_t>(n);
  }
  return 0;
}

// ReadSocket's reading, telling a closed peer (kReadPeerClosed) from a
// silent one (kSockTimeout).
int read_message(int sock, uint8_t *buf) {
  int32_t wanted = 2;
  int32_t received = 0;
  uint16_t declared = 0;
  bool have_length = false;
  int64_t deadline_us = 0;  // set by the first byte
  while (wanted > 0) {
    int w = wait_message_bytes(sock, deadline_us);
    if (w != 0) return w;
    // Never more than the rest of this message: the next one stays queued.
    ssize_t n = recv(sock, buf + received, static_cast<size_t>(wanted), 0);
    if (n == 0) return kReadPeerClosed;
    if (n < 0) return kSockError;
    if (deadline_us == 0) deadline_us = monotonic_us() + kMessageDeadlineUs;
    wanted -= static_cast<int32_t>(n);
    received += static_cast<int32_t>(n);
    if (received >= 2 && !have_length) {
      declared = msg::get16(buf, msg::kLength);
      have_length = true;
      // Nothing past the buffer is stored: read the rest of an over-long
      // message into the void and refuse it like a bad length.
      if (declared > msg::kCapacity) {
        int d = drop_bytes(sock, declared - received, deadline_us);
        return d != 0 ? d : kSockBadLength;
      }
      wanted = declared - received;
    }
  }
  return received == declared ? received : kSockBadLength;
}

}  // namespace

// ---- Socket message I/O ----------------------------------------------------

int ReadSocket(int sock, uint8_t *buf) {
  int r = read_message(sock, buf);
  return r == kReadPeerClosed ? kSockTimeout : r;
}

int WriteSocket(int sock, const uint8_t *data, int len) {
  uint16_t remaining = static_cast<uint16_t>(len);
  int sent = 0;
  while (remaining != 0) {
    int w = net_wait_ready(sock, POLLOUT, kSocketWaitMs);
    if (w != 0) return w;
    // A peer that has gone must cost an error result, not a SIGPIPE.
    ssize_t n = send(sock, data, remaining, MSG_NOSIGNAL);
    if (n == 0) return kSockTimeout;
    if (n < 0) return kSockError;
    data += n;
    remaining = static_cast<uint16_t>(remaining - n);
    sent += static_cast<int>(n);
  }
  return sent;
}

// ---- Client handler --------------------------------------------------------

uint8_t StatusForResult(int result) {
  switch (result) {
    case kCmdOk: return msg::kStatusOk;
    case kCmdNoAnswer: return msg::kStatusNoAnswer;
    case kCmdBadUnit: return msg::kStatusBadUnit;
    case kCmdBadSlot: return msg::kStatusBadSlot;
    case kCmdBadFunction: case kCmdWriteRefused: return msg::kStatusBadFunction;
    case kCmdBadCoilValue: return msg::kStatusBadCoilValue;
    default: return msg::kStatusFailed;
  }
}

int native_intake(SerialLine &line, const uint8_t *request, uint8_t *response, uint8_t slot, uint8_t mode,
                  int32_t timeout, uint32_t lifetime, uint32_t delay, bool may_write) {
  const int carried = msg::get16(request, msg::kLength) - static_cast<int>(msg::kHeaderSize);
  const SlotRequest r = {request + msg::kFrame, carried, slot, mode, timeout, lifetime, delay, !may_write};
  int length = 0;
  const int result = intake_store(line, r, response + msg::kFrame, length);
  if (result != kCmdOk) return result;
  // The copy carries the answer's CRC; the length leaves it out.
  msg::put16(response, msg::kLength, static_cast<uint16_t>(msg::kHeaderSize + length - kCrcLength));
  response[msg::kSlot] = slot;
  return kCmdOk;
}

int MRTU_CMD(const uint8_t *request, uint8_t *response, uint8_t slot, uint8_t mode, int32_t timeout,
             uint32_t lifetime, uint32_t delay) {
  return native_intake(SerialProcessLine, request, response, slot, mode, timeout, lifetime, delay);
}

namespace {

// A response of the header alone: length 32, the status, every other byte 0.
void make_error_response(uint8_t *response, uint8_t status) {
  memset(response, 0, msg::kHeaderSize);
  msg::put16(response, msg::kLength, msg::kHeaderSize);
  response[msg::kStatus] = status;
}

// Carries out one request that was read whole and builds its response;
// the intake's result.
int answer_request(SerialLine &line, MRTUServerRecord &self, bool may_write, const uint8_t *request,
                   uint8_t *response) {
  // keepAlive and pause hold for the rest of the connection, and are taken
  // even when the intake refuses the request.
  uint32_t keep_alive = msg::get32(request, msg::kKeepAlive);
  uint16_t pause = msg::get16(request, msg::kPause);
  if (keep_alive != 0) self.keepAlive = keep_alive;
  if (pause != 0) self.pause = pause;

  memset(response, 0, msg::kCapacity);
  int result = native_intake(line, request, response, request[msg::kSlot], request[msg::kMode],
                             static_cast<int32_t>(msg::get32(request, msg::kTimeout)),
                             msg::get32(request, msg::kLifetime), msg::get32(request, msg::kDelay), may_write);
  if (result != kCmdOk) make_error_response(response, StatusForResult(result));
  return result;
}

// The status of the answer a handler wrote since it last took ServerMutex;
// it is counted the next time the handler holds the lock anyway.
struct Answered {
  bool pending;
  uint8_t status;
  bool write_refused;  // counted as that, not by its status
};

void count_answer(NativeServer &server, Answered &answered) {
  if (answered.pending && answered.write_refused)
    ++server.counters.write_refused;
  else if (answered.pending)
    ++server.counters.requests[answered.status];
  answered.pending = false;
}

// One turn of reading and answering. False when the handler must end.
bool serve_turn(SerialLine &line, MRTUServerRecord &self, bool may_write, uint8_t *request, uint8_t *response,
                Answered &answered) {
  memset(request, 0, msg::kCapacity);
  int r = read_message(self.sockClient, request);
  if (r == kSockTimeout) return true;  // a silent client costs one turn of budget
  if (r == kSockError || r == kReadPeerClosed) return false;
  int result = kCmdOk;
  if (r == kSockBadLength)
    make_error_response(response, msg::kStatusNoAnswer);
  else
    result = answer_request(line, self, may_write, request, response);

  int w = WriteSocket(self.sockClient, response, msg::get16(response, msg::kLength));
  answered = {true, response[msg::kStatus], result == kCmdWriteRefused};
  if (w == kSockError) return false;
  if (w >= 0) self.keepAliveLeft = self.keepAlive;
  return true;
}

void give_entry_back(NativeServer &server, int index, Answered &answered) {
  Locked held(server.mutex);
  count_answer(server, answered);
  if (server.registry.work != 0) {
    server.registry.busyClient[index] = 0;
    --server.registry.countClient;
  }
}

// The handler's own record: the registry's settings as they are now, with
// the connection and index it was given.
MRTUServerRecord take_registry_copy(const ClientHandOver &mine) {
  Locked held(mine.server->mutex);
  MRTUServerRecord self = mine.server->registry;
  self.sockClient = mine.sock;
  self.numClient = mine.index;
  return self;
}

uint8_t server_runs(NativeServer &server, Answered &answered) {
  Locked held(server.mutex);
  count_answer(server, answered);
  return server.registry.work;
}

}  // namespace

void *ClientProcess(void *given) {
  // A client's pause is its answer rate; the default 50 µs timer slack would
  // stretch a pause of 1 µs fiftyfold. 20 µs, not 1: handlers that come back
  // at once barge ahead of the ones queued on the table's mutex.
  prctl(PR_SET_TIMERSLACK, 20000UL, 0, 0, 0);
  const ClientHandOver &mine = *static_cast<const ClientHandOver *>(given);
  NativeServer &server = *mine.server;
  MRTUServerRecord self = take_registry_copy(mine);

  uint8_t request[msg::kCapacity];
  uint8_t response[msg::kCapacity];
  Answered answered = {false, 0, false};
  SerialLine &line = server.settings.line != nullptr ? *server.settings.line : SerialProcessLine;
  while (self.work != 0 && serve_turn(line, self, mine.may_write, request, response, answered)) {
    // The budget counts turns: every turn, answered or idle, costs one pause.
    if (self.keepAliveLeft <= self.pause) break;
    self.keepAliveLeft -= self.pause;
    sleep_us(self.pause);
    self.work = server_runs(server, answered);
  }
  shutdown(self.sockClient, SHUT_RDWR);
  close(self.sockClient);
  give_entry_back(server, self.numClient, answered);
  return nullptr;
}

// ---- Listener --------------------------------------------------------------

namespace {

// The handler that last had index j has given it back and at most has
// still to return: joined, so its stack is free for the next one. One that
// still holds its index would wait for the mutex held here: never joined.
void join_ended_handler(NativeServer &server, int j) {
  if (!server.unjoined[j] || server.registry.busyClient[j] != 0) return;
  pthread_join(server.registry.hClient[j], nullptr);
  server.unjoined[j] = false;
}

// Enters a new connection in the lowest free registry index and starts its
// handler with that index's hand-over entry. Called without the server's
// mutex; fewer than ten handlers run.
void hand_over(NativeServer &server, int sock, const char *peer, bool may_write) {
  Locked held(server.mutex);
  MRTUServerRecord &registry = server.registry;
  int j = 0;
  while (j < kMaxClients - 1 && registry.busyClient[j] != 0) ++j;
  join_ended_handler(server, j);
  ++server.counters.accepted;
  snprintf(server.counters.peer[j], sizeof server.counters.peer[j], "%s", peer);
  server.counters.since_us[j] = monotonic_us();
  server.hand_overs[j] = {&server, sock, j, may_write};
  registry.sockClient = sock;  // the most recent hand-over, as the registry tells it
  registry.numClient = j;
  registry.busyClient[j] = 0xFF;
  if (start_thread(&registry.hClient[j], ClientProcess, &server.hand_overs[j], false) != 0) {
    // No handler: the index and the connection go back at once.
    registry.busyClient[j] = 0;
    close(sock);
    return;
  }
  server.unjoined[j] = true;
  ++registry.countClient;
}

void reset_registry(NativeServer &server) {
  Locked held(server.mutex);
  memset(server.registry.busyClient, 0, sizeof server.registry.busyClient);
  server.registry.countClient = 0;
  server.registry.pause = kDefaultPauseUs;
  server.registry.keepAlive = kDefaultKeepAliveUs;
}

// Accepts one pending connection and hands it to a handler, after its two
// lines. False when nothing was handed over: a failed accept, or a peer
// outside the allowed networks, closed unserved and unseen.
bool accept_one(NativeServer &server) {
  struct sockaddr_storage peer;
  int sock = net_accept(server.listener, server.settings.allow, 0, peer, &server.refused);
  if (sock < 0) return false;
  printf("-----CLIENT-----\r\n");
  printf("-- sock. %i --\r\n", sock);
  char text[kPeerTextSize];
  net_format_endpoint(net_endpoint_of(peer), text, sizeof text);
  // Who may write is the peer's address, known now and for the
  // connection's life.
  const AllowList *writers = server.settings.write_allow;
  hand_over(server, sock, text, writers == nullptr || PeerAllowed(*writers, reinterpret_cast<const sockaddr *>(&peer)));
  return true;
}

}  // namespace

void *ListenProcess(void *arg) {
  NativeServer &server = arg != nullptr ? *static_cast<NativeServer *>(arg) : NativeProcessServer;
  reset_registry(server);
  for (;;) {
    uint8_t work;
    int32_t count;
    {
      Locked held(server.mutex);
      work = server.registry.work;
      count = server.registry.countClient;
    }
    if (work == 0) break;
    uint32_t rest_us = kListenerRestUs;
    // A full house accepts nothing: newcomers wait in the listen backlog.
    if (count < kMaxClients && net_wait_ready(server.listener, POLLIN, kAcceptWaitMs) == kNetReady &&
        accept_one(server))
      rest_us = kHandOverSpacingUs;
    sleep_us(rest_us);
  }
  return nullptr;
}

namespace {

// Where the port listens: the address VELKORD_LISTEN names, or else all
// IPv4 interfaces; `addr` holds it when it is an IPv4 address.
NetEndpoint listen_endpoint(NativeServer &server) {
  NetEndpoint e = server.settings.listen;
  if (e.family == 0) e = {AF_INET, {0, 0, 0, 0}, 0};  // INADDR_ANY
  e.port = server.settings.port;
  sockaddr_storage where;
  net_socket_address(e, where);
  memset(&server.addr, 0, sizeof server.addr);
  if (e.family == AF_INET) memcpy(&server.addr, &where, sizeof server.addr);
  return e;
}

// A start that failed half-way: the listening socket goes, and the result.
int abandon_start(NativeServer &server, int result) {
  close(server.listener);
  server.listener = -1;
  return result;
}

// The step of the listening socket's start that failed, as pelnetStart's result.
int start_result(ListenStep failed) {
  switch (failed) {
    case ListenStep::kBind: return kStartNoBind;
    case ListenStep::kListen:
    case ListenStep::kName: return kStartNoListen;
    default: return kStartNoSocket;
  }
}

}  // namespace

int native_start(NativeServer &server) {
  NetListener opened;
  if (net_listen(listen_endpoint(server), {kBacklog, true}, opened) != nullptr) return start_result(opened.failed);
  server.listener = opened.fd;
  if (pthread_mutex_init(&server.mutex, nullptr) != 0) return abandon_start(server, kStartNoMutex);
  server.registry.work = 1;
  if (start_thread(&server.listen_thread, ListenProcess, &server, false) != 0) {
    server.registry.work = 0;
    return abandon_start(server, kStartNoListener);
  }
  sleep_us(1000000);
  return 0;
}

int pelnetStart() {
  NativeProcessServer.settings.port = static_cast<uint16_t>(ModbusRTU.ipport);
  return native_start(NativeProcessServer);
}

void native_stop(NativeServer &server) {
  {
    Locked held(server.mutex);
    server.registry.work = 0;
  }
  // Shutting the listening socket down wakes the listener's wait; it sees the
  // flag and ends, and is joined before its socket is closed under it.
  shutdown(server.listener, SHUT_RDWR);
  pthread_join(server.listen_thread, nullptr);
  close(server.listener);
  server.listener = -1;
  // Handlers still serving end on their own at their next turn, or when
  // their client goes; nobody waits for them.
  Locked held(server.mutex);
  for (int j = 0; j < kMaxClients; ++j) {
    if (server.unjoined[j]) pthread_detach(server.registry.hClient[j]);
    server.unjoined[j] = false;
  }
}

// ---- Status copy -----------------------------------------------------------

void native_copy_status(NativeServer &server, NativeStatus &out) {
  Locked held(server.mutex);
  out.connected = static_cast<uint32_t>(server.registry.countClient);
  out.refused = server.refused.load(std::memory_order_relaxed);
  out.counters = server.counters;
  for (int j = 0; j < kMaxClients; ++j) out.busy[j] = server.registry.busyClient[j] != 0;
}
