// modbusRTU: the serial line the engine drives, as one object. A SerialLine
// holds everything the line owns: its settings record, the table of device
// records and exchange slots with its lock and change notice, the counters,
// the link state and the polling worker. The process has one,
// SerialProcessLine, and the documented names (ModbusRTU, MRTU_SerialData,
// SerialMutex, SerialWork, hSerialServer, CountDev) are its parts. Tests,
// the fuzz target and the benchmark make lines of their own.
//
// The worker's steps are in worker.h, one exchange in exchange.h, the intake
// in intake.h, the extra work a face hands in in work.h.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "counters.h"
#include "frame.h"
#include "locked.h"
#include "offline.h"
#include "work.h"

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

// Fills full_size_sym, time_one_sym and time_silence of `rec` from its
// baudrate, databits and stopbits.
void derive_line_timing(ModbusRTUSettings &rec);

// The line's settings beyond the command line. The app fills them from the
// environment before the line opens; the defaults leave the line as the
// command line alone sets it up.
struct LineOptions {
  bool echo;              // the transceiver hands back what is sent (VELKORD_ECHO)
  uint32_t frame_gap_us;  // the silence that ends a reply; 0: the line's own rule
                          // (VELKORD_FRAME_GAP_US)
  OfflineRules offline{};  // units set aside (VELKORD_OFFLINE_*)
};

// The longest wait for a reply's first byte: a unit that has not begun to
// answer after 10 s is not coming, and the line waits with it. Where 255
// characters take longer (below 300 bit/s) they are the longest.
constexpr int64_t kFirstByteCapUs = 10000000;

// A wait of `wait_us` for the first reply byte in whole characters of
// `char_us`, rounded up: up to 255 as asked, beyond that at most
// kFirstByteCapUs. 0 for a wait of 0 or below. Inline: every request the
// intake files takes it.
inline uint32_t MRTU_FirstByteSymbols(int64_t wait_us, int32_t char_us) {
  constexpr int64_t kSymbolsAlwaysAllowed = 255;
  if (wait_us <= 0) return 0;
  // Before the link is open there is no character time; do not divide by 0.
  const int64_t per_char = char_us > 0 ? char_us : 1;
  const int64_t symbols = (wait_us + per_char - 1) / per_char;
  if (symbols <= kSymbolsAlwaysAllowed) return static_cast<uint32_t>(symbols);
  return static_cast<uint32_t>(std::min(symbols, std::max(kSymbolsAlwaysAllowed, kFirstByteCapUs / per_char)));
}

// ---- Device and slot table -------------------------------------------------

constexpr int kSlotCount = 5;
constexpr int kFrameSize = 256;

// Bits of ExchangeSlot::result.
constexpr uint8_t kResultValid = 0;
constexpr uint8_t kResultNoAnswer = 1;
constexpr uint8_t kResultBadAnswer = 2;

// What timeoutSymbols holds at most.
constexpr uint32_t kMaxTimeoutSymbols = 255;

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

// The table's change count and its signal: the intake counts every request
// it stores and signals it, so a worker resting on an idle table wakes for
// it. Guarded by the table's lock; the condition waits on the monotonic
// clock.
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

// ---- The worker's own state ------------------------------------------------

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

// What the polling worker owns: where its walk is, the idle bookkeeping, the
// line's health, the late-reply watch and the slot it exchanges the extra
// work on (never one of the table's). All zero is a worker that has not
// walked yet, so a line in static storage takes no room in the program file.
struct SerialWorker {
  int32_t position = 0;          // record visited next, 0 to 246 (247 for a moment)
  bool walk_exchanged = false;   // an exchange since the walk last left record 0
  bool walk_unchanged = false;   // this cycle has set no result bit that was clear
  uint32_t walk_generation = 0;  // changed.count when this cycle began
  LinkHealth link = {};
  LateWatch late = {};
  ExchangeSlot extra_slot = {};
  // The earliest retry of an offline unit whose turn this cycle held back
  // (monotonic; 0: none): an idle worker rests no longer than that.
  int64_t held_until_us = 0;
  // After an urgent exchange, the record visits left before the next one may
  // go without a cyclic exchange between them: a whole round, in which any
  // cyclic work that waits comes up.
  int cyclic_owed = 0;
};

// ---- The line --------------------------------------------------------------

// Everything one serial line owns. `mutex` (SerialMutex) guards the table,
// `changed`, `counters`, `reach`, `extra`, `worker_running`, `stopping` and the
// line itself during an exchange; `settings` and `options` are written before the worker
// starts and read without it.
struct SerialLine {
  ModbusRTUSettings settings{};
  LineOptions options{};
  DeviceRecord table[kUnitCount]{};
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  TableChanges changed = {PTHREAD_COND_INITIALIZER, 0, {}};
  LineCounters counters{};
  LineReach reach{};  // which units answer, and the back-off of those that do not
  // Whether the line is open; written by the worker without the lock (a
  // reopen happens in its pauses), so it is atomic.
  std::atomic<bool> link_up{false};
  std::atomic<int32_t> work{0};  // the worker's run flag
  pthread_t thread{};
  bool joinable = false;        // the worker is joined when it stops
  bool worker_running = false;  // until the worker's last step is done
  bool stopping = false;        // line_stop was called: the worker's waits end
  WorkSource extra{};           // the registered source of extra work
  bool extra_on = false;
  // Registrations so far (line_set_work): an exchange taken from a source
  // goes on only while that source is still the one registered.
  uint32_t extra_registration = 0;
  SerialWorker worker{};
};

// The process's line, and its parts by their documented names.
extern SerialLine SerialProcessLine;
extern ModbusRTUSettings &ModbusRTU;
extern DeviceRecord (&MRTU_SerialData)[kUnitCount];
extern pthread_mutex_t &SerialMutex;
extern std::atomic<int32_t> &SerialWork;
extern pthread_t &hSerialServer;
// The process worker's walk position.
extern int32_t &CountDev;

// Takes the line's lock, counts a change and signals it: new work that did
// not come through the intake (a face's) wakes a resting worker. Not to be
// called with the lock held.
void line_signal_changed(SerialLine &line);

// Whether `unit` is offline now (offline.h); takes no lock, so a face asks
// it without waiting for an exchange.
bool line_unit_offline(const SerialLine &line, uint8_t unit);

// Registers `source` as the line's one source of extra work (copied), or
// takes the registered one away (nullptr). Takes the line's lock, so no
// call into the old source is under way when it returns, and none follows:
// an exchange taken from it and still in its pause is dropped. Not to be
// called with the lock held.
void line_set_work(SerialLine &line, const WorkSource *source);

// ---- Serial link start -----------------------------------------------------

// Results of OpenSerial beside those of TQ708sopen (-2: the node cannot be
// opened or does not take the line settings).
constexpr int kOpenSerialNoLock = -3;    // SerialMutex or the change signal could not be set up
constexpr int kOpenSerialNoWorker = -4;  // the worker thread could not start

// Opens the line with interface mode 1 and no parity and the line's
// settings (also the reopen after a lost link); TQ708sopen's result.
int open_line(const SerialLine &line);

// Initialises the line's lock and change signal (waits on the monotonic
// clock): 0 or kOpenSerialNoLock. line_open calls it; so does whoever steps
// a line's worker without starting its thread.
int prepare_table_locks(SerialLine &line);

// Opens the line, derives the timing and starts the worker, detached or to
// be joined by line_join: 0, a negative result of TQ708sopen, or one of the
// two above, with the line closed again.
int line_open(SerialLine &line, bool detached_worker);

// Closes the line's port: TQ708sclose's result. The worker goes on.
int line_close(SerialLine &line);

// Clears the run flag and wakes the worker wherever it waits; it ends once
// the step it is in is done.
void line_stop(SerialLine &line);

// After line_stop: waits until the worker has ended (joins it when it is
// joinable), at most about 12 s, the longest step. False when it has not.
bool line_join(SerialLine &line);

// line_open and line_close of the process's line; its worker is detached.
int OpenSerial();
int CloseSerial();
