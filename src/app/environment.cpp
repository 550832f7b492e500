#include "environment.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decimal.h"
#include "tq708port.h"

namespace {

// Where a reader writes why it refuses a value.
struct Reason {
  char *text;
  size_t size;
};

// Reads one variable's value (set, not empty) into the settings: nullptr, or
// the reason it is refused, written into `why`.
using Reader = const char *(*)(const char *value, VelkordSettings &s, Reason why);

// A reader's refusal: the reason, written and returned.
__attribute__((format(printf, 2, 3))) const char *refuse(Reason why, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(why.text, why.size, format, args);
  va_end(args);
  return why.text;
}

// Serial drivers clamp both RTS delays to 100 ms.
constexpr uint32_t kMaxRtsDelayUs = 100000;
// A reply whose pieces are a second apart is two replies, not a slow one.
constexpr uint32_t kMaxFrameGapUs = 1000000;
constexpr size_t kMaxOptionsLength = 128;
// The error line quotes at most this much of the value.
constexpr int kShownValueLength = 64;

// A count of at most `max`, decimal digits only: false when the text is none.
bool read_count(const char *text, uint32_t max, uint32_t &out) {
  uint64_t value;
  if (parse_decimal(text, max, value) != nullptr) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

// The next comma-separated item of `rest` (cut out in place), or nullptr.
char *next_item(char *&rest) {
  if (rest == nullptr) return nullptr;
  char *item = rest;
  char *comma = strchr(rest, ',');
  if (comma) *comma = '\0';
  rest = comma ? comma + 1 : nullptr;
  return item;
}

// "before=US" or "after=US" into the driver's delay, which it counts in whole
// milliseconds: rounded up, so the line never turns sooner than asked.
const char *read_rts_delay(const char *item, const char *key, uint32_t &ms, bool &seen, Reason why) {
  if (seen) return refuse(why, "%s given twice", key);
  uint32_t us = 0;
  if (!read_count(item + strlen(key), kMaxRtsDelayUs, us))
    return refuse(why, "\"%s\" needs a delay in microseconds from 0 to %u", item, kMaxRtsDelayUs);
  ms = (us + 999) / 1000;
  seen = true;
  return nullptr;
}

struct Rs485Seen {
  bool rts, before, after;
};

const char *read_rs485_option(const char *item, struct serial_rs485 &m, Rs485Seen &seen, Reason why) {
  bool on_send = strcmp(item, "rts-on-send") == 0;
  if (on_send || strcmp(item, "rts-after-send") == 0) {
    if (seen.rts) return refuse(why, "more than one of rts-on-send and rts-after-send");
    seen.rts = true;
    m.flags |= on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND;
    return nullptr;
  }
  if (strncmp(item, "before=", 7) == 0)
    return read_rts_delay(item, "before=", m.delay_rts_before_send, seen.before, why);
  if (strncmp(item, "after=", 6) == 0) return read_rts_delay(item, "after=", m.delay_rts_after_send, seen.after, why);
  return refuse(why, "\"%s\" is not one of rts-on-send, rts-after-send, before=US, after=US", item);
}

const char *read_rs485(const char *value, VelkordSettings &s, Reason why) {
  if (strcmp(value, "off") == 0) return nullptr;
  if (strlen(value) > kMaxOptionsLength) return refuse(why, "longer than %zu characters", kMaxOptionsLength);
  char copy[kMaxOptionsLength + 1];
  strcpy(copy, value);
  char *rest = copy;
  if (strcmp(next_item(rest), "on") != 0)
    return refuse(why, "must be off, or on with optional ,rts-on-send|,rts-after-send,before=US,after=US");
  struct serial_rs485 mode = {};
  Rs485Seen seen = {};
  while (char *item = next_item(rest))
    if (const char *refused = read_rs485_option(item, mode, seen, why)) return refused;
  // The usual wiring: the transceiver's driver enable follows RTS, high
  // while sending.
  if (!seen.rts) mode.flags |= SER_RS485_RTS_ON_SEND;
  mode.flags |= SER_RS485_ENABLED;
  s.rs485 = mode;
  s.rs485_on = true;
  return nullptr;
}

const char *read_echo(const char *value, VelkordSettings &s, Reason why) {
  if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0) return refuse(why, "must be 0 or 1");
  s.echo = value[0] == '1';
  return nullptr;
}

const char *read_frame_gap(const char *value, VelkordSettings &s, Reason why) {
  if (!read_count(value, kMaxFrameGapUs, s.frame_gap_us) || s.frame_gap_us == 0)
    return refuse(why, "must be a whole number of microseconds from 1 to %u", kMaxFrameGapUs);
  return nullptr;
}

const char *read_listen(const char *value, VelkordSettings &s, Reason why) {
  if (net_parse_address(value, s.listen) == nullptr) return nullptr;
  return refuse(why, "must be one IPv4 or IPv6 address, without brackets or port");
}

const char *read_allow(const char *value, VelkordSettings &s, Reason why) {
  return ParseAllowList(value, s.allow, why.text, why.size);
}

const char *read_write_allow(const char *value, VelkordSettings &s, Reason why) {
  return ParseAllowList(value, s.write_allow, why.text, why.size);
}

// The two endpoint settings came with their own wording of the same faults,
// and manuals and scripts quote both: each keeps its own, by EndpointFault.
constexpr const char *kModbusTcpFaults[kEndpointFaults] = {
    nullptr,
    "not a port from 1 to 65535",
    "not an IPv6 address in brackets followed by :PORT",
    "not an IPv6 address in brackets followed by :PORT",
    "not an IPv6 address in brackets followed by :PORT",
    "not an IPv4 address (dotted quad) before :PORT",
    "not an IPv4 address (dotted quad) before :PORT",
    "not a port from 1 to 65535",
};
constexpr const char *kStatusFaults[kEndpointFaults] = {
    nullptr,
    "empty",
    "the IPv6 address lacks its closing bracket",
    "a colon and a port must follow the address",
    "not a numeric IPv6 address",
    "an IPv6 address goes in brackets: [ADDRESS]:PORT",
    "not a numeric IPv4 address",
    "the port is not a number from 1 to 65535",
};

// Where a Modbus face listens. The RTU over TCP face takes the Modbus TCP
// face's forms in its words: the two are set up side by side.
const char *read_modbus_face(const char *value, NetEndpoint &where, bool &on, Reason why) {
  EndpointFault fault = net_parse_endpoint(value, where);
  if (fault != EndpointFault::kNone) return refuse(why, "%s", kModbusTcpFaults[static_cast<int>(fault)]);
  on = true;
  return nullptr;
}

const char *read_modbus_tcp(const char *value, VelkordSettings &s, Reason why) {
  return read_modbus_face(value, s.modbus_tcp, s.modbus_tcp_on, why);
}

const char *read_rtu_over_tcp(const char *value, VelkordSettings &s, Reason why) {
  return read_modbus_face(value, s.rtu_over_tcp, s.rtu_over_tcp_on, why);
}

// A positive count of milliseconds up to `limit`.
const char *read_face_ms(const char *value, uint32_t limit, uint32_t &out, Reason why) {
  uint64_t ms = 0;
  if (parse_decimal(value, UINT64_MAX, ms) != nullptr || ms == 0)
    return refuse(why, "not a positive whole number of milliseconds (1 to %u)", limit);
  if (ms > limit) return refuse(why, "above the largest accepted value (1 to %u)", limit);
  out = static_cast<uint32_t>(ms);
  return nullptr;
}

const char *read_modbus_tcp_wait(const char *value, VelkordSettings &s, Reason why) {
  return read_face_ms(value, kFaceWaitMsLimit, s.modbus_tcp_wait_ms, why);
}

const char *read_modbus_tcp_max_age(const char *value, VelkordSettings &s, Reason why) {
  return read_face_ms(value, kFaceMaxAgeMsLimit, s.modbus_tcp_max_age_ms, why);
}

const char *read_modbus_tcp_idle(const char *value, VelkordSettings &s, Reason why) {
  return read_face_ms(value, kFaceIdleMsLimit, s.modbus_tcp_idle_ms, why);
}

const char *read_modbus_tcp_timeout(const char *value, VelkordSettings &s, Reason why) {
  return read_face_ms(value, kFaceTimeoutMsLimit, s.modbus_tcp_timeout_ms, why);
}

// A unit is set aside after at most this many silent exchanges in a row: a
// count larger than any line's patience says "never", which 0 says plainly.
constexpr uint32_t kMaxOfflineAfter = 255;
// Retries closer than 100 ms would be most of a dead unit's old cost again;
// a minute, grown 32 times, is half an hour between looks at a unit.
constexpr uint32_t kMinOfflineRetryMs = 100;
constexpr uint32_t kMaxOfflineRetryMs = 60000;

const char *read_offline_after(const char *value, VelkordSettings &s, Reason why) {
  if (!read_count(value, kMaxOfflineAfter, s.offline.after))
    return refuse(why, "must be a whole number of exchanges from 0 (never) to %u", kMaxOfflineAfter);
  return nullptr;
}

const char *read_offline_retry(const char *value, VelkordSettings &s, Reason why) {
  uint32_t ms = 0;
  if (!read_count(value, kMaxOfflineRetryMs, ms) || ms < kMinOfflineRetryMs)
    return refuse(why, "must be a whole number of milliseconds from %u to %u", kMinOfflineRetryMs,
                  kMaxOfflineRetryMs);
  s.offline.retry_us = ms * 1000;
  return nullptr;
}

const char *read_offline_native(const char *value, VelkordSettings &s, Reason why) {
  if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0) return refuse(why, "must be 0 or 1");
  s.offline.native = value[0] == '1';
  return nullptr;
}

const char *read_status(const char *value, VelkordSettings &s, Reason why) {
  EndpointFault fault = net_parse_endpoint(value, s.status);
  if (fault != EndpointFault::kNone)
    return refuse(why, "%s (PORT, A.B.C.D:PORT or [IPv6]:PORT)", kStatusFaults[static_cast<int>(fault)]);
  s.status_on = true;
  return nullptr;
}

struct Variable {
  const char *name;
  Reader read;
};

const Variable kVariables[] = {
    {kRs485Variable, read_rs485},
    {"VELKORD_ECHO", read_echo},
    {"VELKORD_FRAME_GAP_US", read_frame_gap},
    {"VELKORD_LISTEN", read_listen},
    {"VELKORD_ALLOW", read_allow},
    {"VELKORD_WRITE_ALLOW", read_write_allow},
    {"VELKORD_MODBUS_TCP", read_modbus_tcp},
    {"VELKORD_MODBUS_TCP_WAIT_MS", read_modbus_tcp_wait},
    {"VELKORD_MODBUS_TCP_MAX_AGE_MS", read_modbus_tcp_max_age},
    {"VELKORD_MODBUS_TCP_IDLE_MS", read_modbus_tcp_idle},
    {"VELKORD_MODBUS_TCP_TIMEOUT_MS", read_modbus_tcp_timeout},
    {"VELKORD_RTU_OVER_TCP", read_rtu_over_tcp},
    {"VELKORD_OFFLINE_AFTER", read_offline_after},
    {"VELKORD_OFFLINE_RETRY_MS", read_offline_retry},
    {"VELKORD_OFFLINE_NATIVE", read_offline_native},
    {"VELKORD_STATUS", read_status},
};

// An echoing transceiver is only heard if the driver keeps the receiver on
// while it sends; in RS-485 mode many drivers switch it off.
void combine(VelkordSettings &s) {
  if (s.rs485_on && s.echo) s.rs485.flags |= SER_RS485_RX_DURING_TX;
}

// The line goes to a terminal or the journal: no control characters in it,
// whatever the value held.
void make_printable(char *line) {
  for (char *p = line; *p; ++p)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) *p = '?';
}

}  // namespace

const char *ProcessEnvironment(void *, const char *name) { return getenv(name); }

const char *ReadEnvironment(EnvLookup lookup, void *context, VelkordSettings &out, char *error, size_t error_size) {
  VelkordSettings s = {};
  for (const Variable &v : kVariables) {
    const char *value = lookup(context, v.name);
    if (value == nullptr || *value == '\0') continue;
    char reason[kEnvErrorSize];
    if (const char *refused = v.read(value, s, {reason, sizeof reason})) {
      snprintf(error, error_size, "%s=\"%.*s\": %s", v.name, kShownValueLength, value, refused);
      make_printable(error);
      return error;
    }
  }
  combine(s);
  out = s;
  return nullptr;
}
