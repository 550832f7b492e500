#include "snapshot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "modbusRTU.h"
#include "sleep_us.h"
#include "tq708port.h"

namespace {

// The native server's counts go into the snapshot as they are.
static_assert(sizeof(ProtocolStatus::requests) == sizeof(PelnetCounters::requests));
static_assert(sizeof(PeerStatus::address) == kPeerTextSize);

int64_t age_us(int64_t stamp_us, int64_t now_us) {
  if (stamp_us == 0) return -1;
  return now_us > stamp_us ? now_us - stamp_us : 0;
}

// ---- The line: copied under its lock, worked out after -----------------------

// Every record the table holds, with all its slots, has its place.
static_assert(kStatusUnits >= kUnitCount && kStatusSlots >= kSlotCount);

// Only what the slot holds; what it means is worked out by finish_slot once
// the lock is let go.
void copy_slot(const ExchangeSlot &from, uint8_t index, SlotStatus &to) {
  const SlotCounts &c = from.counts;
  to.slot = index;
  to.mode = from.mode;
  to.last_outcome = c.last_outcome;
  to.lifetime_left_us = from.lifetime;
  memcpy(to.request, from.txFrame, sizeof to.request);
  to.last_valid_us = c.last_valid_us;
  to.exchanges[kOutcomeValid] = c.valid;
  to.exchanges[kOutcomeNoAnswer] = c.no_answer;
  to.exchanges[kOutcomeBadCrc] = c.bad_crc;
  to.exchanges[kOutcomeMismatch] = c.mismatch;
}

// One record: its active slots into the snapshot, and the unit itself when
// it was exchanged at least once. Returns the stale bytes of its slots.
uint64_t copy_record(const SerialLine &line, int index, uint8_t seen, StatusSnapshot &s) {
  const DeviceRecord &rec = line.table[index];
  UnitStatus *u = (seen & kUnitExchanged) != 0 ? &s.units[s.unit_count++] : nullptr;
  if (u != nullptr) u->slot_count = 0;
  uint64_t stale = 0;
  for (int k = 0; k < kSlotCount; ++k) {
    const ExchangeSlot &slot = rec.slots[k];
    stale += slot.counts.stale_bytes;
    if (slot.mode == kModeIdle) continue;
    ++s.active_slots;
    if (u != nullptr) copy_slot(slot, static_cast<uint8_t>(k), u->slots[u->slot_count++]);
  }
  if (u == nullptr) return stale;
  const UnitCounters &c = line.counters.units[index];
  u->unit = static_cast<uint8_t>(index + 1);
  u->last_outcome = c.last_outcome;
  memcpy(u->exchanges, c.exchanges, sizeof u->exchanges);
  u->response = c.response;
  u->last_valid_us = c.last_valid_us;
  u->late_replies = c.late_replies;
  u->late_answer_us = c.late_answer_us > 0 ? c.late_answer_us : -1;
  const UnitReach &r = line.reach.units[index];
  u->offline = r.offline;
  u->offline_since_us = r.offline ? r.offline_since_us : -1;
  u->offline_total = r.went_offline;
  return stale;
}

// The line's part: settings, link, bytes, the units exchanged at least once
// and the active slots, copied under SerialMutex and nothing else done
// there: the worker waits for the lock after each of its pauses.
void copy_line_status(SerialLine &line, StatusSnapshot &s) {
  const ModbusRTUSettings &rtu = line.settings;
  s.serial_port = rtu.serialport;
  s.baud = rtu.baudrate;
  s.data_bits = rtu.databits;
  s.stop_bits = rtu.stopbits;
  s.link_up = line.link_up.load(std::memory_order_relaxed);
  s.unit_count = 0;
  // Only records a request has reached are looked at: a copy of the whole
  // table would hold the lock for as long as an exchange at a fast rate.
  Locked table(line.mutex);
  const LineCounters &c = line.counters;
  s.link_losses = c.link_losses;
  s.line_bytes_tx = c.bytes_tx;
  s.line_bytes_rx = c.bytes_rx;
  for (int i = 0; i < kUnitCount; ++i) {
    if (c.unit_seen[i] == 0) continue;
    s.stale_bytes_dropped += copy_record(line, i, c.unit_seen[i], s);
  }
}

// What a slot's copy means: the request it asks, and ages counted to
// `now_us` (monotonic).
void finish_slot(SlotStatus &t, int64_t now_us) {
  t.function = t.request[1];
  t.has_quantity = MRTU_HasQuantity(t.function);
  t.address = static_cast<uint16_t>(t.request[2] << 8 | t.request[3]);
  t.quantity = t.has_quantity ? static_cast<uint16_t>(t.request[4] << 8 | t.request[5]) : 0;
  t.answer_age_us = age_us(t.last_valid_us, now_us);
  const uint64_t *x = t.exchanges;
  if (x[kOutcomeValid] + x[kOutcomeNoAnswer] + x[kOutcomeBadCrc] + x[kOutcomeMismatch] == 0)
    t.last_outcome = kOutcomeNone;
}

void finish_line_status(StatusSnapshot &s, int64_t now_us) {
  for (int i = 0; i < listed_units(s); ++i) {
    UnitStatus &u = s.units[i];
    u.last_valid_age_us = age_us(u.last_valid_us, now_us);
    u.offline_for_us = u.offline_since_us >= 0 ? age_us(u.offline_since_us, now_us) : -1;
    for (int k = 0; k < u.slot_count && k < kStatusSlots; ++k) finish_slot(u.slots[k], now_us);
  }
}

// ---- The Modbus faces' reads ---------------------------------------------------

static_assert(kStatusReads >= kFaceReads, "every read of the pool can be listed");
static_assert(kStatusRequestBytes == kReadKeyLength);

// A read's copy worked out: its request, ages and rate to `now_us`.
ReadStatus read_status(const FaceReadCopy &c, int64_t now_us) {
  ReadStatus r;
  r.unit = c.key[0];
  r.function = c.key[1];
  r.address = static_cast<uint16_t>(c.key[2] << 8 | c.key[3]);
  r.quantity = static_cast<uint16_t>(c.key[4] << 8 | c.key[5]);
  r.last_valid = c.last_valid;
  r.answer_age_us = age_us(c.answer_us, now_us);
  r.asked_age_us = age_us(c.asked_us, now_us);
  r.poll_interval_us = c.poll_gap_us == 0 ? -1 : std::max<int64_t>(c.poll_gap_us, now_us - c.polled_us);
  return r;
}

bool read_before(const ReadStatus &a, const ReadStatus &b) {
  if (a.unit != b.unit) return a.unit < b.unit;
  if (a.function != b.function) return a.function < b.function;
  if (a.address != b.address) return a.address < b.address;
  return a.quantity < b.quantity;
}

// The reads the line polls for the Modbus faces, copied under the pool's
// lock (on the caller's stack, 10 KB), then worked out and put in order.
void copy_face_reads(FacePool &pool, StatusSnapshot &s, int64_t now_us) {
  FaceReadCopy copies[kFaceReads];
  const int n = pool_copy_reads(pool, copies, kFaceReads);
  for (int i = 0; i < n; ++i) s.reads[i] = read_status(copies[i], now_us);
  std::sort(s.reads, s.reads + n, read_before);
  s.read_count = static_cast<uint16_t>(n);
}

// The native clients: counts by status byte, and the connected peers by
// registry index; connection times are counted to `now_us` (monotonic).
void copy_native_status(NativeServer &server, StatusSnapshot &s, int64_t now_us) {
  NativeStatus native;
  native_copy_status(server, native);
  ProtocolStatus &p = s.protocols[kProtocolNative];
  p.connected = native.connected;
  p.accepted = native.counters.accepted;
  p.refused = native.refused;
  memcpy(p.requests, native.counters.requests, sizeof p.requests);
  p.write_refused = native.counters.write_refused;
  for (int j = 0; j < kMaxClients && s.peer_count < kStatusPeers; ++j) {
    if (!native.busy[j]) continue;
    PeerStatus &peer = s.peers[s.peer_count++];
    peer.protocol = kProtocolNative;
    memcpy(peer.address, native.counters.peer[j], sizeof peer.address);
    peer.connected_us = now_us - native.counters.since_us[j];
  }
}

// A Modbus face's connections and answers; its counters are atomics of its
// own, so no lock is taken. It counts the rare exception codes above 15
// together; they show under 0x80.
void copy_face_status(const FaceCounts &c, ProtocolStatus &p) {
  p.connected = static_cast<uint32_t>(c.connected);
  p.accepted = c.accepted;
  p.refused = c.refused;
  p.full = c.full;
  p.evicted = c.evicted;
  p.incomplete = c.incomplete;
  for (int code = 0; code < kFaceStatusOther; ++code) p.requests[code] = c.by_status[code];
  p.requests[0x80] = c.by_status[kFaceStatusOther];
  p.write_refused = c.by_status[kFaceStatusWriteRefused];
}

}  // namespace

void fill_status(StatusSnapshot &s, void *context) {
  const GatewayFacts &facts = *static_cast<const GatewayFacts *>(context);
  snprintf(s.version, sizeof s.version, "%s", facts.version);
  s.start_unix_us = facts.start_unix_us;
  if (!TQ708sDeviceName(ModbusRTU.serialport, s.device, sizeof s.device)) s.device[0] = '\0';
  copy_line_status(SerialProcessLine, s);
  const int64_t now_us = monotonic_us();
  finish_line_status(s, now_us);
  copy_face_reads(*facts.pool, s, now_us);
  copy_native_status(*facts.native, s, now_us);
  copy_face_status(modbustcp_counters(*facts.modbus_tcp), s.protocols[kProtocolModbusTcp]);
  copy_face_status(rtuovertcp_counters(*facts.rtu_over_tcp), s.protocols[kProtocolRtuOverTcp]);
  s.write_allow = *facts.write_allow;
}
