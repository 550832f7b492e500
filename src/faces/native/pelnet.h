// pelnet: the TCP side of the gateway. Length-prefixed message I/O, the
// per-client handlers, the listener and the client registry.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <cstdint>

#include "status.h"

constexpr int kMaxClients = 10;

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

extern MRTUServerRecord MRTUServer;

// What the status face reports about the native clients, beside the registry
// and guarded by ServerMutex like it.
struct PelnetCounters {
  uint64_t accepted;                    // connections handed to a handler
  uint64_t refused;                     // connections AdmitPeer refused
  uint64_t requests[kStatusCodes];      // answers by their status byte
  char peer[kMaxClients][sizeof(PeerStatus::address)];  // by registry index
  int64_t since_us[kMaxClients];        // monotonic, by registry index
};
extern PelnetCounters MRTUServerCounters;

// Copies the native clients' part of a status snapshot under ServerMutex;
// connection times are counted to `now_us` (monotonic).
void pelnet_copy_status(StatusSnapshot &snapshot, int64_t now_us);
extern pthread_mutex_t ServerMutex;
extern int listener;
extern struct sockaddr_in addr;
extern pthread_t hListenProcess;

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

// What the listener gives a handler: its connection and its registry index.
struct ClientHandOver {
  int sock;
  int index;
};

// A handler's body; `given` points at its own hand-over entry (connection
// and registry index), which the listener does not touch while it runs.
void *ClientProcess(void *given);
void *ListenProcess(void *);

// Results of pelnetStart.
constexpr int kStartNoSocket = -1;    // no socket, or a socket option refused
constexpr int kStartNoBind = -2;
constexpr int kStartNoListen = -3;
constexpr int kStartNoMutex = -4;     // ServerMutex could not be initialised
constexpr int kStartNoListener = -5;  // the listener thread could not start

// Opens the TCP port (low 16 bits of ModbusRTU.ipport) on the address of
// VelkordEnv.listen (all IPv4 interfaces by default) and starts the
// listener: 0, or one of the results above with the socket closed again.
int pelnetStart();
