// The client message: a 32-byte little-endian header followed by a Modbus RTU
// frame without its CRC. One layout serves requests and responses. Fields are
// read and written byte by byte at their offsets, so neither struct packing
// nor the host's byte order matters (the gateway runs on ARM and x86).
#pragma once

#include <cstddef>
#include <cstdint>

namespace msg {

constexpr size_t kLength = 0;      // uint16, whole message, these two bytes included
constexpr size_t kKeepAlive = 4;   // uint32 µs, request only
constexpr size_t kPause = 8;       // uint16 µs, request only
constexpr size_t kStatus = 10;     // uint8, response only
constexpr size_t kMode = 11;       // uint8, request only
constexpr size_t kSlot = 12;       // uint8, both
constexpr size_t kTimeout = 16;    // int32 µs, request only
constexpr size_t kDelay = 20;      // uint32 µs, request only
constexpr size_t kLifetime = 24;   // uint32 µs, request only
constexpr size_t kFrame = 32;      // Modbus frame without CRC

constexpr size_t kHeaderSize = 32;
constexpr size_t kCapacity = 1024;  // the largest message the gateway stores

// Response statuses: 0x80 is the failure flag, one cause bit beside it.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusFailed = 0x80;
constexpr uint8_t kStatusNoAnswer = 0x81;
constexpr uint8_t kStatusBadUnit = 0x82;
constexpr uint8_t kStatusBadSlot = 0x84;
constexpr uint8_t kStatusBadFunction = 0x88;
constexpr uint8_t kStatusBadCoilValue = 0x90;

inline uint16_t get16(const uint8_t *m, size_t at) {
  return static_cast<uint16_t>(m[at] | (m[at + 1] << 8));
}

inline uint32_t get32(const uint8_t *m, size_t at) {
  return static_cast<uint32_t>(m[at]) | (static_cast<uint32_t>(m[at + 1]) << 8) |
         (static_cast<uint32_t>(m[at + 2]) << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}

inline void put16(uint8_t *m, size_t at, uint16_t v) {
  m[at] = static_cast<uint8_t>(v);
  m[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(uint8_t *m, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace msg
