// access: who may connect. An allow-list of networks, and the one check every
// TCP face of the gateway makes on a new connection before it serves it.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

constexpr int kMaxAllowedNetworks = 32;

struct AllowedNetwork {
  int family;           // AF_INET or AF_INET6
  uint8_t address[16];  // network byte order; 4 bytes used for AF_INET
  uint8_t prefix;       // leading bits that must match
};

// No networks: everyone may connect.
struct AllowList {
  int count;
  AllowedNetwork nets[kMaxAllowedNetworks];
};

// Reads "net[,net...]", each net an IPv4 or IPv6 address with an optional
// "/prefix" (a bare address is one host). Returns nullptr, or a short reason
// (written into `reason`) when an entry is not a network, has bits set past
// its prefix, or there are too many.
const char *ParseAllowList(const char *text, AllowList &out, char *reason, size_t reason_size);

// Room for the longest network text, a full IPv6 address and "/128".
constexpr size_t kNetworkTextSize = 48;

// "192.168.1.0/24" or "fd00::/8", as a list shows its networks.
void FormatAllowedNetwork(const AllowedNetwork &net, char *out, size_t size);

// True when `peer` lies in one of the networks, or the list is empty. An
// IPv4-mapped IPv6 peer (a dual-stack listener's view of an IPv4 client) is
// matched against the IPv4 networks.
bool PeerAllowed(const AllowList &list, const struct sockaddr *peer);

// PeerAllowed, and a refusal is counted. The caller closes a refused
// connection at once, before it prints, registers or reads anything.
bool AdmitPeer(const AllowList &list, const struct sockaddr *peer);

// Connections refused by AdmitPeer since the start, on all faces.
uint64_t RefusedConnections();
