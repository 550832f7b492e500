// start: what the gateway does from its entry on. It reads the command line,
// echoes the settings and brings the serial link and the TCP server up; then
// the worker threads do the work.
#include "start.h"

#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "environment.h"
#include "modbusRTU.h"
#include "modbustcp.h"
#include "pelnet.h"
#include "sleep_us.h"
#include "status.h"
#include "tq708port.h"

namespace {

constexpr const char *kVersion = "01.02.03";
constexpr const char *kVersionDate = "20.02.2018";

constexpr const char *kUsage =
    "velkord <parameters> :\n\n"
    "    --help          - current info\n"
    "    --version       - vetsion and date of modifications\n\n"
    "    -sp             - number of serial port 0...N (for tervik use devices /dev/ttyM<num>)\n"
    "    -br             - baudrate: 110 300 1200 2400 4800 9600 19200 38400 57600 115200 230400 "
    "460800 500000 576000 921600\n"
    "    -db             - databits: 5 6 7 8\n"
    "    -sb             - stop bits: 1 2\n\n"
    "    -p              - tcp port for listen\n\r\n";

constexpr int kStatusNoArguments = 1;
constexpr int kStatusMissingValue = 2;
constexpr int kStatusBadValue = 3;
constexpr int kStatusUnknownOption = 4;
constexpr int kStatusStartFailed = 255;

// The range tests compare unsigned, so negative values fall out with the rest.
bool accept_port(int32_t v) { return static_cast<uint32_t>(v) <= 3; }
bool accept_databits(int32_t v) { return static_cast<uint32_t>(v) - 5u <= 3u; }
bool accept_stopbits(int32_t v) { return static_cast<uint32_t>(v) - 1u <= 1u; }
bool accept_tcp_port(int32_t v) { return v != 0; }

bool accept_baudrate(int32_t v) {
  static const int32_t rates[] = {110,    300,    1200,   2400,   4800,   9600,   19200, 38400,
                                  57600,  115200, 230400, 460800, 500000, 576000, 921600};
  for (int32_t r : rates)
    if (v == r) return true;
  return false;
}

struct ValuedOption {
  const char *name;
  int32_t *field;
  bool (*accept)(int32_t);
  int missing_status;  // returned when the option is the last argument
};

// "-sb" as the last argument returns -2 from the entry point (status 254),
// unlike the other options; scripts may test for it.
const ValuedOption kOptions[] = {
    {"-sp", &ModbusRTU.serialport, accept_port, kStatusMissingValue},
    {"-br", &ModbusRTU.baudrate, accept_baudrate, kStatusMissingValue},
    {"-db", &ModbusRTU.databits, accept_databits, kStatusMissingValue},
    {"-sb", &ModbusRTU.stopbits, accept_stopbits, -2},
    {"-p", &ModbusRTU.ipport, accept_tcp_port, kStatusMissingValue},
};

const ValuedOption *find_option(const char *arg) {
  for (const ValuedOption &o : kOptions)
    if (strcmp(arg, o.name) == 0) return &o;
  return nullptr;
}

// ---- The Modbus TCP face ----------------------------------------------------

// Both servers bind the same kind of socket: on one port the face's bind
// would take it and the native server would fail without saying why.
bool face_port_free(const VelkordSettings &env, char *error, size_t size) {
  if (!env.modbus_tcp_on || env.modbus_tcp.port != static_cast<uint16_t>(ModbusRTU.ipport)) return true;
  snprintf(error, size, "VELKORD_MODBUS_TCP=\"%u\": the native server's port (-p); choose another",
           static_cast<unsigned>(env.modbus_tcp.port));
  return false;
}

ModbusTcpSettings face_settings(const VelkordSettings &env) {
  ModbusTcpSettings s;
  s.endpoint = env.modbus_tcp;
  if (env.modbus_tcp_wait_ms != 0) s.wait_ms = env.modbus_tcp_wait_ms;
  if (env.modbus_tcp_max_age_ms != 0) s.max_age_ms = env.modbus_tcp_max_age_ms;
  if (env.modbus_tcp_idle_ms != 0) s.idle_ms = env.modbus_tcp_idle_ms;
  s.char_time_us = ModbusRTU.time_one_sym;
  s.wake_worker = signal_table_changed;
  s.allow = &env.allow;
  return s;
}

// The face's socket is bound before the native server starts, and served
// only after it: a port that cannot be had ends the start before any client
// of either server is served.
bool bind_modbus_tcp(const VelkordSettings &env) {
  int err = modbustcp_bind(face_settings(env));
  if (err == 0) return true;
  char where[kEndpointTextSize];
  net_format_endpoint(env.modbus_tcp, where, sizeof where);
  fprintf(stderr, "VELKORD_MODBUS_TCP=\"%s\": cannot listen there: %s\n", where, strerror(err));
  return false;
}

bool serve_modbus_tcp() {
  {
    Locked table(SerialMutex);
    SerialProcessWorker.face_on = true;
  }
  int err = modbustcp_serve();
  if (err != 0) {
    fprintf(stderr, "VELKORD_MODBUS_TCP: the listener cannot start: %s\n", strerror(err));
    return false;
  }
  char where[kEndpointTextSize];
  net_format_endpoint(modbustcp_endpoint(), where, sizeof where);
  printf("---- modbus tcp  %s ---\r\n", where);
  return true;
}

// ---- The status face ------------------------------------------------------

// What the status face shows besides the engine's counters.
struct GatewayFacts {
  int64_t start_unix_us;
};

// The Modbus TCP face's connections and answers; its counters are atomics
// of its own, so no lock is taken. It counts the rare exception codes above
// 15 together; they show under 0x80.
void copy_modbus_tcp_status(ProtocolStatus &p) {
  const ModbusTcpCounters c = modbustcp_counters();
  p.connected = static_cast<uint32_t>(c.connected);
  p.accepted = c.accepted;
  p.refused = c.refused;
  p.full = c.full;
  for (int code = 0; code < kFaceStatusOther; ++code) p.requests[code] = c.by_status[code];
  p.requests[0x80] = c.by_status[kFaceStatusOther];
}

// The provider of the status snapshot: each module copies its part under its
// own lock, one after the other, so no two locks are ever held together.
void fill_status(StatusSnapshot &s, void *context) {
  const GatewayFacts &facts = *static_cast<const GatewayFacts *>(context);
  snprintf(s.version, sizeof s.version, "%s", kVersion);
  s.start_unix_us = facts.start_unix_us;
  if (!TQ708sDeviceName(ModbusRTU.serialport, s.device, sizeof s.device)) s.device[0] = '\0';
  const int64_t now_us = monotonic_us();
  MRTU_CopyStatus(s, now_us);
  pelnet_copy_status(s, now_us);
  copy_modbus_tcp_status(s.protocols[kProtocolModbusTcp]);
}

GatewayFacts Facts;

bool to_stdout(void *, const char *data, size_t length) { return fwrite(data, 1, length, stdout) == length; }

// SIGUSR1: the per-unit summary on standard output, for devices where no
// port may be opened for the status server.
void print_unit_summary() {
  static StatusSnapshot summary;  // 100 KiB: static, not on the main stack
  status_snapshot_reset(summary);
  summary.taken_unix_us = unix_time_us();
  fill_status(summary, &Facts);
  char buffer[4096];
  TextOut out(buffer, sizeof buffer, to_stdout);
  render_unit_summary(summary, out);
  out.flush();
  fflush(stdout);
}

// A status server that could not start: the serial worker, the line and the
// TCP listener go again before the start ends with 255.
void abandon_gateway() {
  {
    Locked held(ServerMutex);
    MRTUServer.work = 0;
  }
  // Shutting the listening socket down wakes the listener's wait; it sees the
  // flag and ends, and is joined before its socket is closed under it.
  shutdown(listener, SHUT_RDWR);
  pthread_join(hListenProcess, nullptr);
  close(listener);
  SerialWork = 0;
  CloseSerial();
}

// Starts the status server when VELKORD_STATUS asks for one; false, after one
// line on standard error, when its port cannot be bound.
bool start_status_face() {
  if (!VelkordEnv.status_on) return true;
  static StatusServer server;  // the server's buffers: static storage
  server.allow = &VelkordEnv.allow;
  char where[kEndpointTextSize];
  net_format_endpoint(VelkordEnv.status, where, sizeof where);
  if (const char *error = status_start(server, VelkordEnv.status, fill_status, &Facts)) {
    fprintf(stderr, "VELKORD_STATUS=\"%s\": %s\n", where, error);
    return false;
  }
  printf("---- status  %s ---\r\n", where);
  return true;
}

// The main thread's work once the gateway runs: it waits for SIGUSR1, which
// every thread blocks, so the signal is taken here and nowhere else.
[[noreturn]] void serve_signals(const sigset_t &wanted) {
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&wanted, &info) == SIGUSR1) print_unit_summary();
  }
}

}  // namespace

int ParseCommandLine(int argc, char **argv) {
  if (argc < 2) {
    printf("\nParametrs not defined!\r\n");
    printf("\"--help\" for information\n");
    return kStatusNoArguments;
  }
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      printf("%s", kUsage);
      return 0;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("\nvelkordS: version:%s date:%s\n", kVersion, kVersionDate);
      return 0;
    }
    const ValuedOption *o = find_option(argv[i]);
    if (!o) return kStatusUnknownOption;
    if (++i >= argc) return o->missing_status;
    *o->field = atoi(argv[i]);
    if (!o->accept(*o->field)) return kStatusBadValue;
  }
  return kGoOn;
}

void PrintSettings() {
  printf("--serialport  %i\r\n", ModbusRTU.serialport);
  printf("--baudrate    %i\r\n", ModbusRTU.baudrate);
  printf("--databits    %i\r\n", ModbusRTU.databits);
  printf("--stopbits    %i\r\n", ModbusRTU.stopbits);
  printf("--ip port     %i\r\n", ModbusRTU.ipport);
}

bool TakeEnvironment() {
  char error[kEnvErrorSize];
  if (!ReadEnvironment(ProcessEnvironment, nullptr, VelkordEnv, error, sizeof error) ||
      !face_port_free(VelkordEnv, error, sizeof error)) {
    fprintf(stderr, "%s\n", error);
    return false;
  }
  TQ708sSetRs485(ModbusRTU.serialport, VelkordEnv.rs485_on ? &VelkordEnv.rs485 : nullptr);
  return true;
}

int StartGateway() {
  int res = OpenSerial();
  printf("---- opening serial port  %u  res=%i ---\r\n", static_cast<unsigned>(ModbusRTU.serialport), res);
  if (res != 0) return kStatusStartFailed;
  printf("-- full_size_sym (bits) %i\r\n", ModbusRTU.full_size_sym);
  printf("-- time_one_sym (uS) %i\r\n", ModbusRTU.time_one_sym);
  printf("-- time_silence (uS) %i\r\n", ModbusRTU.time_silence);
  printf("-- res serial open %i\r\n", res);

  const bool face = VelkordEnv.modbus_tcp_on;
  if (face && !bind_modbus_tcp(VelkordEnv)) {
    CloseSerial();
    return kStatusStartFailed;
  }
  int server = pelnetStart();
  printf("---- opening tcp/ip  %u ----\r\n", static_cast<unsigned>(ModbusRTU.ipport));
  if (server != 0 || (face && !serve_modbus_tcp())) {
    modbustcp_stop();
    CloseSerial();
    return kStatusStartFailed;
  }
  if (!start_status_face()) {
    modbustcp_stop();
    abandon_gateway();
    return kStatusStartFailed;
  }
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGUSR1);
  serve_signals(wanted);
}

int RunGateway(int argc, char **argv) {
  // The gateway is only ever stopped by a signal: with a fully buffered pipe
  // or log file everything it printed would be lost with it.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // The gateway allocates nothing itself, but glibc allocates a thread's
  // descriptor when the listener starts a handler, and gives the listener an
  // arena of its own for it: 64 MiB of address space for a few hundred bytes.
  mallopt(M_ARENA_MAX, 1);
  // A client that resets its connection must never take the process down.
  signal(SIGPIPE, SIG_IGN);
  Facts.start_unix_us = unix_time_us();
  // SIGUSR1 asks for the unit summary. It is blocked before any thread
  // starts, so every thread inherits the mask and only the main thread's
  // sigwaitinfo takes it; unblocked anywhere, it would end the process.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  if (pthread_sigmask(SIG_BLOCK, &usr1, nullptr) != 0) return kStatusStartFailed;

  int status = ParseCommandLine(argc, argv);
  if (status != kGoOn) return status;
  PrintSettings();
  // The command line is echoed whatever the environment holds, so the log
  // shows what was asked for; nothing is opened before both are accepted.
  if (!TakeEnvironment()) return kStatusStartFailed;
  return StartGateway();
}
