// pelnet: the TCP side of the gateway. Length-prefixed message I/O, the
// per-client handlers, the listener and the client registry.
//
// One NativeServer holds all a server owns. The process runs one,
// NativeProcessServer, and the names below (MRTUServer, ServerMutex,
// listener, ...) are its parts; tests and the fuzz target make their own.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "access.h"
#include "intake.h"
#include "net.h"

constexpr int kMaxClients = 10;
constexpr int kResponseStatuses = 256;  // one count for every status byte
constexpr size_t kPeerTextSize = 56;    // "[2001:db8::7]:50412" and its end

struct MRTUServerRecord {
  uint8_t work;                     // run flag
  int32_t countClient;              // running handlers, 0 to 10
  int32_t numClient;                // hand-over: registry index of the new handler
  uint8_t busyClient[kMaxClients];  // 0 free, 0xFF taken
  pthread_t hClient[kMaxClients];
  int32_t sockClient;               // hand-over: connection of the new handler
  uint32_t keepAlive;               // µs, idle budget a new handler starts with
  uint32_t keepAliveLeft;           // µs, the handler's running budget (in its copy)
  uint32_t pause;                   // µs, pause after every turn
};

// What the status face reports about the native clients, beside the registry
// and guarded by ServerMutex like it.
struct PelnetCounters {
  uint64_t accepted;                       // connections handed to a handler
  uint64_t requests[kResponseStatuses];    // answers by their status byte
  uint64_t write_refused;                  // writes refused (answered 0x88), counted only here
  char peer[kMaxClients][kPeerTextSize];   // by registry index
  int64_t since_us[kMaxClients];           // monotonic, by registry index
};

struct NativeServer;

// What the listener gives a handler: its server, its connection and its
// registry index.
struct ClientHandOver {
  NativeServer *server;
  int sock;
  int index;
  bool may_write;  // the peer is in the write allow-list
};

// Where the server listens, whom it serves and whose table it files the
// requests in; set before it starts.
struct NativeSettings {
  uint16_t port;            // the low 16 bits of ModbusRTU.ipport
  NetEndpoint listen;       // VELKORD_LISTEN; family 0: every IPv4 interface
  const AllowList *allow;   // VELKORD_ALLOW; nullptr: everyone
  const AllowList *write_allow;  // VELKORD_WRITE_ALLOW; nullptr: every client may write
  SerialLine *line;         // nullptr: the process's line
};

// Everything one native server owns. `mutex` (ServerMutex) guards the
// registry, the counters and the hand-over entries.
struct NativeServer {
  NativeSettings settings{};
  MRTUServerRecord registry{};
  PelnetCounters counters{};
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<uint64_t> refused{0};     // connections AdmitPeer refused
  int listener = -1;                    // the listening socket
  struct sockaddr_in addr{};            // the IPv4 address it is bound to
  pthread_t listen_thread{};
  // One entry per registry index. An entry is written only while its index
  // is free, under the mutex, before its handler starts; so no later
  // hand-over can overwrite what a running handler was given.
  ClientHandOver hand_overs[kMaxClients]{};
  // A handler is joined by the next hand-over of its index, or detached when
  // the server stops: so at most ten handlers' stacks ever exist, where
  // detached handlers that end as new ones start would each take a new one.
  bool unjoined[kMaxClients]{};
};

// The process's server, and its parts by their documented names.
extern NativeServer NativeProcessServer;
extern MRTUServerRecord &MRTUServer;
extern PelnetCounters &MRTUServerCounters;
extern pthread_mutex_t &ServerMutex;
extern int &listener;
extern struct sockaddr_in &addr;
extern pthread_t &hListenProcess;

// What the status face shows of a server's clients: a copy taken under its
// mutex.
struct NativeStatus {
  uint32_t connected;
  uint64_t refused;
  PelnetCounters counters;
  bool busy[kMaxClients];  // the registry indexes taken
};
void native_copy_status(NativeServer &server, NativeStatus &out);

// Results of the socket operations.
constexpr int kSockTimeout = -1;    // 7 s without readiness, or the peer closed
constexpr int kSockError = -2;      // a wait or receive failed, or a message came too slowly
constexpr int kSockBadLength = -3;  // declared length below 2 or above 1024

constexpr int kSocketWaitMs = 7000;

// Reads one length-prefixed message into `buf` (1024 bytes). Returns its
// length, or one of the results above. The message must be whole within
// 7 s of its first byte, else the read fails (kSockError).
int ReadSocket(int sock, uint8_t *buf);

// Sends len (modulo 65536) bytes. Returns the count sent, -1 or -2.
int WriteSocket(int sock, const uint8_t *data, int len);

// The response status for a result of MRTU_CMD.
uint8_t StatusForResult(int result);

// The intake of one request message (`request`, its frame from byte 32 on,
// within the message's own length at bytes 0-1) on `line`: its slot takes
// the frame sealed and the timing given; the slot's last valid answer goes
// into the cleared 1024-byte `response` (its length, slot and frame).
// Returns the intake's result (kCmd*). A client that may not write gets
// kCmdWriteRefused for a write, and its slot takes the timing alone.
int native_intake(SerialLine &line, const uint8_t *request, uint8_t *response, uint8_t slot, uint8_t mode,
                  int32_t timeout, uint32_t lifetime, uint32_t delay, bool may_write = true);

// native_intake on the process's line.
int MRTU_CMD(const uint8_t *request, uint8_t *response, uint8_t slot, uint8_t mode, int32_t timeout,
             uint32_t lifetime, uint32_t delay);

// A handler's body; `given` points at its own hand-over entry (server,
// connection and registry index), which the listener does not touch while
// it runs.
void *ClientProcess(void *given);
// The listener's body for `server` (a NativeServer; nullptr: the process's).
void *ListenProcess(void *server);

// Results of pelnetStart.
constexpr int kStartNoSocket = -1;    // no socket, or a socket option refused
constexpr int kStartNoBind = -2;
constexpr int kStartNoListen = -3;
constexpr int kStartNoMutex = -4;     // ServerMutex could not be initialised
constexpr int kStartNoListener = -5;  // the listener thread could not start

// Opens the port of `server`'s settings on their address (all IPv4
// interfaces by default) and starts its listener: 0, or one of the results
// above with the socket closed again.
int native_start(NativeServer &server);

// native_start of the process's server on the low 16 bits of
// ModbusRTU.ipport.
int pelnetStart();

// Ends a started server's listener: clears the run flag, wakes the
// listener's wait and joins it, then closes the listening socket. Handlers
// end at their next turn.
void native_stop(NativeServer &server);
