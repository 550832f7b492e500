// The native server as an object of its own: two in one process keep their
// own clients, counts and ports, and one stops without touching the other.
// Everything else about the server is tested through the real binary.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "pelnet.h"
#include "support/engine_support.h"
#include "support/net_client.h"
#include "support/process.h"

namespace {

// A request the intake refuses at once (function 7): quick, and it leaves
// the device table alone.
vt::Bytes ping() {
  vt::RequestFields r;
  r.frame = {0x01, 0x07, 0x00, 0x00, 0x00, 0x00};
  return vt::build_request(r);
}

std::unique_ptr<NativeServer> loopback_server() {
  auto server = std::make_unique<NativeServer>();
  server->settings.port = static_cast<uint16_t>(vt::free_tcp_port());
  server->settings.listen = {AF_INET, {127, 0, 0, 1}, 0};
  return server;
}

NativeStatus status_of(NativeServer &server) {
  NativeStatus s;
  native_copy_status(server, s);
  return s;
}

TEST(NativeServer, TwoInOneProcessKeepTheirOwnClientsAndStopApart) {
  // A sanitizer's runtime starts a thread of its own along with a program's
  // first one: let it be there before the threads are counted.
  std::thread([] {}).join();
  const int threads = vt::thread_count();
  std::unique_ptr<NativeServer> a = loopback_server(), b = loopback_server();
  ASSERT_EQ(native_start(*a), 0);
  ASSERT_EQ(native_start(*b), 0);
  {
    vt::NetClient to_a(a->settings.port), to_b(b->settings.port), again_b(b->settings.port);
    for (vt::NetClient *c : {&to_a, &to_b, &again_b}) {
      auto r = c->exchange(ping(), 5000);
      ASSERT_TRUE(r);
      EXPECT_EQ(*r, vt::error_response(0x88));
    }
    EXPECT_EQ(status_of(*a).counters.accepted, 1u);
    EXPECT_EQ(status_of(*b).counters.accepted, 2u);
    EXPECT_EQ(status_of(*b).connected, 2u);

    native_stop(*a);
    EXPECT_EQ(a->listener, -1);
    auto r = to_b.exchange(ping(), 5000);
    ASSERT_TRUE(r) << "stopping one server ended the other's client";
    EXPECT_EQ(*r, vt::error_response(0x88));
    native_stop(*b);
  }
  // The clients have gone: every handler reads the end of its stream and
  // ends, before the servers they were given go too. At most as many
  // threads as before: under qemu the warm-up thread, joined, may still be
  // listed when the count before is taken.
  const bool ended = vt::wait_until([&] { return vt::thread_count() <= threads; }, 5000);
  EXPECT_TRUE(ended) << "a handler outlived its client";
  if (!ended) {  // it still holds its server: leave both to it
    a.release();
    b.release();
    return;
  }
  // A handler's last act on its server was under the server's mutex.
  for (NativeServer *server : {a.get(), b.get()}) Locked settled(server->mutex);
}

}  // namespace
