// modbustcp: the MBAP codec wired to a face server and the pool.
#include "modbustcp.h"

#include <cstdio>

#include "frame.h"

namespace {

static_assert(kMbapMaxAdu <= kFaceMaxMessage);
static_assert(kMbapMaxPdu == kMaxPdu);

int mbap_frame(const uint8_t *in, int n, int *drop) {
  *drop = 0;
  const int length = mbap_request_length(in, n);
  return length == kMbapBroken ? kFaceStreamBroken : length;
}

// The response to one whole request `adu` of n bytes; its length.
int mbap_answer(FacePool &pool, const uint8_t *adu, int n, bool may_write, uint8_t *out, int *status) {
  const MbapHeader h = mbap_read_header(adu);
  const uint8_t *pdu = adu + kMbapHeaderSize;
  uint8_t answer[kFaceFrameSize];
  const FaceAnswer a = pool_answer(pool, h.unit, pdu, n - kMbapHeaderSize, may_write, answer);
  *status = face_status(a, answer);
  return a.length > 0 ? mbap_response(h, answer, a.length, out) : mbap_exception(h, pdu[0], a.code, out);
}

constexpr FaceCodec kMbapCodec = {mbap_frame, mbap_answer};

}  // namespace

const char *modbustcp_bind(ModbusTcpFace &face, const ModbusTcpSettings &settings) {
  FaceServer &server = face.server;
  if (!server.running && server.listen_fd < 0) {
    server.codec = &kMbapCodec;
    server.pool = &face.pool;
    server.allow = settings.allow;
    server.write_allow = settings.write_allow;
  }
  if (const char *failed = face_bind(server, settings.endpoint)) return failed;
  if (const char *reason = pool_start(face.pool, settings)) {
    face_drain(server);
    snprintf(server.error, sizeof server.error, "cannot listen there: %s", reason);
    return server.error;
  }
  return nullptr;
}

const char *modbustcp_serve(ModbusTcpFace &face, SerialLine &line) {
  pool_attach(face.pool, line);
  const char *failed = face_serve(face.server);
  if (failed != nullptr) pool_stop(face.pool);
  return failed;
}

const char *modbustcp_start(ModbusTcpFace &face, const ModbusTcpSettings &settings, SerialLine &line) {
  if (const char *failed = modbustcp_bind(face, settings)) return failed;
  return modbustcp_serve(face, line);
}

NetEndpoint modbustcp_endpoint(const ModbusTcpFace &face) { return face.server.bound; }

void modbustcp_stop(ModbusTcpFace &face) {
  face_close(face.server);
  // Clients waiting for an answer give up at once, so their threads end.
  pool_stop(face.pool);
  face_drain(face.server);
}

ModbusTcpCounters modbustcp_counters(const ModbusTcpFace &face) { return face_counts(face.server); }
