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
int mbap_answer(FacePool &pool, const uint8_t *adu, int n, uint8_t *out, uint8_t *status) {
  MbapHeader h = mbap_read_header(adu);
  const uint8_t *pdu = adu + kMbapHeaderSize;
  int pdu_length = n - kMbapHeaderSize;
  uint8_t code = check_request(h.unit, pdu, pdu_length);
  if (code == 0) {
    uint8_t frame[kFaceFrameSize];
    uint8_t answer[kFaceFrameSize];
    int length = rtu_request_frame(h.unit, pdu, pdu_length, frame);
    int got = pool_ask(pool, frame, length, answer);
    if (got > 0) {
      *status = answer_status(answer);
      return mbap_response(h, answer, got, out);
    }
    code = kExTargetNoResponse;
  }
  *status = code;
  return mbap_exception(h, pdu[0], code, out);
}

constexpr FaceCodec kMbapCodec = {mbap_frame, mbap_answer};

}  // namespace

const char *modbustcp_bind(ModbusTcpFace &face, const ModbusTcpSettings &settings) {
  FaceServer &server = face.server;
  if (!server.running && server.listen_fd < 0) {
    server.codec = &kMbapCodec;
    server.pool = &face.pool;
    server.allow = settings.allow;
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

ModbusTcpCounters modbustcp_counters(const ModbusTcpFace &face) {
  const FaceCounters &f = face.server.counters;
  ModbusTcpCounters c{};
  c.accepted = f.accepted.load();
  c.refused = f.refused.load();
  c.full = f.full.load();
  c.evicted = f.evicted.load();
  c.incomplete = f.incomplete.load();
  c.connected = f.connected.load();
  for (int i = 0; i <= kFaceStatusOther; ++i) c.by_status[i] = f.by_status[i].load();
  return c;
}
