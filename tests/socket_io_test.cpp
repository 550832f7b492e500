// Framing of client messages on a real loopback TCP connection: ReadSocket
// takes exactly one length-prefixed message from the stream, WriteSocket
// sends exactly what it is asked to, and neither loses step, overruns the
// caller's buffer or takes the process down when the peer misbehaves.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "pelnet.h"
#include "support/net_client.h"
#include "support/pty.h"

namespace {

using vt::Bytes;

constexpr size_t kCapacity = 1024;

// A message of `length` bytes whose body counts up from `first`.
Bytes message(uint16_t length, uint8_t first = 0x10) {
  Bytes m = vt::raw_message(length, length);
  for (size_t i = 2; i < m.size(); ++i) m[i] = static_cast<uint8_t>(first + i);
  return m;
}

Bytes concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Calls ReadSocket into a fresh zeroed buffer; the message comes back in `out`.
int read_one(int fd, Bytes &out) {
  out.assign(kCapacity, 0);
  int r = ReadSocket(fd, out.data());
  if (r >= 0) out.resize(static_cast<size_t>(r));
  return r;
}

double seconds_since(int64_t start_us) { return static_cast<double>(vt::now_us() - start_us) / 1e6; }

// ---- ReadSocket ------------------------------------------------------------

TEST(ReadSocket, AssemblesAMessageSentOneByteAtATime) {
  vt::TcpPair pair;
  no_delay(pair.a());
  const Bytes m = message(40);
  std::thread sender([&] {
    for (uint8_t byte : m) {
      vt::write_all(pair.a(), {byte});
      usleep(2000);
    }
  });
  Bytes got;
  EXPECT_EQ(read_one(pair.b(), got), 40);
  sender.join();
  EXPECT_EQ(got, m);
}

TEST(ReadSocket, TakesTwoMessagesOfOneSegmentInTwoCalls) {
  vt::TcpPair pair;
  const Bytes first = message(38, 0x20), second = message(6, 0x70);
  ASSERT_TRUE(vt::write_all(pair.a(), concat(first, second)));
  Bytes got;
  EXPECT_EQ(read_one(pair.b(), got), 38);
  EXPECT_EQ(got, first);
  EXPECT_EQ(read_one(pair.b(), got), 6);
  EXPECT_EQ(got, second);
}

// Every message is followed by a marker message: that the marker comes out
// whole of the next call shows how many bytes the first call took.
TEST(ReadSocket, DeclaredLengthsBelowTheHeaderTakeTwoBytes) {
  struct Case {
    uint16_t declared;
    int result;
  };
  const Case cases[] = {{2, 2}, {1, kSockBadLength}, {0, kSockBadLength}};
  vt::TcpPair pair;
  const Bytes marker = {0x04, 0x00, 0xAB, 0xCD};
  for (const Case &c : cases) {
    SCOPED_TRACE("declared length " + std::to_string(c.declared));
    ASSERT_TRUE(vt::write_all(pair.a(), concat(vt::raw_message(c.declared, 2), marker)));
    Bytes got;
    EXPECT_EQ(read_one(pair.b(), got), c.result);
    if (c.result == 2) {
      EXPECT_EQ(got, (Bytes{0x02, 0x00}));
    }
    EXPECT_EQ(read_one(pair.b(), got), 4);
    EXPECT_EQ(got, marker);
  }
}

// Nothing past the 1024-byte buffer is ever written; a longer message is
// read to its end and refused, and the next message is read cleanly.
TEST(ReadSocket, RefusesOverLongMessagesWholeAndKeepsInStep) {
  struct Case {
    uint16_t declared;
    int result;
  };
  const Case cases[] = {{1024, 1024}, {1025, kSockBadLength}, {65535, kSockBadLength}};
  constexpr uint8_t kCanary = 0xA5;
  for (const Case &c : cases) {
    SCOPED_TRACE("declared length " + std::to_string(c.declared));
    vt::TcpPair pair;
    // Zero bytes, read as messages of their own, would each be refused: a
    // reader that stopped early would not see the marker next.
    const Bytes marker = message(6, 0x40);
    std::thread sender(
        [&] { vt::write_all(pair.a(), concat(vt::raw_message(c.declared, c.declared, 0), marker)); });
    Bytes buf(70000, kCanary);
    int r = ReadSocket(pair.b(), buf.data());
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(std::count(buf.begin() + kCapacity, buf.end(), kCanary),
              static_cast<long>(buf.size() - kCapacity))
        << "bytes stored past the 1024-byte buffer";
    Bytes got;
    EXPECT_EQ(read_one(pair.b(), got), 6);
    EXPECT_EQ(got, marker);
    sender.join();
  }
}

TEST(ReadSocket, PeerThatLeavesMidMessage) {
  struct Case {
    const char *name;
    bool abortive;
    int result;
  };
  // A closed peer reads as a time-out; a reset one as an I/O failure.
  const Case cases[] = {{"close", false, kSockTimeout}, {"reset", true, kSockError}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vt::TcpPair pair;
    Bytes half = message(40);
    half.resize(20);
    ASSERT_TRUE(vt::write_all(pair.a(), half));
    usleep(50000);  // let the half arrive before the peer goes
    if (c.abortive) {
      struct linger l = {1, 0};
      setsockopt(pair.a(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    pair.close_a();
    int64_t start = vt::now_us();
    Bytes got;
    EXPECT_EQ(read_one(pair.b(), got), c.result);
    EXPECT_LT(seconds_since(start), 3.0) << "a departed peer must not cost the full wait";
    if (!c.abortive) {
      EXPECT_EQ(read_one(pair.b(), got), kSockTimeout) << "every later read too";
    }
  }
}

TEST(ReadSocket, SilentPeerTimesOutAfterSevenSeconds) {
  vt::TcpPair pair;
  int64_t start = vt::now_us();
  Bytes got;
  EXPECT_EQ(read_one(pair.b(), got), kSockTimeout);
  double waited = seconds_since(start);
  EXPECT_GE(waited, 6.9);
  EXPECT_LT(waited, 12.0);
}

// ---- WriteSocket -----------------------------------------------------------

TEST(WriteSocket, ZeroBytesReturnAtOnceEvenWhenTheSocketCannotTakeMore) {
  vt::TcpPair pair;
  // Fill the send queue so that any wait for writability would last 7 s.
  Bytes chunk(65536, 0x55);
  while (send(pair.a(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
  const uint8_t byte = 0;
  int64_t start = vt::now_us();
  EXPECT_EQ(WriteSocket(pair.a(), &byte, 0), 0);
  EXPECT_LT(seconds_since(start), 1.0);
}

TEST(WriteSocket, TakesTheCountModulo65536) {
  struct Case {
    int len;
    int sent;
  };
  const Case cases[] = {{65536 + 10, 10}, {65536, 0}, {131072 + 3, 3}};
  const Bytes data = message(200);
  for (const Case &c : cases) {
    SCOPED_TRACE("len " + std::to_string(c.len));
    vt::TcpPair pair;
    EXPECT_EQ(WriteSocket(pair.a(), data.data(), c.len), c.sent);
    pair.close_a();
    // Everything the peer will ever get: exactly the first `sent` bytes.
    Bytes got = vt::read_for(pair.b(), 1000, 2000);
    EXPECT_EQ(got, Bytes(data.begin(), data.begin() + c.sent));
  }
}

TEST(WriteSocket, SendsALargeBlockWholeToASlowReader) {
  vt::TcpPair pair;
  // A small receive window makes the send come apart into many pieces.
  int small = 4096;
  setsockopt(pair.b(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(pair.a(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  Bytes data(65535);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  Bytes got;
  std::thread reader([&] {
    while (got.size() < data.size()) {
      Bytes part = vt::read_for(pair.b(), std::min<size_t>(1500, data.size() - got.size()), 5000);
      if (part.empty()) break;
      got.insert(got.end(), part.begin(), part.end());
      usleep(200);
    }
  });
  EXPECT_EQ(WriteSocket(pair.a(), data.data(), static_cast<int>(data.size())), 65535);
  reader.join();
  EXPECT_TRUE(got == data) << "received " << got.size() << " bytes, or out of order";
}

// The test process keeps the default SIGPIPE disposition: a send that
// raised the signal would end this test program instead of returning.
TEST(WriteSocket, PeerThatHasGoneGivesMinusTwoAndNoSignal) {
  for (bool abortive : {false, true}) {
    SCOPED_TRACE(abortive ? "reset" : "close");
    signal(SIGPIPE, SIG_DFL);
    vt::TcpPair pair;
    if (abortive) {
      struct linger l = {1, 0};
      setsockopt(pair.b(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    pair.close_b();
    const Bytes data = message(32);
    // After a plain close the first send may still be taken; the peer's
    // reset to it makes every later one fail.
    int r = 0;
    for (int i = 0; i < 50 && r != kSockError; ++i) {
      r = WriteSocket(pair.a(), data.data(), static_cast<int>(data.size()));
      if (r != kSockError) usleep(10000);
    }
    EXPECT_EQ(r, kSockError);
    EXPECT_EQ(WriteSocket(pair.a(), data.data(), static_cast<int>(data.size())), kSockError);
  }
}

// ---- Descriptors beyond a fixed descriptor set -----------------------------

TEST(SocketIo, WorksOnADescriptorAbove1024) {
  constexpr int kHighFd = 1500;
  struct rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur <= static_cast<rlim_t>(kHighFd)) {
    if (lim.rlim_max <= static_cast<rlim_t>(kHighFd)) GTEST_SKIP() << "hard descriptor limit too low";
    lim.rlim_cur = kHighFd + 100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  vt::TcpPair pair;
  pair.move_a_to(kHighFd);

  // The request comes late, so the read really has to wait for it.
  const Bytes request = message(38, 0x30);
  std::thread sender([&] {
    usleep(200000);
    vt::write_all(pair.b(), request);
  });
  Bytes got;
  EXPECT_EQ(read_one(kHighFd, got), 38);
  sender.join();
  EXPECT_EQ(got, request);

  const Bytes response = message(37, 0x60);
  EXPECT_EQ(WriteSocket(kHighFd, response.data(), static_cast<int>(response.size())), 37);
  EXPECT_EQ(vt::read_for(pair.b(), 37, 2000), response);

  // A peer that leaves is noticed on the high descriptor as on any other.
  pair.close_b();
  EXPECT_EQ(read_one(kHighFd, got), kSockTimeout);
}

}  // namespace
