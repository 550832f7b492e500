// modbusRTU: the serial line as one object. The process's line and its
// documented names, the line timing, the start and the stop of the line and
// its worker.
//
// One table holds, for each unit address 1 to 247, five exchange slots.
// Client handlers file request frames into slots through the intake and
// read back the last valid answer; the polling worker SerialServer repeats
// every active slot's exchange on the serial line and records the answers.
// The line's lock guards the table and the line; the worker lets go of it
// only while it pauses, which is when clients get in.
#include "modbusRTU.h"

#include <algorithm>
#include <cerrno>

#include "sleep_us.h"
#include "thread_start.h"
#include "tq708port.h"
#include "worker.h"

SerialLine SerialProcessLine;
ModbusRTUSettings &ModbusRTU = SerialProcessLine.settings;
DeviceRecord (&MRTU_SerialData)[kUnitCount] = SerialProcessLine.table;
pthread_mutex_t &SerialMutex = SerialProcessLine.mutex;
std::atomic<int32_t> &SerialWork = SerialProcessLine.work;
pthread_t &hSerialServer = SerialProcessLine.thread;
int32_t &CountDev = SerialProcessLine.worker.position;

// ---- Line timing -----------------------------------------------------------

void derive_line_timing(ModbusRTUSettings &rec) {
  rec.full_size_sym = rec.databits + rec.stopbits + 2;
  // Without "-br" the baud rate is 0 and the formula would divide by zero.
  // The serial library opens such a line at its lowest rate, 50 bit/s, so the
  // timing follows the rate the line really runs at. For every rate the
  // command line accepts this is the rate itself.
  int32_t rate = TQ708sLineRate(rec.baudrate);
  // The precisions of each step are part of the result: units and clients
  // were tuned against these exact values (110 bit/s gives 99999, not 100000).
  float baud = static_cast<float>(rate);
  float bits = static_cast<float>(rec.full_size_sym);
  float seconds_per_bit = static_cast<float>(1.0 / static_cast<double>(baud));
  float seconds_per_char = bits * seconds_per_bit;
  float us_per_char = static_cast<float>(static_cast<double>(seconds_per_char) * 1000000.0);
  rec.time_one_sym = static_cast<int32_t>(us_per_char);
  rec.time_silence = rec.time_one_sym * 4;
}

// ---- Changes and extra work ------------------------------------------------

void line_signal_changed(SerialLine &line) {
  Locked table(line.mutex);
  ++line.changed.count;
  // A resting worker and one in a long pause both wait on this signal.
  pthread_cond_broadcast(&line.changed.signal);
}

bool line_unit_offline(const SerialLine &line, uint8_t unit) { return offline_now(line.reach, unit); }

void line_set_work(SerialLine &line, const WorkSource *source) {
  Locked table(line.mutex);
  line.extra_on = source != nullptr;
  line.extra = source != nullptr ? *source : WorkSource{};
  ++line.extra_registration;
  ++line.changed.count;
  pthread_cond_broadcast(&line.changed.signal);
}

// ---- Serial link start -----------------------------------------------------

namespace {

// The longest a stop waits for the worker: a pause before an exchange ends
// at the stop, an exchange's wait for the first byte lasts at most 10 s.
constexpr int64_t kWorkerEndWaitUs = 12000000;

}  // namespace

// The line's settings are those of the command line, always with interface
// mode 1 and no parity: the first open and every reopen ask for the same.
int open_line(const SerialLine &line) {
  constexpr int kInterfaceMode = 1;
  constexpr int kParityNone = 0;
  const ModbusRTUSettings &rtu = line.settings;
  return TQ708sopen(rtu.serialport, kInterfaceMode, rtu.baudrate, kParityNone, rtu.databits, rtu.stopbits);
}

int prepare_table_locks(SerialLine &line) {
  if (pthread_mutex_init(&line.mutex, nullptr) != 0) return kOpenSerialNoLock;
  // The change signal's waits are deadlines on the monotonic clock.
  return init_monotonic_cond(line.changed.signal) == 0 ? 0 : kOpenSerialNoLock;
}

int line_open(SerialLine &line, bool detached_worker) {
  int res = open_line(line);
  if (res < 0) return res;
  derive_line_timing(line.settings);
  line.worker = SerialWorker{};
  int prepared = prepare_table_locks(line);
  if (prepared != 0) {
    line_close(line);
    return prepared;
  }
  line.work = 1;
  line.stopping = false;
  line.worker_running = true;
  line.joinable = !detached_worker;
  line.link_up.store(true, std::memory_order_relaxed);
  if (start_thread(&line.thread, SerialServer, &line, detached_worker) != 0) {
    line.work = 0;
    line.worker_running = false;
    line_close(line);
    return kOpenSerialNoWorker;
  }
  return res;
}

int line_close(SerialLine &line) {
  line.link_up.store(false, std::memory_order_relaxed);
  return TQ708sclose(line.settings.serialport);
}

void line_stop(SerialLine &line) {
  Locked table(line.mutex);
  line.work = 0;
  line.stopping = true;
  pthread_cond_broadcast(&line.changed.signal);
}

bool line_join(SerialLine &line) {
  bool ended;
  {
    const struct timespec deadline = timespec_from_us(monotonic_us() + kWorkerEndWaitUs);
    Locked table(line.mutex);
    while (line.worker_running && table.wait_until(line.changed.signal, deadline) != ETIMEDOUT) {
    }
    ended = !line.worker_running;
  }
  if (ended && line.joinable) {
    pthread_join(line.thread, nullptr);
    line.joinable = false;
  }
  return ended;
}

int OpenSerial() { return line_open(SerialProcessLine, true); }

int CloseSerial() { return line_close(SerialProcessLine); }
