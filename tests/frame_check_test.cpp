// The Modbus RTU CRC-16: the tables, the checksum, sealing a request and
// checking a reply.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame.h"
#include "ptyunit.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(std::mt19937 &gen, size_t len) {
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes b(len);
  for (auto &x : b) x = static_cast<uint8_t>(byte(gen));
  return b;
}

// One read-write page between two inaccessible ones: a function that touches
// a byte before or after the data it was given faults at once.
class GuardedPage {
 public:
  GuardedPage() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void *m = mmap(nullptr, 3 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<uint8_t *>(m);
    if (mprotect(base_ + page_, page_, PROT_READ | PROT_WRITE) != 0)
      throw std::runtime_error("mprotect failed");
  }
  ~GuardedPage() { munmap(base_, 3 * page_); }
  GuardedPage(const GuardedPage &) = delete;
  GuardedPage &operator=(const GuardedPage &) = delete;

  // Copies `bytes` so that they end where the page ends.
  uint8_t *at_end(const Bytes &bytes) {
    uint8_t *p = base_ + 2 * page_ - bytes.size();
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    return p;
  }
  // Copies `bytes` so that they begin where the page begins.
  uint8_t *at_start(const Bytes &bytes) {
    uint8_t *p = base_ + page_;
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    return p;
  }

 private:
  size_t page_;
  uint8_t *base_ = nullptr;
};

Bytes ascii(const std::string &s) { return Bytes(s.begin(), s.end()); }

// The entry for byte i is the bitwise CRC of that one byte from a zero start.
TEST(FrameCheck, TablesFollowTheGeneratingRule) {
  for (int i = 0; i < 256; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i);
    const uint16_t c = ptyunit::crc16(&byte, 1, 0);
    SCOPED_TRACE(i);
    EXPECT_EQ(auchCRCHi[i], c & 0xFF);
    EXPECT_EQ(auchCRCLo[i], c >> 8);
  }
  EXPECT_EQ(auchCRCHi[1], 0xC1);
  EXPECT_EQ(auchCRCLo[1], 0xC0);
}

TEST(FrameCheck, CrcOfKnownInputs) {
  struct Row {
    Bytes data;
    uint16_t crc;
  };
  const Row rows[] = {
      {{}, 0xFFFF},
      {ascii("123456789"), 0x4B37},
      {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x0A84},
      {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, 0x8776},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.data.size());
    uint8_t dummy = 0x55;
    const uint8_t *p = row.data.empty() ? &dummy : row.data.data();
    EXPECT_EQ(MRTU_CRC(p, static_cast<uint16_t>(row.data.size())), row.crc);
  }
}

TEST(FrameCheck, CrcMatchesTheBitwiseDefinition) {
  std::mt19937 gen(20180220);
  for (size_t len : {1u, 2u, 3u, 7u, 8u, 64u, 254u, 255u, 256u, 257u, 1000u, 65535u}) {
    SCOPED_TRACE(len);
    Bytes b = random_bytes(gen, len);
    EXPECT_EQ(MRTU_CRC(b.data(), static_cast<uint16_t>(len)), ptyunit::crc16(b.data(), len));
  }
}

// The length is a 16-bit count: a caller's count is taken modulo 65536.
TEST(FrameCheck, LengthIsTakenModulo65536) {
  std::mt19937 gen(7);
  Bytes big = random_bytes(gen, 65536 + 7);
  const int whole = 65536;
  const int whole_and_seven = 65536 + 7;
  EXPECT_EQ(MRTU_CRC(big.data(), static_cast<uint16_t>(whole)), 0xFFFF);
  EXPECT_EQ(MRTU_CRC(big.data(), static_cast<uint16_t>(whole_and_seven)),
            ptyunit::crc16(big.data(), 7));
}

TEST(FrameCheck, CrcReadsOnlyTheGivenBytes) {
  GuardedPage page;
  std::mt19937 gen(3);
  for (size_t len : {0u, 1u, 2u, 9u, 256u}) {
    SCOPED_TRACE(len);
    Bytes b = random_bytes(gen, len);
    const uint16_t want = ptyunit::crc16(b.data(), len);
    EXPECT_EQ(MRTU_CRC(page.at_end(b), static_cast<uint16_t>(len)), want);
    EXPECT_EQ(MRTU_CRC(page.at_start(b), static_cast<uint16_t>(len)), want);
  }
}

// The CRC follows the frame low byte first; nothing else of the buffer
// changes.
TEST(FrameCheck, SealAppendsTheCrcLowByteFirst) {
  struct Row {
    Bytes frame;
    uint8_t low, high;
  };
  const Row rows[] = {
      {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, 0x84, 0x0A},
      {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, 0x76, 0x87},
      {{}, 0xFF, 0xFF},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.frame.size());
    const size_t n = row.frame.size();
    Bytes buf(n + 2 + 16, 0xA5);
    std::copy(row.frame.begin(), row.frame.end(), buf.begin());
    MRTU_SealFrame(buf.data(), static_cast<int>(n));
    Bytes want = row.frame;
    want.push_back(row.low);
    want.push_back(row.high);
    want.resize(buf.size(), 0xA5);
    EXPECT_EQ(buf, want);
  }
}

TEST(FrameCheck, SealTouchesNothingOutsideTheFrameAndItsCrc) {
  GuardedPage page;
  std::mt19937 gen(11);
  for (size_t n : {0u, 1u, 6u, 254u}) {
    SCOPED_TRACE(n);
    Bytes frame = random_bytes(gen, n);
    Bytes room = frame;
    room.resize(n + 2, 0);
    uint8_t *p = page.at_end(room);
    MRTU_SealFrame(p, static_cast<int>(n));
    const uint16_t crc = ptyunit::crc16(frame.data(), n);
    EXPECT_EQ(Bytes(p, p + n), frame);
    EXPECT_EQ(p[n], crc & 0xFF);
    EXPECT_EQ(p[n + 1], crc >> 8);
  }
}

TEST(FrameCheck, CheckAcceptsOnlyAMatchingCrc) {
  struct Row {
    Bytes reply;
    bool passes;
  };
  const Row rows[] = {
      {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}, true},
      {{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x84}, false},  // CRC bytes swapped
      {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}, true},
      {{0x11, 0x03, 0x06, 0x02, 0x2B, 0x00, 0x00, 0x00, 0x64}, false},  // no CRC at all
      // Two bytes are a CRC over nothing, which is 0xFFFF.
      {{0xFF, 0xFF}, true},
      {{0x00, 0x00}, false},
      {{0xFF, 0xFE}, false},
      {{0xFF}, false},
      {{0x00}, false},
      {{}, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::Message() << row.reply.size() << " bytes");
    uint8_t dummy = 0xFF;
    const uint8_t *p = row.reply.empty() ? &dummy : row.reply.data();
    EXPECT_EQ(MRTU_CheckFrame(p, static_cast<int>(row.reply.size())), row.passes);
  }
}

// A sealed frame passes the check, and any single flipped bit makes it fail.
TEST(FrameCheck, CheckRejectsEverySingleBitError) {
  std::mt19937 gen(5);
  for (size_t n : {1u, 5u, 20u, 254u}) {
    SCOPED_TRACE(n);
    Bytes frame = random_bytes(gen, n);
    frame.resize(n + 2);
    MRTU_SealFrame(frame.data(), static_cast<int>(n));
    ASSERT_TRUE(MRTU_CheckFrame(frame.data(), static_cast<int>(n + 2)));
    for (size_t i = 0; i < frame.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        Bytes bad = frame;
        bad[i] ^= static_cast<uint8_t>(1u << bit);
        EXPECT_FALSE(MRTU_CheckFrame(bad.data(), static_cast<int>(bad.size())))
            << "byte " << i << " bit " << bit;
      }
    }
  }
}

// The reply sits right against an inaccessible page on either side: a check
// that reads a byte before or after its n bytes faults.
TEST(FrameCheck, CheckReadsNothingOutsideTheReply) {
  GuardedPage page;
  Bytes sealed = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x00, 0x00};
  MRTU_SealFrame(sealed.data(), 5);
  std::mt19937 gen(13);
  Bytes longest = random_bytes(gen, 254);
  longest.resize(256);
  MRTU_SealFrame(longest.data(), 254);

  struct Row {
    Bytes reply;
    bool passes;
  };
  const Row rows[] = {
      {sealed, true}, {longest, true}, {{0xFF, 0xFF}, true}, {{0x00, 0x00}, false},
      {{0xFF}, false}, {{}, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::Message() << row.reply.size() << " bytes");
    const int n = static_cast<int>(row.reply.size());
    EXPECT_EQ(MRTU_CheckFrame(page.at_end(row.reply), n), row.passes);
    EXPECT_EQ(MRTU_CheckFrame(page.at_start(row.reply), n), row.passes);
  }
  // A negative count is shorter than two bytes as well.
  EXPECT_FALSE(MRTU_CheckFrame(page.at_end({}), -1));
  EXPECT_FALSE(MRTU_CheckFrame(page.at_start({}), -1));
}

// ---- Which reply answers a request ------------------------------------------

Bytes sealed(Bytes frame) {
  size_t n = frame.size();
  frame.resize(n + 2);
  MRTU_SealFrame(frame.data(), static_cast<int>(n));
  return frame;
}

// The answer's length follows the quantity within Modbus's limits; beyond
// them (or for a function the gateway never forwards) only an exception can
// answer.
TEST(FrameCheck, ReplyLengthFollowsTheQuantityWithinModbusLimits) {
  struct Row {
    Bytes request;  // without CRC
    int length;
  };
  const Row rows[] = {
      {{1, 0x01, 0, 0, 0x00, 0x01}, 6},   {{1, 0x01, 0, 0, 0x00, 0x08}, 6},   {{1, 0x02, 0, 0, 0x00, 0x09}, 7},
      {{1, 0x02, 0, 0, 0x07, 0xD0}, 255}, {{1, 0x01, 0, 0, 0x07, 0xD1}, 0},   {{1, 0x01, 0, 0, 0x00, 0x00}, 0},
      {{1, 0x03, 0, 0, 0x00, 0x01}, 7},   {{1, 0x04, 0, 0, 0x00, 0x7D}, 255}, {{1, 0x03, 0, 0, 0x00, 0x7E}, 0},
      {{1, 0x05, 0, 0, 0xFF, 0x00}, 8},   {{1, 0x06, 0, 0, 0x12, 0x34}, 8},   {{1, 0x0F, 0, 0, 0, 1, 1, 1}, 8},
      {{1, 0x10, 0, 0, 0, 1, 2, 0, 5}, 8}, {{1, 0x41, 0, 0, 0x00, 0x01}, 0},
  };
  for (const Row &row : rows) {
    Bytes req = sealed(row.request);
    SCOPED_TRACE(::testing::Message() << "fc " << +req[1] << ", quantity or value " << (req[4] << 8 | req[5]));
    EXPECT_EQ(MRTU_ReplyLength(req.data(), static_cast<int>(req.size())), row.length);
  }
  const Bytes cut = {1, 0x03, 0, 0, 0, 1, 0x84};  // shorter than any sealed request
  EXPECT_EQ(MRTU_ReplyLength(cut.data(), static_cast<int>(cut.size())), 0);
}

// A request in a stream ends where its function's shape says, or, for
// diagnostics and functions the gateway does not pass, where the CRC first
// checks; what only reads is told apart from what may change a unit.
TEST(FrameCheck, RequestsInAStreamEndWhereTheirShapeOrTheirCrcSays) {
  const Bytes read = sealed({1, 3, 0, 0, 0, 1}), unknown = sealed({1, 0x41, 9}), diag = sealed({1, 8, 0, 0, 1, 2});
  Bytes two = unknown;
  two.insert(two.end(), read.begin(), read.end());
  const struct {
    Bytes in;
    int shape;      // MRTU_SealedRequestLength
    int checked;    // MRTU_FindCheckedLength from 4
    bool only_reads;
  } rows[] = {
      {read, 8, 8, true},          {Bytes(read.begin(), read.begin() + 1), 0, 0, false},
      {sealed({1, 16, 0, 0, 0, 2, 4}), 13, 9, false}, {two, kRequestLengthOpen, 5, false},
      {diag, kRequestLengthOpen, 8, false},           {sealed({1, 43, 14, 1, 0}), 7, 7, true},
      {sealed({1, 43, 13, 1}), kRequestLengthOpen, 6, false},
  };
  for (const auto &row : rows) {
    const int n = static_cast<int>(row.in.size());
    EXPECT_EQ(MRTU_SealedRequestLength(row.in.data(), n), row.shape) << n;
    EXPECT_EQ(MRTU_FindCheckedLength(row.in.data(), n, 4), row.checked) << n;
    EXPECT_EQ(MRTU_OnlyReads(row.in.data(), n), row.only_reads) << n;
  }
}

// A read of 17 to 24 bits at an address 0x03xx has the shape of its own
// answer; an adapter that echoes the request must not pass for the unit.
TEST(FrameCheck, EchoOfAReadRequestIsNotItsAnswer) {
  const Bytes req = sealed({1, 0x01, 0x03, 0x00, 0x00, 0x18});
  const Bytes answer = sealed({1, 0x01, 0x03, 0xAA, 0x55, 0x0F});
  const int n = static_cast<int>(req.size());
  EXPECT_FALSE(MRTU_ReplyMatches(req.data(), n, req.data(), n));
  EXPECT_EQ(MRTU_FindReply(req.data(), n, req.data(), n), -1);
  EXPECT_TRUE(MRTU_ReplyMatches(req.data(), n, answer.data(), static_cast<int>(answer.size())));
  Bytes both = req;
  both.insert(both.end(), answer.begin(), answer.end());
  EXPECT_EQ(MRTU_FindReply(req.data(), n, both.data(), static_cast<int>(both.size())), n);
}

// The functions the Modbus TCP face passes: each answer ends where its
// function's shape says (a fixed length, the request's own, a byte count,
// a list of objects), also behind a late reply of another unit; one byte
// short under a good CRC, it is not the answer. While the bytes in are too
// few to tell, the length of an answer that counts itself is still open.
TEST(FrameCheck, AnswersOfEveryPassedFunctionEndWhereTheirShapeSays) {
  struct Row {
    Bytes request, answer;  // without CRC
    bool counted;           // the answer tells its own length
  };
  const Row rows[] = {
      {{1, 7}, {1, 7, 0x5A}, false},
      {{1, 8, 0, 0, 0xA5, 0x37}, {1, 8, 0, 0, 0xA5, 0x37}, false},
      {{1, 11}, {1, 11, 0xFF, 0xFF, 0, 3}, false},
      {{1, 12}, {1, 12, 8, 0, 0, 0, 1, 0, 2, 0x20, 0x00}, true},
      {{1, 17}, {1, 17, 3, 0x2A, 0xFF, 'v'}, true},
      {{1, 20, 7, 6, 0, 4, 0, 1, 0, 2}, {1, 20, 6, 5, 6, 0, 7, 0, 8}, true},
      {{1, 21, 9, 6, 0, 4, 0, 7, 0, 1, 0x12, 0x34}, {1, 21, 9, 6, 0, 4, 0, 7, 0, 1, 0x12, 0x34}, false},
      {{1, 22, 0, 4, 0, 0xF2, 0, 0x25}, {1, 22, 0, 4, 0, 0xF2, 0, 0x25}, false},
      {{1, 23, 0, 0, 0, 2, 0, 5, 0, 1, 2, 0, 9}, {1, 23, 4, 0, 1, 0, 2}, false},
      {{1, 24, 0x04, 0xDE}, {1, 24, 0, 6, 0, 2, 0x01, 0xB8, 0x12, 0x84}, true},
      {{1, 43, 14, 1, 0}, {1, 43, 14, 1, 1, 0, 0, 2, 0, 1, 'V', 1, 2, 'P', '1'}, true},
  };
  const Bytes foreign = sealed({9, 3, 2, 0, 1});
  for (const Row &row : rows) {
    SCOPED_TRACE(::testing::Message() << "fc " << +row.request[1]);
    const Bytes req = sealed(row.request), answer = sealed(row.answer);
    const int r = static_cast<int>(req.size()), n = static_cast<int>(answer.size());
    ASSERT_EQ(MRTU_RequestForm(row.request.data(), r - 2).fault, RequestFault::kNone);
    EXPECT_EQ(MRTU_ReplyLength(req.data(), r), row.counted ? kReplyLengthOpen : n);
    EXPECT_EQ(MRTU_ReplyLength(req.data(), r, answer.data(), 2), row.counted ? kReplyLengthOpen : n);
    EXPECT_EQ(MRTU_ReplyLength(req.data(), r, answer.data(), n), n);
    EXPECT_TRUE(MRTU_ReplyMatches(req.data(), r, answer.data(), n));
    Bytes both = foreign;
    both.insert(both.end(), answer.begin(), answer.end());
    EXPECT_EQ(MRTU_FindReply(req.data(), r, both.data(), static_cast<int>(both.size())), foreign.size());
    const Bytes cut = sealed(Bytes(row.answer.begin(), row.answer.end() - 1));
    EXPECT_FALSE(MRTU_ReplyMatches(req.data(), r, cut.data(), n - 1));
  }
}

}  // namespace
