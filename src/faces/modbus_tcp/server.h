// server: the TCP server of a Modbus face, generic over its codec. It
// listens, admits the peers the allow-list lets in up to kFaceConnections at
// once, and gives each connection a thread that cuts requests out of its
// stream with the codec, answers them through the pool one after another,
// and counts the answers. A face is a codec on this server and a pool.
//
// Places go to the clients that talk: a request must be whole within 7 s of
// its first byte, and when every place is taken a newcomer takes the place
// of the connection that has been silent longest, once that one has been
// silent for a second.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "access.h"
#include "net.h"
#include "pool.h"

// The longest request or answer a codec handles (an MBAP ADU; an RTU
// frame is shorter).
constexpr int kFaceMaxMessage = 260;

// How a face's requests are cut out of the stream and answered.
struct FaceCodec {
  // The next whole request among the n bytes received: its length, 0 while
  // more bytes are needed, or kFaceStreamBroken when the stream cannot go on
  // (the connection is closed). `drop` is set to the bytes before the
  // request to throw away first (a codec that finds its way back into a
  // stream after noise; 0 for others).
  int (*frame)(const uint8_t *in, int n, int *drop);
  // The answer to one whole request of n bytes, through `pool`, from a
  // peer that may write or not, into `out` (kFaceMaxMessage bytes): its
  // length (0: none is sent), and in `status` what it is counted as
  // (face_status).
  int (*answer)(FacePool &pool, const uint8_t *request, int n, bool may_write, uint8_t *out, int *status);
};
constexpr int kFaceStreamBroken = -1;

// What an answer is counted as: 0 for the unit's normal answer, the
// exception code it carries (the unit's or the face's), or kFaceWriteRefused
// for a change refused to a peer that may not write (answered with 0x01,
// counted only as that). No exception code is that large.
constexpr int kFaceWriteRefused = 0x100;
inline int face_status(const FaceAnswer &a, const uint8_t *answer) {
  if (a.write_refused) return kFaceWriteRefused;
  return a.length > 0 ? answer_status(answer) : a.code;
}

// Answers counted by status: [0] the unit's normal answer, [code] an
// exception code below 16, [kFaceStatusOther] any other code, and
// [kFaceStatusWriteRefused] the refused changes.
constexpr int kFaceStatusOther = 16;
constexpr int kFaceStatusWriteRefused = 17;
constexpr int kFaceStatuses = 18;

struct FaceCounters {
  std::atomic<uint64_t> accepted{0};   // connections accepted
  std::atomic<uint64_t> refused{0};    // connections from outside the allowed networks
  std::atomic<uint64_t> full{0};       // connections closed at once: every place taken
  std::atomic<uint64_t> evicted{0};    // silent connections closed to make room for a newcomer
  std::atomic<uint64_t> incomplete{0}; // connections closed: a request not whole within 7 s
  std::atomic<uint64_t> connected{0};  // clients connected now
  std::atomic<uint64_t> by_status[kFaceStatuses]{};
};

struct FaceServer;

// A connection's place; its thread is given the address.
struct FaceConnection {
  FaceServer *server;
  int fd;
  bool busy;
  bool may_write;  // the peer is in the write allow-list, judged at accept
  // Since when the connection has been silent (monotonic): its last byte in
  // or answer out; kFaceAnswering while it has a request in hand. Written by
  // its thread, read by the listener looking for room.
  std::atomic<int64_t> quiet_since_us{0};
};
constexpr int64_t kFaceAnswering = INT64_MAX;

// Everything one server owns. `mutex` guards the connection places and
// `connections`; `ended` is signalled when a connection ends.
struct FaceServer {
  const FaceCodec *codec = nullptr;
  FacePool *pool = nullptr;
  const AllowList *allow = nullptr;  // who may connect; nullptr: everyone
  const AllowList *write_allow = nullptr;  // who may change a unit; nullptr: everyone
  int listen_fd = -1;
  int stop_pipe[2] = {-1, -1};
  pthread_t listener{};
  NetEndpoint bound{};
  std::atomic<bool> running{false};
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended;
  bool ended_ready = false;  // `ended` is set up (once, for the server's life)
  FaceConnection places[kFaceConnections]{};
  int connections = 0;
  FaceCounters counters;
  char error[160] = {};
};

// Opens the listening socket of `where` (port 0: the system picks one) for
// the server's codec, pool and allow-list, which are set before: nullptr,
// or a message naming the step that failed and why (nothing is left open
// then). No client is served before face_serve.
const char *face_bind(FaceServer &server, const NetEndpoint &where);

// Starts the listener thread of a bound server: nullptr, or a message
// naming the step that failed and why (the server is closed then).
const char *face_serve(FaceServer &server);

// Ends the listener and shuts every connection down; their threads end once
// their pool waits do. Closes a server that was bound and never served.
void face_close(FaceServer &server);

// After face_close: waits for the connection threads (a few seconds at
// most) and closes the listening socket, so the server can bind again.
void face_drain(FaceServer &server);

// Counts since the start, for diagnostics.
struct FaceCounts {
  uint64_t accepted;   // connections accepted
  uint64_t refused;    // connections from outside the allowed networks
  uint64_t full;       // connections closed at once: every place taken
  uint64_t evicted;    // silent connections closed to make room for a newcomer
  uint64_t incomplete; // connections closed: a request not whole within 7 s
  uint64_t connected;  // clients connected now
  uint64_t by_status[kFaceStatuses];  // answers, by the status they are counted as
};
FaceCounts face_counts(const FaceServer &server);
