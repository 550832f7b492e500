#include "snapshot.h"

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

void copy_slot(const ExchangeSlot &from, uint8_t index, int64_t now_us, SlotStatus &to) {
  const SlotCounts &c = from.counts;
  to.slot = index;
  to.function = from.txFrame[1];
  to.mode = from.mode;
  bool exchanged = c.valid != 0 || c.no_answer != 0 || c.bad_crc != 0 || c.mismatch != 0;
  to.last_outcome = exchanged ? c.last_outcome : kOutcomeNone;
  to.has_quantity = MRTU_HasQuantity(to.function);
  to.address = static_cast<uint16_t>(from.txFrame[2] << 8 | from.txFrame[3]);
  to.quantity = to.has_quantity ? static_cast<uint16_t>(from.txFrame[4] << 8 | from.txFrame[5]) : 0;
  to.lifetime_left_us = from.lifetime;
  to.answer_age_us = age_us(c.last_valid_us, now_us);
  to.exchanges[kOutcomeValid] = c.valid;
  to.exchanges[kOutcomeNoAnswer] = c.no_answer;
  to.exchanges[kOutcomeBadCrc] = c.bad_crc;
  to.exchanges[kOutcomeMismatch] = c.mismatch;
}

// One record: its active slots into the snapshot, and the unit itself when
// it was exchanged at least once. Returns the stale bytes of its slots.
uint64_t copy_record(const SerialLine &line, int index, uint8_t seen, int64_t now_us, StatusSnapshot &s) {
  const DeviceRecord &rec = line.table[index];
  UnitStatus *u = (seen & kUnitExchanged) != 0 ? &s.units[s.unit_count++] : nullptr;
  if (u != nullptr) u->slot_count = 0;
  uint64_t stale = 0;
  for (int k = 0; k < kSlotCount; ++k) {
    const ExchangeSlot &slot = rec.slots[k];
    stale += slot.counts.stale_bytes;
    if (slot.mode == kModeIdle) continue;
    ++s.active_slots;
    if (u != nullptr) copy_slot(slot, static_cast<uint8_t>(k), now_us, u->slots[u->slot_count++]);
  }
  if (u == nullptr) return stale;
  const UnitCounters &c = line.counters.units[index];
  u->unit = static_cast<uint8_t>(index + 1);
  u->last_outcome = c.last_outcome;
  memcpy(u->exchanges, c.exchanges, sizeof u->exchanges);
  u->response = c.response;
  u->last_valid_age_us = age_us(c.last_valid_us, now_us);
  u->late_replies = c.late_replies;
  u->late_answer_us = c.late_answer_us > 0 ? c.late_answer_us : -1;
  const UnitReach &r = line.reach.units[index];
  u->offline = r.offline;
  u->offline_for_us = r.offline ? age_us(r.offline_since_us, now_us) : -1;
  u->offline_total = r.went_offline;
  return stale;
}

// The line's part: settings, link, bytes, the units exchanged at least once
// and the active slots, copied under SerialMutex; ages are counted to
// `now_us` (monotonic).
void copy_line_status(SerialLine &line, StatusSnapshot &s, int64_t now_us) {
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
    s.stale_bytes_dropped += copy_record(line, i, c.unit_seen[i], now_us, s);
  }
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
  for (int j = 0; j < kMaxClients && s.peer_count < kStatusPeers; ++j) {
    if (!native.busy[j]) continue;
    PeerStatus &peer = s.peers[s.peer_count++];
    peer.protocol = kProtocolNative;
    memcpy(peer.address, native.counters.peer[j], sizeof peer.address);
    peer.connected_us = now_us - native.counters.since_us[j];
  }
}

// The Modbus TCP face's connections and answers; its counters are atomics
// of its own, so no lock is taken. It counts the rare exception codes above
// 15 together; they show under 0x80.
void copy_modbus_tcp_status(const ModbusTcpFace &face, ProtocolStatus &p) {
  const ModbusTcpCounters c = modbustcp_counters(face);
  p.connected = static_cast<uint32_t>(c.connected);
  p.accepted = c.accepted;
  p.refused = c.refused;
  p.full = c.full;
  p.evicted = c.evicted;
  p.incomplete = c.incomplete;
  for (int code = 0; code < kFaceStatusOther; ++code) p.requests[code] = c.by_status[code];
  p.requests[0x80] = c.by_status[kFaceStatusOther];
}

}  // namespace

void fill_status(StatusSnapshot &s, void *context) {
  const GatewayFacts &facts = *static_cast<const GatewayFacts *>(context);
  snprintf(s.version, sizeof s.version, "%s", facts.version);
  s.start_unix_us = facts.start_unix_us;
  if (!TQ708sDeviceName(ModbusRTU.serialport, s.device, sizeof s.device)) s.device[0] = '\0';
  const int64_t now_us = monotonic_us();
  copy_line_status(SerialProcessLine, s, now_us);
  copy_native_status(*facts.native, s, now_us);
  copy_modbus_tcp_status(*facts.modbus_tcp, s.protocols[kProtocolModbusTcp]);
}
