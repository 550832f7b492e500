// status: the snapshot and its three renderings.
//
// Everything is written into a TextOut, a fixed buffer that streams to the
// socket when it fills: a full table of 247 units renders to a few hundred
// KiB, and the gateway's whole resident size is about two MiB.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "status.h"

// ---- Snapshot --------------------------------------------------------------

void status_snapshot_reset(StatusSnapshot &s) {
  memset(static_cast<void *>(&s), 0, offsetof(StatusSnapshot, units));
}

int listed_units(const StatusSnapshot &s) {
  return s.unit_count < kStatusUnits ? s.unit_count : kStatusUnits;
}

int listed_reads(const StatusSnapshot &s) {
  return s.read_count < kStatusReads ? s.read_count : kStatusReads;
}

int64_t timeout_to_catch_us(int64_t answer_us) {
  constexpr int64_t kStepUs = 50000;
  const int64_t wanted = answer_us + (answer_us + 1) / 2;
  return (wanted + kStepUs - 1) / kStepUs * kStepUs;
}

const char *unit_state(const UnitStatus &u) {
  switch (u.last_outcome) {
    case kOutcomeValid: return "answering";
    case kOutcomeNoAnswer: return "silent";
    default: return "errors";
  }
}

// ---- Text buffer -----------------------------------------------------------

namespace {

// The longest piece a single putf writes: a metric line with its labels.
constexpr size_t kMaxPieceBytes = 512;

}  // namespace

bool TextOut::flush() {
  if (failed_) return false;
  if (len_ == 0) return true;
  if (sink_ == nullptr || !sink_(context_, buf_, len_)) {
    failed_ = true;
    return false;
  }
  len_ = 0;
  return true;
}

bool TextOut::make_room(size_t length) {
  if (failed_) return false;
  if (cap_ - len_ >= length) return true;
  if (sink_ == nullptr || !flush() || cap_ < length) {
    failed_ = true;
    return false;
  }
  return true;
}

void TextOut::put(const char *text, size_t length) {
  while (length > 0 && !failed_) {
    size_t room = cap_ - len_;
    if (room == 0 && !make_room(1)) return;
    room = cap_ - len_;
    size_t n = length < room ? length : room;
    memcpy(buf_ + len_, text, n);
    len_ += n;
    text += n;
    length -= n;
  }
}

void TextOut::put(const char *text) { put(text, strlen(text)); }

void TextOut::put_uint(uint64_t n) {
  char digits[20];
  size_t at = sizeof digits;
  do {
    digits[--at] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  put(digits + at, sizeof digits - at);
}

void TextOut::putf(const char *format, ...) {
  if (!make_room(kMaxPieceBytes < cap_ ? kMaxPieceBytes : cap_)) return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buf_ + len_, cap_ - len_, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= cap_ - len_) {
    failed_ = true;
    return;
  }
  len_ += static_cast<size_t>(n);
}

// ---- Shared formatting -----------------------------------------------------

namespace {

const char *const kOutcomeNames[kOutcomeCount] = {"valid", "no_answer", "bad_crc", "mismatch"};
const char *const kProtocolNames[kProtocolCount] = {"native", "modbus_tcp", "rtu_over_tcp"};

// The Modbus faces answer "ok" or an exception code, the native face a
// status byte.
bool modbus_face(int protocol) { return protocol == kProtocolModbusTcp || protocol == kProtocolRtuOverTcp; }

// Only the Modbus faces close a newcomer when every place is taken; the
// native listener leaves it waiting in the listen backlog until a place
// frees, so a count of its turned-away connections would always read 0.
bool turns_away_when_full(int protocol) { return modbus_face(protocol); }

const char *outcome_name(uint8_t outcome) {
  return outcome < kOutcomeCount ? kOutcomeNames[outcome] : "none";
}

const char *mode_name(uint8_t mode) {
  switch (mode) {
    case 0: return "idle";
    case 1: return "repeat";
    case 2: return "until_answered";
    default: return "reload";
  }
}

// Microseconds as decimal seconds, exact and without trailing zeros
// ("0.0005", "1", "12.25"): histogram bounds must read the same every scrape.
void put_seconds(TextOut &o, uint64_t us) {
  o.put_uint(us / 1000000u);
  uint32_t frac = static_cast<uint32_t>(us % 1000000u);
  if (frac == 0) return;
  char digits[7] = {'.'};
  for (int i = 6; i >= 1; --i, frac /= 10) digits[i] = static_cast<char>('0' + frac % 10);
  size_t length = sizeof digits;
  while (digits[length - 1] == '0') --length;
  o.put(digits, length);
}

// A fixed char field that need not end in NUL.
size_t field_length(const char *field, size_t size) { return strnlen(field, size); }

// A label value: backslash, double quote and line feed are escaped.
void put_label_value(TextOut &o, const char *text, size_t size) {
  size_t n = field_length(text, size);
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '\\' || c == '"') {
      char pair[2] = {'\\', c};
      o.put(pair, 2);
    } else if (c == '\n') {
      o.put("\\n", 2);
    } else {
      o.put(&c, 1);
    }
  }
}

// A JSON string. '<' is escaped too, so the document can sit inside the
// page's <script> element.
void put_json_string(TextOut &o, const char *text, size_t size) {
  size_t n = field_length(text, size);
  o.put("\"", 1);
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      char pair[2] = {'\\', static_cast<char>(c)};
      o.put(pair, 2);
    } else if (c < 0x20 || c == '<') {
      o.putf("\\u%04x", c);
    } else {
      o.put(reinterpret_cast<const char *>(&c), 1);
    }
  }
  o.put("\"", 1);
}

// The label text of a request status: native statuses and Modbus exception
// codes as "0x0B"; a Modbus face's request answered normally is "ok".
void put_status_label(TextOut &o, int protocol, int code) {
  if (modbus_face(protocol) && code == 0)
    o.put("ok");
  else
    o.putf("0x%02X", code);
}

}  // namespace

// ---- Prometheus text -------------------------------------------------------

namespace {

void family(TextOut &o, const char *name, const char *type, const char *help) {
  o.putf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void metrics_exchanges(const StatusSnapshot &s, TextOut &o) {
  family(o, "velkord_exchanges_total", "counter", "Exchanges on the line, by unit and outcome.");
  for (int i = 0; i < listed_units(s); ++i)
    for (int k = 0; k < kOutcomeCount; ++k)
      o.putf("velkord_exchanges_total{unit=\"%u\",outcome=\"%s\"} %" PRIu64 "\n", s.units[i].unit,
             kOutcomeNames[k], s.units[i].exchanges[k]);
}

void metrics_histogram(const UnitStatus &u, TextOut &o) {
  uint64_t cumulative = 0;
  for (int b = 0; b < kResponseBuckets; ++b) {
    cumulative += u.response.buckets[b];
    o.putf("velkord_response_seconds_bucket{unit=\"%u\",le=\"", u.unit);
    put_seconds(o, kResponseBucketUs[b]);
    o.putf("\"} %" PRIu64 "\n", cumulative);
  }
  o.putf("velkord_response_seconds_bucket{unit=\"%u\",le=\"+Inf\"} %" PRIu64 "\n", u.unit,
         u.response.count);
  o.putf("velkord_response_seconds_sum{unit=\"%u\"} ", u.unit);
  put_seconds(o, u.response.sum_us);
  o.putf("\nvelkord_response_seconds_count{unit=\"%u\"} %" PRIu64 "\n", u.unit, u.response.count);
}

void metrics_late(const StatusSnapshot &s, TextOut &o) {
  family(o, "velkord_late_replies_total", "counter",
         "Answers that came after their exchange's wait had closed: the time-out is too short.");
  for (int i = 0; i < listed_units(s); ++i)
    o.putf("velkord_late_replies_total{unit=\"%u\"} %" PRIu64 "\n", s.units[i].unit, s.units[i].late_replies);
}

void metrics_offline(const StatusSnapshot &s, TextOut &o) {
  family(o, "velkord_unit_offline", "gauge",
         "1 while the unit is set aside for not answering (tried only now and then), else 0.");
  for (int i = 0; i < listed_units(s); ++i)
    o.putf("velkord_unit_offline{unit=\"%u\"} %d\n", s.units[i].unit, s.units[i].offline ? 1 : 0);
  family(o, "velkord_unit_offline_total", "counter", "Times the unit was set aside for not answering.");
  for (int i = 0; i < listed_units(s); ++i)
    o.putf("velkord_unit_offline_total{unit=\"%u\"} %" PRIu64 "\n", s.units[i].unit, s.units[i].offline_total);
}

void metrics_units(const StatusSnapshot &s, TextOut &o) {
  metrics_exchanges(s, o);
  metrics_late(s, o);
  metrics_offline(s, o);
  family(o, "velkord_response_seconds", "histogram",
         "Time from the end of a request on the line to the first byte of the reply.");
  for (int i = 0; i < listed_units(s); ++i) metrics_histogram(s.units[i], o);
  family(o, "velkord_last_valid_answer_age_seconds", "gauge",
         "Time since the unit's last valid answer.");
  for (int i = 0; i < listed_units(s); ++i) {
    if (s.units[i].last_valid_age_us < 0) continue;
    o.putf("velkord_last_valid_answer_age_seconds{unit=\"%u\"} ", s.units[i].unit);
    put_seconds(o, static_cast<uint64_t>(s.units[i].last_valid_age_us));
    o.put("\n", 1);
  }
}

void metrics_line(const StatusSnapshot &s, TextOut &o) {
  family(o, "velkord_active_slots", "gauge", "Exchange slots the worker serves.");
  o.putf("velkord_active_slots %" PRIu32 "\n", s.active_slots);
  family(o, "velkord_link_up", "gauge", "1 while the serial link is open, else 0.");
  o.putf("velkord_link_up %d\n", s.link_up ? 1 : 0);
  family(o, "velkord_link_losses_total", "counter", "Times the serial link was lost.");
  o.putf("velkord_link_losses_total %" PRIu64 "\n", s.link_losses);
  family(o, "velkord_line_bytes_total", "counter", "Bytes on the serial line, by direction.");
  o.putf("velkord_line_bytes_total{direction=\"tx\"} %" PRIu64 "\n", s.line_bytes_tx);
  o.putf("velkord_line_bytes_total{direction=\"rx\"} %" PRIu64 "\n", s.line_bytes_rx);
  family(o, "velkord_stale_bytes_dropped_total", "counter",
         "Bytes that arrived outside any exchange and were thrown away.");
  o.putf("velkord_stale_bytes_dropped_total %" PRIu64 "\n", s.stale_bytes_dropped);
}

void metrics_requests(const StatusSnapshot &s, TextOut &o) {
  family(o, "velkord_requests_total", "counter", "Client requests, by protocol and answer status.");
  for (int p = 0; p < kProtocolCount; ++p)
    for (int code = 0; code < kStatusCodes; ++code) {
      if (s.protocols[p].requests[code] == 0) continue;
      o.putf("velkord_requests_total{protocol=\"%s\",status=\"", kProtocolNames[p]);
      put_status_label(o, p, code);
      o.putf("\"} %" PRIu64 "\n", s.protocols[p].requests[code]);
    }
  for (int p = 0; p < kProtocolCount; ++p)
    if (s.protocols[p].write_refused != 0)
      o.putf("velkord_requests_total{protocol=\"%s\",status=\"write_refused\"} %" PRIu64 "\n", kProtocolNames[p],
             s.protocols[p].write_refused);
}

void metrics_clients(const StatusSnapshot &s, TextOut &o) {
  family(o, "velkord_clients_connected", "gauge", "Clients connected now, by protocol.");
  for (int p = 0; p < kProtocolCount; ++p)
    o.putf("velkord_clients_connected{protocol=\"%s\"} %" PRIu32 "\n", kProtocolNames[p],
           s.protocols[p].connected);
  family(o, "velkord_connections_total", "counter", "Client connections, by protocol and result.");
  for (int p = 0; p < kProtocolCount; ++p) {
    o.putf("velkord_connections_total{protocol=\"%s\",result=\"accepted\"} %" PRIu64 "\n",
           kProtocolNames[p], s.protocols[p].accepted);
    o.putf("velkord_connections_total{protocol=\"%s\",result=\"refused\"} %" PRIu64 "\n",
           kProtocolNames[p], s.protocols[p].refused);
    if (!turns_away_when_full(p)) continue;
    const struct {
      const char *name;
      uint64_t count;
    } results[] = {{"full", s.protocols[p].full},
                   {"evicted", s.protocols[p].evicted},
                   {"incomplete", s.protocols[p].incomplete}};
    for (const auto &r : results)
      o.putf("velkord_connections_total{protocol=\"%s\",result=\"%s\"} %" PRIu64 "\n", kProtocolNames[p], r.name,
             r.count);
  }
  metrics_requests(s, o);
}

}  // namespace

void render_metrics(const StatusSnapshot &s, TextOut &o) {
  metrics_units(s, o);
  metrics_line(s, o);
  metrics_clients(s, o);
  family(o, "velkord_build_info", "gauge", "The gateway's version; always 1.");
  o.put("velkord_build_info{version=\"");
  put_label_value(o, s.version, sizeof s.version);
  o.put("\"} 1\n");
  family(o, "velkord_start_time_seconds", "gauge", "When the gateway started, in Unix time.");
  o.put("velkord_start_time_seconds ");
  put_seconds(o, s.start_unix_us > 0 ? static_cast<uint64_t>(s.start_unix_us) : 0);
  o.put("\n", 1);
}

// ---- JSON ------------------------------------------------------------------

namespace {

// An age or a time left in seconds, or null when there is none.
void put_json_age(TextOut &o, int64_t us) {
  if (us < 0)
    o.put("null");
  else
    put_seconds(o, static_cast<uint64_t>(us));
}

void json_counts(const uint64_t *counts, TextOut &o) {
  o.put("{");
  for (int k = 0; k < kOutcomeCount; ++k)
    o.putf("%s\"%s\":%" PRIu64, k == 0 ? "" : ",", kOutcomeNames[k], counts[k]);
  o.put("}");
}

void json_slot(const SlotStatus &t, StatusDetail detail, TextOut &o) {
  o.putf("{\"slot\":%u,\"function\":%u,\"address\":%u,", t.slot, t.function, t.address);
  if (t.has_quantity) o.putf("\"quantity\":%u,", t.quantity);
  o.putf("\"mode\":\"%s\",", mode_name(t.mode));
  if (detail != StatusDetail::kPage) o.putf("\"mode_value\":%u,", t.mode);
  o.put("\"lifetime_left_seconds\":");
  put_seconds(o, t.lifetime_left_us);
  o.putf(",\"last_outcome\":\"%s\",\"answer_age_seconds\":", outcome_name(t.last_outcome));
  put_json_age(o, t.answer_age_us);
  if (detail != StatusDetail::kPage) {
    o.put(",\"exchanges\":");
    json_counts(t.exchanges, o);
  }
  o.put("}");
}

// Polls a second from the time between two; null before the second poll.
void put_json_rate(TextOut &o, int64_t interval_us) {
  if (interval_us <= 0)
    o.put("null");
  else
    o.putf("%.3g", 1e6 / static_cast<double>(interval_us));
}

void json_read(const ReadStatus &r, StatusDetail detail, TextOut &o) {
  o.putf("{\"function\":%u,\"address\":%u,\"quantity\":%u,\"polls_per_second\":", r.function, r.address,
         r.quantity);
  put_json_rate(o, r.poll_interval_us);
  o.putf(",\"last_poll_valid\":%s,\"answer_age_seconds\":", r.last_valid ? "true" : "false");
  put_json_age(o, r.answer_age_us);
  if (detail != StatusDetail::kPage) {
    o.put(",\"asked_age_seconds\":");
    put_json_age(o, r.asked_age_us);
  }
  o.put("}");
}

// The reads of `unit`, from `*next` on in the snapshot's order, which is the
// units' order too; `*next` is left at the first read of a later unit.
void json_unit_reads(const StatusSnapshot &s, uint8_t unit, int *next, StatusDetail detail, TextOut &o) {
  o.put(",\"reads\":[");
  bool first = true;
  for (; *next < listed_reads(s) && s.reads[*next].unit <= unit; ++*next) {
    if (s.reads[*next].unit < unit) continue;  // of a unit not listed yet
    if (!first) o.put(",");
    json_read(s.reads[*next], detail, o);
    first = false;
  }
  o.put("]");
}

void json_response(const ResponseHistogram &h, StatusDetail detail, TextOut &o) {
  o.putf("{\"count\":%" PRIu64 ",\"sum\":", h.count);
  put_seconds(o, h.sum_us);
  if (detail == StatusDetail::kPage) {
    o.put("}");
    return;
  }
  o.put(",\"buckets\":[");
  for (int b = 0; b <= kResponseBuckets; ++b) {
    o.put(b == 0 ? "{\"le\":" : ",{\"le\":");
    if (b < kResponseBuckets)
      put_seconds(o, kResponseBucketUs[b]);
    else
      o.put("null");
    o.putf(",\"count\":%" PRIu64 "}", h.buckets[b]);
  }
  o.put("]}");
}

// The seconds a ring holds, oldest first: one series per outcome and one of
// medians, all of the same length and ending at the newest sample.
void json_ring(const StatusSamples &r, int ring, TextOut &o) {
  const uint64_t from = oldest_sample(r, ring);
  for (int k = 0; k <= kOutcomeCount; ++k) {
    o.put(k == 0 ? "{\"" : ",\"");
    o.put(k < kOutcomeCount ? kOutcomeNames[k] : "response_median_seconds");
    o.put("\":[");
    for (uint64_t n = from; n <= r.newest; ++n) {
      if (n > from) o.put(",", 1);
      const SecondSample x = read_sample(r, ring, n);
      if (k < kOutcomeCount)
        o.put_uint(x.exchanges[k]);
      else
        put_json_age(o, x.median_us);
    }
    o.put("]");
  }
  o.put("}");
}

void json_unit_samples(const StatusSamples *r, uint8_t unit, TextOut &o) {
  if (r == nullptr) return;
  o.put(",\"samples\":");
  const int ring = unit_ring(*r, unit);
  if (ring < 0)
    o.put("null");
  else
    json_ring(*r, ring, o);
}

void json_samples(const StatusSamples &r, TextOut &o) {
  o.put(",\"samples\":{\"interval_seconds\":");
  put_seconds(o, kSampleIntervalUs);
  o.put(",\"newest_time_seconds\":");
  put_json_age(o, r.newest_unix_us);
  o.put(",\"line\":");
  json_ring(r, kLineRing, o);
  o.put("}");
}

// Whether the unit is offline, since when (Unix time, from the snapshot's
// time) and how often it was.
void json_offline(const UnitStatus &u, int64_t taken_unix_us, TextOut &o) {
  o.putf(",\"offline\":%s,\"offline_since_seconds\":", u.offline ? "true" : "false");
  put_json_age(o, u.offline && u.offline_for_us >= 0 ? taken_unix_us - u.offline_for_us : -1);
  o.putf(",\"offline_total\":%" PRIu64, u.offline_total);
}

// A unit with its slots and reads; `next_read` as json_unit_reads takes it.
void json_unit(const StatusSnapshot &s, const UnitStatus &u, int *next_read, StatusDetail detail, TextOut &o) {
  o.putf("{\"unit\":%u,\"state\":\"%s\",", u.unit, unit_state(u));
  if (detail != StatusDetail::kPage) o.putf("\"last_outcome\":\"%s\",", outcome_name(u.last_outcome));
  o.put("\"exchanges\":");
  json_counts(u.exchanges, o);
  o.put(",\"response_seconds\":");
  json_response(u.response, detail, o);
  o.put(",\"last_valid_answer_age_seconds\":");
  put_json_age(o, u.last_valid_age_us);
  o.putf(",\"late_replies\":%" PRIu64 ",\"late_answer_seconds\":", u.late_replies);
  put_json_age(o, u.late_answer_us);
  o.put(",\"timeout_to_catch_seconds\":");
  put_json_age(o, u.late_answer_us < 0 ? -1 : timeout_to_catch_us(u.late_answer_us));
  json_offline(u, s.taken_unix_us, o);
  o.put(",\"slots\":[");
  int slots = u.slot_count < kStatusSlots ? u.slot_count : kStatusSlots;
  for (int k = 0; k < slots; ++k) {
    if (k > 0) o.put(",");
    json_slot(u.slots[k], detail, o);
  }
  o.put("]");
  json_unit_reads(s, u.unit, next_read, detail, o);
  if (detail == StatusDetail::kFull) json_unit_samples(s.samples, u.unit, o);
  o.put("}");
}

void json_line(const StatusSnapshot &s, TextOut &o) {
  o.put("\"line\":{\"device\":");
  put_json_string(o, s.device, sizeof s.device);
  o.putf(",\"port\":%" PRId32 ",\"baud\":%" PRId32 ",\"data_bits\":%" PRId32
         ",\"stop_bits\":%" PRId32 ",\"parity\":\"none\",\"link_up\":%s,\"link_losses\":%" PRIu64
         ",\"bytes_tx\":%" PRIu64 ",\"bytes_rx\":%" PRIu64 ",\"stale_bytes_dropped\":%" PRIu64
         ",\"active_slots\":%" PRIu32 "}",
         s.serial_port, s.baud, s.data_bits, s.stop_bits, s.link_up ? "true" : "false",
         s.link_losses, s.line_bytes_tx, s.line_bytes_rx, s.stale_bytes_dropped, s.active_slots);
}

void json_protocol(const StatusSnapshot &s, int p, StatusDetail detail, TextOut &o) {
  const ProtocolStatus &c = s.protocols[p];
  o.putf("\"%s\":{\"connected\":%" PRIu32 ",\"accepted\":%" PRIu64 ",\"refused\":%" PRIu64,
         kProtocolNames[p], c.connected, c.accepted, c.refused);
  if (turns_away_when_full(p))
    o.putf(",\"full\":%" PRIu64 ",\"evicted\":%" PRIu64 ",\"incomplete\":%" PRIu64, c.full, c.evicted,
           c.incomplete);
  if (detail == StatusDetail::kPage) {
    o.put("}");
    return;
  }
  o.put(",\"requests\":{");
  bool first = true;
  for (int code = 0; code < kStatusCodes; ++code) {
    if (c.requests[code] == 0) continue;
    o.put(first ? "\"" : ",\"");
    put_status_label(o, p, code);
    o.putf("\":%" PRIu64, c.requests[code]);
    first = false;
  }
  if (c.write_refused != 0) o.putf("%s\"write_refused\":%" PRIu64, first ? "" : ",", c.write_refused);
  o.put("}}");
}

// The networks that may change a unit, or null when every client may.
void json_write_allow(const AllowList &list, TextOut &o) {
  o.put(",\"write_allow\":");
  if (list.count == 0) {
    o.put("null");
    return;
  }
  const int count = list.count < kMaxAllowedNetworks ? list.count : kMaxAllowedNetworks;
  for (int i = 0; i < count; ++i) {
    char text[kNetworkTextSize];
    FormatAllowedNetwork(list.nets[i], text, sizeof text);
    o.put(i == 0 ? "[" : ",");
    put_json_string(o, text, sizeof text);
  }
  o.put("]");
}

void json_clients(const StatusSnapshot &s, StatusDetail detail, TextOut &o) {
  o.put("\"clients\":{");
  for (int p = 0; p < kProtocolCount; ++p) {
    if (p > 0) o.put(",");
    json_protocol(s, p, detail, o);
  }
  o.put("},\"peers\":[");
  int peers = s.peer_count < kStatusPeers ? s.peer_count : kStatusPeers;
  for (int i = 0; i < peers; ++i) {
    const PeerStatus &peer = s.peers[i];
    o.putf("%s{\"protocol\":\"%s\",\"address\":", i == 0 ? "" : ",",
           kProtocolNames[peer.protocol < kProtocolCount ? peer.protocol : 0]);
    put_json_string(o, peer.address, sizeof peer.address);
    o.put(",\"connected_seconds\":");
    put_json_age(o, peer.connected_us);
    o.put("}");
  }
  o.put("]");
  json_write_allow(s.write_allow, o);
}

}  // namespace

void render_status_json(const StatusSnapshot &s, TextOut &o) { render_status_fields(s, o, StatusDetail::kFull); }

void render_status_without_samples(const StatusSnapshot &s, TextOut &o) {
  render_status_fields(s, o, StatusDetail::kNoSamples);
}

void render_status_fields(const StatusSnapshot &s, TextOut &o, StatusDetail detail) {
  o.put("{\"version\":");
  put_json_string(o, s.version, sizeof s.version);
  if (detail != StatusDetail::kPage) {
    o.put(",\"start_time_seconds\":");
    put_json_age(o, s.start_unix_us);
  }
  o.put(",\"uptime_seconds\":");
  put_json_age(o, s.start_unix_us > 0 && s.taken_unix_us >= s.start_unix_us
                      ? s.taken_unix_us - s.start_unix_us
                      : -1);
  o.put(",");
  json_line(s, o);
  o.put(",");
  json_clients(s, detail, o);
  if (detail == StatusDetail::kFull && s.samples != nullptr) json_samples(*s.samples, o);
  o.put(",\"units\":[");
  int next_read = 0;
  for (int i = 0; i < listed_units(s); ++i) {
    if (i > 0) o.put(",");
    json_unit(s, s.units[i], &next_read, detail, o);
  }
  o.put("]}\n");
}

// ---- Summary lines ---------------------------------------------------------

void render_unit_summary(const StatusSnapshot &s, TextOut &o) {
  for (int i = 0; i < listed_units(s); ++i) {
    const UnitStatus &u = s.units[i];
    o.putf("unit %u %s valid=%" PRIu64 " no_answer=%" PRIu64 " bad_crc=%" PRIu64 " mismatch=%" PRIu64
           " response_ms=",
           u.unit, unit_state(u), u.exchanges[kOutcomeValid], u.exchanges[kOutcomeNoAnswer],
           u.exchanges[kOutcomeBadCrc], u.exchanges[kOutcomeMismatch]);
    if (u.response.count > 0)
      o.putf("%.3f", static_cast<double>(u.response.sum_us) / static_cast<double>(u.response.count) / 1000.0);
    else
      o.put("-");
    o.put(" answer_age_s=");
    if (u.last_valid_age_us >= 0)
      o.putf("%.3f", static_cast<double>(u.last_valid_age_us) / 1e6);
    else
      o.put("-");
    o.put("\r\n");
  }
}
