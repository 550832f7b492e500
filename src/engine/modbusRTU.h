// modbusRTU: the Modbus RTU engine. The settings record and line timing, the
// device and slot table, the frame check, the serial polling worker, the
// intake of client commands and the start of the serial link.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "counters.h"
#include "frame.h"
#include "locked.h"

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

constexpr int kSlotCount = 5;
constexpr int kFrameSize = 256;

// Bits of ExchangeSlot::result.
constexpr uint8_t kResultValid = 0;
constexpr uint8_t kResultNoAnswer = 1;
constexpr uint8_t kResultBadAnswer = 2;

// Values of ExchangeSlot::mode: idle, repeat, until answered; kModeReload
// and every value above it repeat with a lifetime reload.
constexpr uint8_t kModeIdle = 0;
constexpr uint8_t kModeRepeat = 1;
constexpr uint8_t kModeUntilAnswered = 2;
constexpr uint8_t kModeReload = 3;
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
  uint8_t timeoutSymbols;       // wait for the first reply byte, in characters, at most 255
  // The whole wait for the first reply byte, in characters: timeoutSymbols
  // up to 255, beyond it the time-out asked for, at most 10 s (see
  // MRTU_FirstByteSymbols). 0 in a slot filled without it: timeoutSymbols.
  uint32_t firstByteSymbols;
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
extern std::atomic<int32_t> SerialWork;
extern pthread_t hSerialServer;

// The table's change count and its signal: the intake counts every request
// it stores and signals it, so a worker resting on an idle table wakes for
// it. Guarded by SerialMutex; the condition waits on the monotonic clock.
//
// `pending` is what the walk reads of the table, kept apart from the frames
// so that an idle walk touches one page instead of every page of the table:
// bit s of pending[u] is set while slot s of record u may be active or may
// need its "no answer" mark. The intake sets the bit of every slot it
// stores; the walk clears it once it has seen the slot idle and marked. A
// slot nobody has asked for reads "no answer" without a mark.
struct TableChanges {
  pthread_cond_t signal;
  uint32_t count;
  uint8_t pending[kUnitCount];
};
extern TableChanges TableChanged;

// Takes SerialMutex, counts a change and signals TableChanged: new work that
// did not come through the intake (the Modbus TCP face's) wakes a resting
// worker. Not to be called with SerialMutex held.
void signal_table_changed();
extern LineCounters MRTU_LineCounters;
// Whether the line is open; written by the worker without the lock (a reopen
// happens in its pauses), so it is atomic.
extern std::atomic<bool> MRTU_LinkUp;

// The longest wait for a reply's first byte: a unit that has not begun to
// answer after 10 s is not coming, and the line waits with it. Where 255
// characters take longer (below 300 bit/s) they are the longest.
constexpr int64_t kFirstByteCapUs = 10000000;

// A wait of `wait_us` for the first reply byte in whole characters of
// `char_us`, rounded up: up to 255 as asked, beyond that at most
// kFirstByteCapUs. 0 for a wait of 0 or below.
uint32_t MRTU_FirstByteSymbols(int64_t wait_us, int32_t char_us);

// ---- Serial polling worker -------------------------------------------------

// The line's health as the worker sees it: a send that failed with a sign of
// a vanished node marks it lost, and the worker reopens it with back-off.
struct LinkHealth {
  bool lost;
  uint32_t backoff_us;  // wait before the next try
  int64_t next_try_us;  // monotonic
};

// The last exchange that ended without its answer, watched for that answer
// coming late: among the stale bytes before a later send, or dropped in a
// later exchange's wait. Such a reply says the time-out is too short.
struct LateWatch {
  bool armed;
  uint8_t request_length;
  uint8_t request[kFrameSize];  // sealed
  int64_t request_end_us;       // monotonic: when the request had left the line
};

// What one polling worker owns. The process has one, SerialProcessWorker;
// tests, the fuzz target and the benchmark make their own and call the steps
// below on it. The table, SerialMutex and the line are shared by them all.
struct SerialWorker {
  int32_t position = 0;          // record visited next, 0 to 246 (247 for a moment)
  bool idle_walk = true;         // no exchange since the walk last left record 0
  bool walk_marked_slot = true;  // this cycle set a result bit that was clear
  uint32_t walk_generation = 0;  // TableChanged.count when this cycle began
  LinkHealth link = {};
  // The Modbus TCP face is on: its writes go first, and every record's
  // rotation gains a sixth turn, after slots 0 to 4, for the face's reads of
  // that unit. Exchanged on the worker's own slot, never in the table.
  bool face_on = false;
  ExchangeSlot face_slot = {};
  LateWatch late = {};
};

extern SerialWorker SerialProcessWorker;
// The process worker's walk position, by its documented name.
extern int32_t &CountDev;

// What one record visit came to.
enum class Visit {
  kExchanged,  // a slot of the record was exchanged; the closing pause is due
  kPassed,     // every slot seen was idle; the next record follows at once
  kIdleCycle,  // the walk came round without an exchange; rest_when_idle is due
};

// With SerialMutex held (`table`): with the face on, first exchanges a
// pending face write if there is one (the position stays). Else visits
// record w.position (its slots only when one of them is pending): marks idle
// slots unanswered and exchanges the first active one (or, in the face's
// turn, the face's next read of that unit) after its pause (the lock is let
// go during the pause). Wraps the
// position past the last record; a whole cycle without an exchange returns
// kIdleCycle with the position back at 0 and the record not yet visited.
Visit visit_record(SerialWorker &w, Locked &table);

// With SerialMutex held: the rest after a cycle without an exchange. When
// that cycle changed nothing, no request came and the face has no reads to
// poll or writes to send, waits (lock let go) until one is stored, or while
// the line is lost until its reopen is due; then starts the next cycle's
// bookkeeping. The silence pause that follows is the caller's.
void rest_when_idle(SerialWorker &w, Locked &table);

// Without SerialMutex: reopens a lost line once its back-off has passed.
// True when the line is usable (not lost, or back now).
bool reopen_line_if_due(SerialWorker &w);

// With SerialMutex held: one exchange of `s`, a slot of the table or any
// other: discards stale input, sends, waits for the answer, records reply,
// outcome and counts, and applies the mode and lifetime rules. Returns the
// outcome (kResultValid, kResultNoAnswer or kResultBadAnswer), also in s.result.
uint8_t exchange_slot(SerialWorker &w, ExchangeSlot &s);

// The worker thread's body: the steps above on SerialProcessWorker.
void *SerialServer(void *);
// exchange_slot of slot currentSlot of record CountDev, by the process worker.
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

// Results of OpenSerial beside those of TQ708sopen (-2: the node cannot be
// opened or does not take the line settings).
constexpr int kOpenSerialNoLock = -3;    // SerialMutex or TableChanged could not be set up
constexpr int kOpenSerialNoWorker = -4;  // the worker thread could not start

// Opens the line with interface mode 1 and no parity and the settings of
// ModbusRTU (also the reopen after a lost link); TQ708sopen's result.
int open_line();

// Initialises SerialMutex and TableChanged (waits on the monotonic clock):
// 0 or kOpenSerialNoLock. OpenSerial calls it; so does whoever steps a
// worker of its own without it.
int prepare_table_locks();

// Opens the line, derives the timing and starts the worker: 0, a negative
// result of TQ708sopen, or one of the two above, with the line closed again.
int OpenSerial();
int CloseSerial();
