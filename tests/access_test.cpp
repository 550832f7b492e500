// Who may connect: the allow-list check on addresses of both families, and
// through the real binary a refused and an accepted loopback client, the
// listen address (IPv6 loopback only, and dual-stack "::").
#include "access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "support/net_client.h"
#include "support/net_gateway.h"

namespace {

sockaddr_storage peer_address(const std::string &text) {
  sockaddr_storage a;
  EXPECT_NE(vt::socket_address(text, 0, a), 0u) << text;
  return a;
}

AllowList allow_list(const std::string &text) {
  AllowList list = {};
  char reason[128];
  if (!text.empty()) {
    EXPECT_EQ(ParseAllowList(text.c_str(), list, reason, sizeof reason), nullptr) << reason;
  }
  return list;
}

struct PeerCase {
  std::string allow, peer;
  bool allowed;
};

class AllowedPeer : public ::testing::TestWithParam<PeerCase> {};

TEST_P(AllowedPeer, MatchesTheNetworksOfItsFamily) {
  const PeerCase &c = GetParam();
  sockaddr_storage peer = peer_address(c.peer);
  EXPECT_EQ(PeerAllowed(allow_list(c.allow), reinterpret_cast<sockaddr *>(&peer)), c.allowed)
      << c.peer << " against " << c.allow;
}

INSTANTIATE_TEST_SUITE_P(
    Networks, AllowedPeer,
    ::testing::Values(PeerCase{"", "2001:db8::1", true}, PeerCase{"10.0.0.0/8", "10.255.0.1", true},
                      PeerCase{"10.0.0.0/8", "11.0.0.1", false}, PeerCase{"10.0.0.0/9", "10.128.0.1", false},
                      PeerCase{"192.168.1.128/25", "192.168.1.255", true}, PeerCase{"127.0.0.1", "127.0.0.2", false},
                      PeerCase{"0.0.0.0/0", "::2", false}, PeerCase{"10.0.0.0/8", "::ffff:10.9.9.9", true},
                      PeerCase{"::1", "127.0.0.1", false}, PeerCase{"2001:db8::/33", "2001:db8:7fff::1", true},
                      PeerCase{"2001:db8::/33", "2001:db8:8000::1", false},
                      PeerCase{"10.0.0.0/8,fd00::/8", "fdaa::1", true}));

TEST(RefusedPeers, AreCountedAcrossCalls) {
  AllowList list = allow_list("127.0.0.0/8");
  uint64_t before = RefusedConnections();
  for (const char *peer : {"127.0.0.1", "10.0.0.1", "::1", "::ffff:127.0.0.9"}) {
    sockaddr_storage a = peer_address(peer);
    AdmitPeer(list, reinterpret_cast<sockaddr *>(&a));
  }
  EXPECT_EQ(RefusedConnections() - before, 2u);
}

// ---- Through the real binary -----------------------------------------------

bool ipv6_loopback_available() {
  int s = socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_storage a = peer_address("::1");
  bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(sockaddr_in6)) == 0;
  close(s);
  return ok;
}

// A client of `host` that the gateway serves: its request is answered.
void expect_served(vt::NetGateway &gw, const std::string &host) {
  vt::NetClient client(gw.port(), host);
  auto answer = vt::exchange_until_answered(client, vt::example_request(), 5000);
  ASSERT_TRUE(answer.has_value()) << host;
  EXPECT_EQ(*answer, vt::example_answer()) << vt::hex(*answer);
  EXPECT_TRUE(gw.process().wait_for_output("-- sock. ", 1000));
}

struct AllowCase {
  std::string allow;
  bool served;
};

class LoopbackClient : public ::testing::TestWithParam<AllowCase> {};

TEST_P(LoopbackClient, IsServedOnlyFromAnAllowedNetwork) {
  vt::NetGateway gw({"VELKORD_ALLOW=" + GetParam().allow});
  ASSERT_TRUE(gw.start());
  if (GetParam().served) {
    expect_served(gw, "127.0.0.1");
    return;
  }
  vt::NetClient client(gw.port());
  EXPECT_TRUE(client.wait_closed(5000)) << "a refused client is closed at once";
  // Unserved and unseen: no lines, so no entry in the registry either.
  EXPECT_EQ(gw.process().output().find("-----CLIENT-----"), std::string::npos) << gw.process().output();
  EXPECT_EQ(gw.process().wait_exit(0), -1);
}

INSTANTIATE_TEST_SUITE_P(Allow, LoopbackClient,
                         ::testing::Values(AllowCase{"10.0.0.0/8", false}, AllowCase{"127.0.0.0/8", true}));

TEST(ListenAddress, Ipv6LoopbackServesThereAndNotOnIpv4) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  vt::NetGateway gw({"VELKORD_LISTEN=::1"});
  ASSERT_TRUE(gw.start());
  expect_served(gw, "::1");
  EXPECT_THROW(vt::NetClient(gw.port(), "127.0.0.1"), std::runtime_error);
}

TEST(ListenAddress, DualStackServesIpv4ClientsMatchedAgainstIpv4Networks) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  vt::NetGateway gw({"VELKORD_LISTEN=::", "VELKORD_ALLOW=127.0.0.0/8"});
  ASSERT_TRUE(gw.start());
  expect_served(gw, "127.0.0.1");
}

}  // namespace
