#include "environment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decimal.h"
#include "tq708port.h"

VelkordSettings VelkordEnv;

namespace {

// Reads one variable's value (set, not empty) into the settings, or writes
// the reason it is refused.
using Reader = bool (*)(const char *value, VelkordSettings &s, char *reason, size_t size);

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
bool read_rts_delay(const char *item, const char *key, uint32_t &ms, bool &seen, char *reason, size_t size) {
  if (seen) {
    snprintf(reason, size, "%s given twice", key);
    return false;
  }
  uint32_t us = 0;
  if (!read_count(item + strlen(key), kMaxRtsDelayUs, us)) {
    snprintf(reason, size, "\"%s\" needs a delay in microseconds from 0 to %u", item, kMaxRtsDelayUs);
    return false;
  }
  ms = (us + 999) / 1000;
  seen = true;
  return true;
}

struct Rs485Seen {
  bool rts, before, after;
};

bool read_rs485_option(const char *item, struct serial_rs485 &m, Rs485Seen &seen, char *reason, size_t size) {
  bool on_send = strcmp(item, "rts-on-send") == 0;
  if (on_send || strcmp(item, "rts-after-send") == 0) {
    if (seen.rts) {
      snprintf(reason, size, "more than one of rts-on-send and rts-after-send");
      return false;
    }
    seen.rts = true;
    m.flags |= on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND;
    return true;
  }
  if (strncmp(item, "before=", 7) == 0)
    return read_rts_delay(item, "before=", m.delay_rts_before_send, seen.before, reason, size);
  if (strncmp(item, "after=", 6) == 0)
    return read_rts_delay(item, "after=", m.delay_rts_after_send, seen.after, reason, size);
  snprintf(reason, size, "\"%s\" is not one of rts-on-send, rts-after-send, before=US, after=US", item);
  return false;
}

bool read_rs485(const char *value, VelkordSettings &s, char *reason, size_t size) {
  if (strcmp(value, "off") == 0) return true;
  if (strlen(value) > kMaxOptionsLength) {
    snprintf(reason, size, "longer than %zu characters", kMaxOptionsLength);
    return false;
  }
  char copy[kMaxOptionsLength + 1];
  strcpy(copy, value);
  char *rest = copy;
  if (strcmp(next_item(rest), "on") != 0) {
    snprintf(reason, size, "must be off, or on with optional ,rts-on-send|,rts-after-send,before=US,after=US");
    return false;
  }
  struct serial_rs485 mode = {};
  Rs485Seen seen = {};
  while (char *item = next_item(rest))
    if (!read_rs485_option(item, mode, seen, reason, size)) return false;
  // The usual wiring: the transceiver's driver enable follows RTS, high
  // while sending.
  if (!seen.rts) mode.flags |= SER_RS485_RTS_ON_SEND;
  mode.flags |= SER_RS485_ENABLED;
  s.rs485 = mode;
  s.rs485_on = true;
  return true;
}

bool read_echo(const char *value, VelkordSettings &s, char *reason, size_t size) {
  if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0) {
    snprintf(reason, size, "must be 0 or 1");
    return false;
  }
  s.echo = value[0] == '1';
  return true;
}

bool read_frame_gap(const char *value, VelkordSettings &s, char *reason, size_t size) {
  if (!read_count(value, kMaxFrameGapUs, s.frame_gap_us) || s.frame_gap_us == 0) {
    snprintf(reason, size, "must be a whole number of microseconds from 1 to %u", kMaxFrameGapUs);
    return false;
  }
  return true;
}

bool read_listen(const char *value, VelkordSettings &s, char *reason, size_t size) {
  if (net_parse_address(value, s.listen) == nullptr) return true;
  snprintf(reason, size, "must be one IPv4 or IPv6 address, without brackets or port");
  return false;
}

bool read_allow(const char *value, VelkordSettings &s, char *reason, size_t size) {
  return ParseAllowList(value, s.allow, reason, size);
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

bool read_modbus_tcp(const char *value, VelkordSettings &s, char *reason, size_t size) {
  EndpointFault fault = net_parse_endpoint(value, s.modbus_tcp);
  if (fault != EndpointFault::kNone) {
    snprintf(reason, size, "%s", kModbusTcpFaults[static_cast<int>(fault)]);
    return false;
  }
  s.modbus_tcp_on = true;
  return true;
}

// A positive count of milliseconds up to `limit`.
bool read_face_ms(const char *value, uint32_t limit, uint32_t &out, char *reason, size_t size) {
  uint64_t ms = 0;
  const char *why = nullptr;
  if (parse_decimal(value, UINT64_MAX, ms) != nullptr || ms == 0)
    why = "not a positive whole number of milliseconds";
  else if (ms > limit)
    why = "above the largest accepted value";
  if (why == nullptr) {
    out = static_cast<uint32_t>(ms);
    return true;
  }
  snprintf(reason, size, "%s (1 to %u)", why, limit);
  return false;
}

bool read_modbus_tcp_wait(const char *value, VelkordSettings &s, char *reason, size_t size) {
  return read_face_ms(value, kFaceWaitMsLimit, s.modbus_tcp_wait_ms, reason, size);
}

bool read_modbus_tcp_max_age(const char *value, VelkordSettings &s, char *reason, size_t size) {
  return read_face_ms(value, kFaceMaxAgeMsLimit, s.modbus_tcp_max_age_ms, reason, size);
}

bool read_modbus_tcp_idle(const char *value, VelkordSettings &s, char *reason, size_t size) {
  return read_face_ms(value, kFaceIdleMsLimit, s.modbus_tcp_idle_ms, reason, size);
}

bool read_status(const char *value, VelkordSettings &s, char *reason, size_t size) {
  EndpointFault fault = net_parse_endpoint(value, s.status);
  if (fault != EndpointFault::kNone) {
    snprintf(reason, size, "%s (PORT, A.B.C.D:PORT or [IPv6]:PORT)", kStatusFaults[static_cast<int>(fault)]);
    return false;
  }
  s.status_on = true;
  return true;
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
    {"VELKORD_MODBUS_TCP", read_modbus_tcp},
    {"VELKORD_MODBUS_TCP_WAIT_MS", read_modbus_tcp_wait},
    {"VELKORD_MODBUS_TCP_MAX_AGE_MS", read_modbus_tcp_max_age},
    {"VELKORD_MODBUS_TCP_IDLE_MS", read_modbus_tcp_idle},
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

bool ReadEnvironment(EnvLookup lookup, void *context, VelkordSettings &out, char *error, size_t error_size) {
  VelkordSettings s = {};
  for (const Variable &v : kVariables) {
    const char *value = lookup(context, v.name);
    if (value == nullptr || *value == '\0') continue;
    char reason[kEnvErrorSize];
    if (!v.read(value, s, reason, sizeof reason)) {
      snprintf(error, error_size, "%s=\"%.*s\": %s", v.name, kShownValueLength, value, reason);
      make_printable(error);
      return false;
    }
  }
  combine(s);
  out = s;
  return true;
}
