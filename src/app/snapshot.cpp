#include "snapshot.h"

#include <cstdio>
#include <cstring>

#include "modbusRTU.h"
#include "modbustcp.h"
#include "sleep_us.h"
#include "tq708port.h"

namespace {

// The native server's counts go into the snapshot as they are.
static_assert(sizeof(ProtocolStatus::requests) == sizeof(PelnetCounters::requests));
static_assert(sizeof(PeerStatus::address) == kPeerTextSize);

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
void copy_modbus_tcp_status(ProtocolStatus &p) {
  const ModbusTcpCounters c = modbustcp_counters();
  p.connected = static_cast<uint32_t>(c.connected);
  p.accepted = c.accepted;
  p.refused = c.refused;
  p.full = c.full;
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
  MRTU_CopyStatus(s, now_us);
  copy_native_status(*facts.native, s, now_us);
  copy_modbus_tcp_status(s.protocols[kProtocolModbusTcp]);
}
