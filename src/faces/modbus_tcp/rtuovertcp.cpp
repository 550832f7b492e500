// rtuovertcp: the RTU codec wired to a face server and the pool.
#include "rtuovertcp.h"

#include <cstdio>

#include "frame.h"
#include "rtu_codec.h"

namespace {

static_assert(kRtuMaxFrame <= kFaceMaxMessage);
static_assert(kFaceFrameSize + kCrcLength <= kFaceMaxMessage);

// The answer to one whole request `frame` of n bytes, CRC included: the
// unit's own answer, or an exception, as a sealed frame; its length.
int rtu_answer(FacePool &pool, const uint8_t *frame, int n, bool may_write, uint8_t *out, int *status) {
  const uint8_t *pdu = frame + 1;
  uint8_t answer[kFaceFrameSize];
  const FaceAnswer a = pool_answer(pool, frame[0], pdu, n - 1 - kCrcLength, may_write, answer);
  *status = face_status(a, answer);
  return a.length > 0 ? rtu_response(answer, a.length, out) : rtu_exception(frame[0], pdu[0], a.code, out);
}

constexpr FaceCodec kRtuCodec = {rtu_next_request, rtu_answer};

}  // namespace

const char *rtuovertcp_bind(RtuOverTcpFace &face, FacePool &pool, const ModbusTcpSettings &settings) {
  FaceServer &server = face.server;
  if (!server.running && server.listen_fd < 0) {
    server.codec = &kRtuCodec;
    server.pool = &pool;
    server.allow = settings.allow;
    server.write_allow = settings.write_allow;
  }
  if (const char *failed = face_bind(server, settings.endpoint)) return failed;
  if (pool.running) return nullptr;
  if (const char *reason = pool_start(pool, settings)) {
    face_drain(server);
    snprintf(server.error, sizeof server.error, "cannot listen there: %s", reason);
    return server.error;
  }
  return nullptr;
}

const char *rtuovertcp_serve(RtuOverTcpFace &face, SerialLine &line) {
  pool_attach(*face.server.pool, line);
  const char *failed = face_serve(face.server);
  if (failed != nullptr) pool_stop(*face.server.pool);
  return failed;
}

NetEndpoint rtuovertcp_endpoint(const RtuOverTcpFace &face) { return face.server.bound; }

void rtuovertcp_stop(RtuOverTcpFace &face) {
  face_close(face.server);
  // Clients waiting for an answer give up at once, so their threads end.
  if (face.server.pool != nullptr) pool_stop(*face.server.pool);
  face_drain(face.server);
}

FaceCounts rtuovertcp_counters(const RtuOverTcpFace &face) { return face_counts(face.server); }
