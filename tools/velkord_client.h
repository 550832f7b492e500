// A client of the gateway's TCP protocol: Modbus request frames built from
// their fields, the 32-byte message header around them, one request and its
// response over a socket within a deadline, and the polling rule that gets an
// answer known to belong to the frame just sent.
//
// The gateway answers every request at once from the exchange slot's cache:
// the response carries whatever the slot held before the request came in,
// possibly the answer to an earlier frame, and the unit's answer to the new
// frame shows up in a later response. fetch_answer() hides that.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vclient {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// Modbus function codes the gateway passes on.
constexpr uint8_t kReadCoils = 1;
constexpr uint8_t kReadDiscreteInputs = 2;
constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kReadInputRegisters = 4;
constexpr uint8_t kWriteSingleCoil = 5;
constexpr uint8_t kWriteSingleRegister = 6;
constexpr uint8_t kWriteMultipleCoils = 15;
constexpr uint8_t kWriteMultipleRegisters = 16;

// Modbus quantity limits per request (the answers of the largest reads and
// the requests of the largest writes just fit the gateway's 256-byte frames).
constexpr unsigned kMaxReadBits = 2000;
constexpr unsigned kMaxReadRegisters = 125;
constexpr unsigned kMaxWriteBits = 1968;
constexpr unsigned kMaxWriteRegisters = 123;

// ---- Modbus request frames, without CRC (the gateway appends it) ----

// Functions 1 to 4: start address and quantity.
Bytes read_frame(uint8_t unit, uint8_t function, uint16_t address, uint16_t count);
// Function 5: a coil is switched with FF 00 (on) or 00 00 (off).
Bytes write_coil_frame(uint8_t unit, uint16_t address, bool on);
// Function 6.
Bytes write_register_frame(uint8_t unit, uint16_t address, uint16_t value);
// Function 15: bits packed lowest address first, least significant bit first.
Bytes write_coils_frame(uint8_t unit, uint16_t address, const std::vector<bool> &bits);
// Function 16: registers high byte first.
Bytes write_registers_frame(uint8_t unit, uint16_t address, const std::vector<uint16_t> &values);

// ---- the message header ----

// Header fields of a request. Times are microseconds.
struct RequestParams {
  uint8_t slot = 0;
  uint8_t mode = 1;                // 0 idle, 1 repeat, 2 until answered, 3+ repeat with reload
                                   // (a mode 2 request for the frame whose answer the slot
                                   // keeps collects it without another exchange)
  int32_t timeout_us = 100000;     // how long the gateway's worker waits for the unit
  uint32_t delay_us = 0;           // worker's pause before each exchange of the slot
  uint32_t lifetime_us = 2000000;  // slot's service budget
  uint32_t keepalive_us = 0;       // connection idle budget; 0 keeps the handler's
  uint16_t pause_us = 1000;        // handler's pause after each turn; 0 keeps the handler's
};

// The whole request message: header, then `frame`; its length field counts both.
Bytes encode_request(const RequestParams &params, const Bytes &frame);

// Response statuses: 0x80 flags a failure, one bit beside it names the cause.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusNoValidAnswer = 0x81;

struct Response {
  uint8_t status = 0;
  uint8_t slot = 0;
  Bytes frame;  // the unit's answer without CRC (status 0 only)
};

// Decodes one whole response message (length field included). Returns false
// with `why` set when the bytes are not a well-formed response.
bool decode_response(const uint8_t *message, size_t length, Response &out, std::string &why);

// "no valid answer yet", "slot out of range", ... for a non-zero status.
std::string status_meaning(uint8_t status);
// "illegal data address", ... for a Modbus exception code.
std::string exception_name(uint8_t code);

// ---- the unit's answer ----

struct AnswerCheck {
  enum Kind { kOk, kException, kMismatch } kind = kOk;
  uint8_t exception = 0;  // kException: the Modbus exception code
  std::string mismatch;   // kMismatch: what does not fit, one line
};

// Whether `answer` is an answer to `request` (both frames without CRC): same
// unit, same function (or its exception), the byte count the quantity asks
// for, and for writes the echoed address and value or quantity.
AnswerCheck check_answer(const Bytes &request, const Bytes &answer);

// The values an answer carries, once check_answer() found it kOk: bits as 0
// or 1 for functions 1 and 2 (as many as requested), registers for 3 and 4,
// the echoed value for 5 (0 or 1) and 6; nothing for 15 and 16.
std::vector<uint16_t> answer_values(const Bytes &request, const Bytes &answer);

// ---- the connection ----

// What went wrong with the connection; errors are values the caller reports.
enum class Fault {
  kNone,
  kResolve,   // the host name did not resolve
  kConnect,   // no connection (err holds errno, e.g. ECONNREFUSED)
  kTimedOut,  // the deadline passed first
  kClosed,    // the gateway closed the connection
  kProtocol,  // the gateway sent something that is not a response
  kSystem,    // a socket call failed (err holds errno)
};

struct IoResult {
  Fault fault = Fault::kNone;
  int err = 0;
  std::string detail;  // one line: strerror, resolver text or what was wrong
  bool ok() const { return fault == Fault::kNone; }
};

// One TCP connection to the gateway. After a failed exchange the byte stream
// can no longer be trusted to start at a message, so the connection closes
// itself; open() it again to go on.
//
// The gateway ends a connection when its idle budget runs out (the request's
// keepAlive), and a request sent into such a connection is never read. An
// exchange that finds the connection closed before any byte of the response
// therefore connects again and sends the request once more.
class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // Connects to host:port (every address the name resolves to, in turn).
  IoResult open(const std::string &host, uint16_t port, Deadline deadline);
  // Sends one request message and receives its response.
  IoResult exchange(const Bytes &request, Response &response, Deadline deadline);
  bool is_open() const { return fd_ >= 0; }
  void close();

 private:
  IoResult exchange_once(const Bytes &request, Response &response, Deadline deadline, bool &response_begun);
  IoResult send_all(const Bytes &data, Deadline deadline);
  IoResult receive_exact(uint8_t *into, size_t n, Deadline deadline);
  int fd_ = -1;
  std::string host_;
  uint16_t port_ = 0;
};

// ---- polling for an answer ----

struct FetchPlan {
  Bytes frame;
  RequestParams params;  // params.mode arms the slot
  // A status 0 at the first request is taken as the answer to `frame`: true
  // only when this frame is known to be the slot's already (a later poll of
  // the same frame).
  bool trust_first = false;
  // Send mode 0 until the slot reads empty, and arm it only then: a frame
  // whose exchange must not be repeated (a write) is then not exchanged
  // before its answer can be told from the slot's previous one. The mode 0
  // request also drops an answer the slot kept from an earlier write of the
  // same frame, which a mode 2 request would otherwise collect unwritten.
  bool start_parked = false;
  // Pause between requests; the gateway's handler adds its own pause.
  std::chrono::milliseconds retry_pause{20};
  // Set from elsewhere (a signal handler) to give up between two requests.
  const std::atomic<bool> *cancel = nullptr;
};

struct Fetch {
  enum End {
    kAnswer,         // response.frame is the unit's answer to the frame
    kRefused,        // the gateway refused the request: response.status
    kNoValidAnswer,  // the deadline passed with the slot holding no valid answer
    kIoFailure,      // the connection failed: io
    kCancelled,      // *plan.cancel was set
  } end = kIoFailure;
  Response response;
  IoResult io;
  unsigned requests = 0;  // requests sent
};

// Repeats the request until the slot holds the unit's answer to plan.frame,
// the gateway refuses it, or the deadline passes. A status 0 answer counts
// only once the slot has been seen without a valid answer after the frame was
// stored; until then an answer may belong to the slot's previous frame, and
// the slot is parked (mode 0) so that the worker marks it empty.
Fetch fetch_answer(Connection &connection, const FetchPlan &plan, Deadline deadline);

}  // namespace vclient
