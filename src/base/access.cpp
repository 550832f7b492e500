#include "access.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "decimal.h"

namespace {

std::atomic<uint64_t> refused_connections;

// Longest entry worth reading: a full IPv6 address with its prefix.
constexpr size_t kMaxEntryLength = INET6_ADDRSTRLEN + 4;

size_t address_bytes(int family) { return family == AF_INET ? 4 : 16; }

bool bits_match(const uint8_t *a, const uint8_t *b, unsigned prefix) {
  unsigned whole = prefix / 8;
  if (memcmp(a, b, whole) != 0) return false;
  unsigned rest = prefix % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

bool host_bits_clear(const AllowedNetwork &n) {
  size_t size = address_bytes(n.family);
  for (unsigned bit = n.prefix; bit < size * 8; ++bit)
    if (n.address[bit / 8] & (0x80 >> (bit % 8))) return false;
  return true;
}

// A prefix length: decimal digits only, at most `max`.
bool parse_prefix(const char *text, unsigned max, uint8_t &out) {
  uint64_t bits;
  if (parse_decimal(text, max, bits) != nullptr) return false;
  out = static_cast<uint8_t>(bits);
  return true;
}

const char *parse_network(char *entry, AllowedNetwork &net, char *reason, size_t reason_size) {
  char *slash = strchr(entry, '/');
  if (slash) *slash = '\0';
  if (inet_pton(AF_INET, entry, net.address) == 1) {
    net.family = AF_INET;
  } else if (inet_pton(AF_INET6, entry, net.address) == 1) {
    net.family = AF_INET6;
  } else {
    snprintf(reason, reason_size, "\"%s\" is not an IPv4 or IPv6 address", entry);
    return reason;
  }
  unsigned max = static_cast<unsigned>(address_bytes(net.family) * 8);
  net.prefix = static_cast<uint8_t>(max);
  if (slash && !parse_prefix(slash + 1, max, net.prefix)) {
    snprintf(reason, reason_size, "\"%s\" of \"%s\" is not a prefix length from 0 to %u", slash + 1, entry, max);
    return reason;
  }
  // 192.168.1.7/16 is more likely a slip than a wish for the whole /16.
  if (!host_bits_clear(net)) {
    snprintf(reason, reason_size, "\"%s/%u\" has address bits set past its prefix", entry, net.prefix);
    return reason;
  }
  return nullptr;
}

}  // namespace

const char *ParseAllowList(const char *text, AllowList &out, char *reason, size_t reason_size) {
  memset(&out, 0, sizeof out);
  const char *p = text;
  for (;;) {
    const char *end = strchr(p, ',');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (len == 0) {
      snprintf(reason, reason_size, "an empty entry in the list");
      return reason;
    }
    if (len > kMaxEntryLength) {
      snprintf(reason, reason_size, "an entry of %zu characters is no network", len);
      return reason;
    }
    if (out.count == kMaxAllowedNetworks) {
      snprintf(reason, reason_size, "more than %d networks", kMaxAllowedNetworks);
      return reason;
    }
    char entry[kMaxEntryLength + 1];
    memcpy(entry, p, len);
    entry[len] = '\0';
    if (const char *refused = parse_network(entry, out.nets[out.count], reason, reason_size)) return refused;
    ++out.count;
    if (!end) return nullptr;
    p = end + 1;
  }
}

void FormatAllowedNetwork(const AllowedNetwork &net, char *out, size_t size) {
  char address[INET6_ADDRSTRLEN];
  if (inet_ntop(net.family, net.address, address, sizeof address) == nullptr) address[0] = '\0';
  snprintf(out, size, "%s/%u", address, static_cast<unsigned>(net.prefix));
}

bool PeerAllowed(const AllowList &list, const struct sockaddr *peer) {
  if (list.count == 0) return true;
  int family = peer->sa_family;
  const uint8_t *bytes = nullptr;
  if (family == AF_INET) {
    bytes = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(peer)->sin_addr);
  } else if (family == AF_INET6) {
    const in6_addr *a6 = &reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_addr;
    bytes = a6->s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(a6)) {
      family = AF_INET;
      bytes += 12;
    }
  } else {
    return false;
  }
  for (int i = 0; i < list.count; ++i) {
    const AllowedNetwork &n = list.nets[i];
    if (n.family == family && bits_match(n.address, bytes, n.prefix)) return true;
  }
  return false;
}

bool AdmitPeer(const AllowList &list, const struct sockaddr *peer) {
  if (PeerAllowed(list, peer)) return true;
  refused_connections.fetch_add(1, std::memory_order_relaxed);
  return false;
}

uint64_t RefusedConnections() { return refused_connections.load(std::memory_order_relaxed); }
