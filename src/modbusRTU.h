// modbusRTU: the Modbus RTU engine. The settings record and line timing, the
// device and slot table, the frame check, the serial polling worker, the
// intake of client commands and the start of the serial link.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// ---- Settings record -------------------------------------------------------

struct ModbusRTUSettings {
  int32_t serialport;
  int32_t baudrate;
  int32_t databits;
  int32_t stopbits;
  int32_t ipport;
  int32_t full_size_sym;  // bits per character on the line
  int32_t time_one_sym;   // µs per character
  int32_t time_silence;   // µs, four characters
};

extern ModbusRTUSettings ModbusRTU;

// Fills full_size_sym, time_one_sym and time_silence of `rec` from its
// baudrate, databits and stopbits.
void derive_line_timing(ModbusRTUSettings &rec);

// ---- Device and slot table -------------------------------------------------

constexpr int kUnitCount = 247;
constexpr int kSlotCount = 5;
constexpr int kFrameSize = 256;

// Bits of ExchangeSlot::result.
constexpr uint8_t kResultValid = 0;
constexpr uint8_t kResultNoAnswer = 1;
constexpr uint8_t kResultBadAnswer = 2;

// Values of ExchangeSlot::mode with a rule of their own; 3 and up repeat
// with a lifetime reload.
constexpr uint8_t kModeIdle = 0;
constexpr uint8_t kModeRepeat = 1;
constexpr uint8_t kModeUntilAnswered = 2;
// What the worker's exchanges of one slot came to, for diagnostics. Updated
// under SerialMutex; 32 bits that wrap, so a reader takes differences modulo
// 2^32 (a slot exchanged every millisecond wraps after 49 days).
struct SlotCounts {
  uint32_t valid;           // exchanges that got this request's answer
  uint32_t no_answer;       // exchanges that received nothing at all
  uint32_t bad_crc;         // ended on bytes whose CRC failed
  uint32_t mismatch;        // ended on a frame with a good CRC that does not answer the request
  uint32_t frames_dropped;  // frames that did not answer the request, dropped while the wait went on
  uint32_t stale_bytes;     // late bytes discarded before a send
};

struct ExchangeSlot {
  uint8_t rxFrame[kFrameSize];  // last reply, CRC included
  uint8_t txFrame[kFrameSize];  // request to send, CRC included
  uint8_t txLength;
  uint8_t rxLength;
  uint8_t result;               // 0 valid, bit 0 no answer, bit 1 bad answer
  uint8_t mode;                 // 0 idle, 1 repeat, 2 until answered, 3+ reload
  uint32_t lifetime;            // µs of service left
  uint32_t lifetimeReload;      // µs given to mode 3+ after a good answer
  int32_t delay;                // µs of pause before each exchange
  uint8_t timeoutSymbols;       // wait for the first reply byte, in characters
  // Set when a mode 2 exchange got its answer: rxFrame answers txFrame, and
  // stays the slot's answer until a request rewrites the slot.
  bool answerKept;
  SlotCounts counts;            // worker only
};

struct DeviceRecord {
  uint8_t currentSlot;
  ExchangeSlot slots[kSlotCount];
};

extern DeviceRecord MRTU_SerialData[kUnitCount];
extern pthread_mutex_t SerialMutex;
extern int32_t CountDev;
extern std::atomic<int32_t> SerialWork;
extern pthread_t hSerialServer;

// ---- Frame check -----------------------------------------------------------

extern const uint8_t auchCRCHi[256];
extern const uint8_t auchCRCLo[256];

uint16_t MRTU_CRC(const uint8_t *buf, uint16_t len);

// Appends the CRC of the first n bytes of `frame` at frame[n] (low byte) and
// frame[n + 1] (high byte); the caller's buffer holds n + 2 bytes.
void MRTU_SealFrame(uint8_t *frame, int n);

// True when the n bytes of `reply` end in the CRC of the bytes before it.
// A reply shorter than 2 bytes fails; nothing outside the n bytes is read.
bool MRTU_CheckFrame(const uint8_t *reply, int n);

// Length of an exception answer: unit, function | 0x80, code, CRC.
constexpr int kExceptionReplyLength = 5;

// Length, CRC included, of the normal answer to the sealed request of
// `request_length` bytes; 0 when no normal answer can exist (a function the
// gateway does not forward, a quantity outside Modbus's limits).
int MRTU_ReplyLength(const uint8_t *request, int request_length);

// True when the n bytes of `reply` answer the sealed request: a good CRC,
// the request's unit, its function (or an exception to it of exactly 5
// bytes), the length its quantity asks for, and for functions 5, 6, 15 and
// 16 the echo of its address and value or quantity.
bool MRTU_ReplyMatches(const uint8_t *request, int request_length, const uint8_t *reply, int n);

// Where the answer to the request begins among the n bytes collected, when
// they end with one; else -1. A late reply to another request that arrives
// right before the answer is in front of it in the same read.
int MRTU_FindReply(const uint8_t *request, int request_length, const uint8_t *bytes, int n);

// ---- Serial polling worker -------------------------------------------------

void *SerialServer(void *);
void Loop_Exchange();

// ---- Command intake --------------------------------------------------------

// Results of MRTU_CMD.
constexpr int kCmdOk = 0;
constexpr int kCmdBadUnit = -1;
constexpr int kCmdBadSlot = -2;
constexpr int kCmdBadFunction = -3;
constexpr int kCmdBadCoilValue = -4;
constexpr int kCmdNoAnswer = -5;
constexpr int kCmdFrameTooLong = -6;  // fc 15/16 whose byte count is above 246
// The message ends before the frame its function needs, or a fc 15/16 byte
// count is not the one its quantity needs.
constexpr int kCmdFrameMalformed = -7;

// Stores the request frame (from byte 32 of `request`, within the message's
// own length at bytes 0-1) sealed in its slot with the request's timing, and
// copies the slot's last valid answer into the cleared 1024-byte `response`.
// A mode 2 request for the frame whose answer the slot keeps collects that
// answer and stores nothing but the timing.
int MRTU_CMD(const uint8_t *request, uint8_t *response, uint8_t slot, uint8_t mode,
             int32_t timeout, uint32_t lifetime, uint32_t delay);

// ---- Serial link start -----------------------------------------------------

int OpenSerial();
int CloseSerial();
