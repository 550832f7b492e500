// start: what the gateway does from its entry on. It reads the command line,
// echoes the settings and brings the serial link and the TCP server up; then
// the worker threads do the work.
#include "start.h"

#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "environment.h"
#include "modbusRTU.h"
#include "modbustcp.h"
#include "net.h"
#include "pelnet.h"
#include "rtuovertcp.h"
#include "sleep_us.h"
#include "snapshot.h"
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

// ---- What the app owns -----------------------------------------------------

// The app's own state once the gateway runs, in static storage: the status
// server and the summary's snapshot are large.
struct Gateway {
  VelkordSettings env;  // read before anything opens, then only read
  ModbusTcpFace modbus_tcp;     // with the pool both Modbus faces share
  RtuOverTcpFace rtu_over_tcp;  // on that pool
  GatewayFacts facts = {kVersion, 0, &NativeProcessServer, &modbus_tcp, &rtu_over_tcp, &env.write_allow, &modbus_tcp.pool};
  StatusServer status;
  StatusSnapshot summary;     // SIGUSR1's, filled on the main thread
  char error[kEnvErrorSize];  // the line of a start-up step that failed
};

Gateway ProcessGateway;

// A step's failure line: written into the gateway's buffer and returned.
__attribute__((format(printf, 2, 3))) const char *step_failed(Gateway &g, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g.error, sizeof g.error, format, args);
  va_end(args);
  return g.error;
}

// The line of a start that failed, on standard error.
void report(const char *line) { fprintf(stderr, "%s\n", line); }

// ---- The Modbus faces ------------------------------------------------------

// Every server binds the same kind of socket: a face on a port another of
// the gateway's servers uses would take it, and that server would fail
// without saying why.
const char *face_port_taken(Gateway &g, const VelkordSettings &env) {
  const uint16_t native = static_cast<uint16_t>(ModbusRTU.ipport);
  if (env.modbus_tcp_on && env.modbus_tcp.port == native)
    return step_failed(g, "VELKORD_MODBUS_TCP=\"%u\": the native server's port (-p); choose another",
                       static_cast<unsigned>(env.modbus_tcp.port));
  const struct {
    bool on;
    uint16_t port;
    const char *whose;
  } others[] = {{env.rtu_over_tcp_on, native, "the native server's port (-p)"},
                {env.rtu_over_tcp_on && env.modbus_tcp_on, env.modbus_tcp.port, "the port of VELKORD_MODBUS_TCP"},
                {env.rtu_over_tcp_on && env.status_on, env.status.port, "the port of VELKORD_STATUS"}};
  for (const auto &other : others)
    if (other.on && other.port == env.rtu_over_tcp.port)
      return step_failed(g, "VELKORD_RTU_OVER_TCP=\"%u\": %s; choose another",
                         static_cast<unsigned>(env.rtu_over_tcp.port), other.whose);
  return nullptr;
}

// The settings of both Modbus faces, listening on `endpoint`.
ModbusTcpSettings face_settings(const VelkordSettings &env, const NetEndpoint &endpoint) {
  ModbusTcpSettings s;
  s.endpoint = endpoint;
  if (env.modbus_tcp_wait_ms != 0) s.wait_ms = env.modbus_tcp_wait_ms;
  if (env.modbus_tcp_max_age_ms != 0) s.max_age_ms = env.modbus_tcp_max_age_ms;
  if (env.modbus_tcp_idle_ms != 0) s.idle_ms = env.modbus_tcp_idle_ms;
  if (env.modbus_tcp_timeout_ms != 0) s.timeout_ms = env.modbus_tcp_timeout_ms;
  s.allow = &env.allow;
  s.write_allow = &env.write_allow;
  return s;
}

// A face's failed step as the line that names its variable and where.
const char *face_failed(Gateway &g, const char *variable, const NetEndpoint &endpoint, const char *error) {
  char where[kEndpointTextSize];
  net_format_endpoint(endpoint, where, sizeof where);
  return step_failed(g, "%s=\"%s\": %s", variable, where, error);
}

// The faces' sockets are bound before the native server starts, and served
// only after it: a port that cannot be had ends the start before any client
// of any server is served. The RTU over TCP face shares the Modbus TCP
// face's pool, and starts it itself when that face is off.
const char *bind_modbus_faces(Gateway &g, const VelkordSettings &env) {
  if (env.modbus_tcp_on) {
    if (const char *error = modbustcp_bind(g.modbus_tcp, face_settings(env, env.modbus_tcp)))
      return face_failed(g, "VELKORD_MODBUS_TCP", env.modbus_tcp, error);
  }
  if (env.rtu_over_tcp_on) {
    if (const char *error = rtuovertcp_bind(g.rtu_over_tcp, g.modbus_tcp.pool, face_settings(env, env.rtu_over_tcp)))
      return face_failed(g, "VELKORD_RTU_OVER_TCP", env.rtu_over_tcp, error);
  }
  return nullptr;
}

// Each face serving, with its start-up line, the Modbus TCP face's first.
const char *serve_modbus_faces(Gateway &g, const VelkordSettings &env) {
  char where[kEndpointTextSize];
  if (env.modbus_tcp_on) {
    if (const char *error = modbustcp_serve(g.modbus_tcp, SerialProcessLine))
      return step_failed(g, "VELKORD_MODBUS_TCP: %s", error);
    net_format_endpoint(modbustcp_endpoint(g.modbus_tcp), where, sizeof where);
    printf("---- modbus tcp  %s ---\r\n", where);
  }
  if (env.rtu_over_tcp_on) {
    if (const char *error = rtuovertcp_serve(g.rtu_over_tcp, SerialProcessLine))
      return step_failed(g, "VELKORD_RTU_OVER_TCP: %s", error);
    net_format_endpoint(rtuovertcp_endpoint(g.rtu_over_tcp), where, sizeof where);
    printf("---- rtu over tcp  %s ---\r\n", where);
  }
  return nullptr;
}

// Both faces and their pool, as far as they were started (bound or served).
void stop_modbus_faces(Gateway &g) {
  rtuovertcp_stop(g.rtu_over_tcp);
  modbustcp_stop(g.modbus_tcp);
}

// ---- The status face ------------------------------------------------------

bool to_stdout(void *, const char *data, size_t length) { return fwrite(data, 1, length, stdout) == length; }

// SIGUSR1: the per-unit summary on standard output, for devices where no
// port may be opened for the status server.
void print_unit_summary(Gateway &g) {
  status_snapshot_reset(g.summary);
  g.summary.taken_unix_us = unix_time_us();
  fill_status(g.summary, &g.facts);
  char buffer[4096];
  TextOut out(buffer, sizeof buffer, to_stdout);
  render_unit_summary(g.summary, out);
  out.flush();
  fflush(stdout);
}

// A start that failed once the serial link was open: its worker ends and
// the line closes, so the worker cannot open the line again behind the
// start's back before the process ends.
void abandon_line() {
  line_stop(SerialProcessLine);
  CloseSerial();
}

// A start that failed once the native server listened: its listener, then
// the serial worker and the line go again before the start ends with 255.
void abandon_gateway() {
  native_stop(NativeProcessServer);
  abandon_line();
}

// Starts the status server when VELKORD_STATUS asks for one; its line when
// its port cannot be bound.
const char *start_status_face(Gateway &g, const VelkordSettings &env) {
  if (!env.status_on) return nullptr;
  g.status.allow = &env.allow;
  char where[kEndpointTextSize];
  net_format_endpoint(env.status, where, sizeof where);
  if (const char *error = status_start(g.status, env.status, fill_status, &g.facts))
    return step_failed(g, "VELKORD_STATUS=\"%s\": %s", where, error);
  printf("---- status  %s ---\r\n", where);
  return nullptr;
}

// The main thread's work once the gateway runs: it waits for SIGUSR1, which
// every thread blocks, so the signal is taken here and nowhere else.
[[noreturn]] void serve_signals(Gateway &g, const sigset_t &wanted) {
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&wanted, &info) == SIGUSR1) print_unit_summary(g);
  }
}

// ---- The servers ------------------------------------------------------------

// The native server and, when asked for, the Modbus faces (bound first) and
// the status server, each with its start-up line. 0, or 255 after the
// failed step's line, with everything started so far ended again.
int start_servers(Gateway &g, const VelkordSettings &env) {
  if (const char *failed = bind_modbus_faces(g, env)) {
    report(failed);
    stop_modbus_faces(g);
    abandon_line();
    return kStatusStartFailed;
  }
  NativeProcessServer.settings.listen = env.listen;
  NativeProcessServer.settings.allow = &env.allow;
  NativeProcessServer.settings.write_allow = &env.write_allow;
  int server = pelnetStart();
  printf("---- opening tcp/ip  %u ----\r\n", static_cast<unsigned>(ModbusRTU.ipport));
  if (server != 0) {
    stop_modbus_faces(g);
    abandon_line();
    return kStatusStartFailed;
  }
  const char *failed = serve_modbus_faces(g, env);
  if (failed == nullptr) failed = start_status_face(g, env);
  if (failed != nullptr) {
    report(failed);
    stop_modbus_faces(g);
    abandon_gateway();
    return kStatusStartFailed;
  }
  return 0;
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

const char *TakeEnvironment() {
  Gateway &g = ProcessGateway;
  VelkordSettings &env = g.env;
  if (const char *refused = ReadEnvironment(ProcessEnvironment, nullptr, env, g.error, sizeof g.error))
    return refused;
  if (const char *taken = face_port_taken(g, env)) return taken;
  TQ708sSetRs485(ModbusRTU.serialport, env.rs485_on ? &env.rs485 : nullptr);
  SerialProcessLine.options = {env.echo, env.frame_gap_us, env.offline};
  return nullptr;
}

int StartGateway() {
  int res = OpenSerial();
  printf("---- opening serial port  %u  res=%i ---\r\n", static_cast<unsigned>(ModbusRTU.serialport), res);
  if (res != 0) return kStatusStartFailed;
  printf("-- full_size_sym (bits) %i\r\n", ModbusRTU.full_size_sym);
  printf("-- time_one_sym (uS) %i\r\n", ModbusRTU.time_one_sym);
  printf("-- time_silence (uS) %i\r\n", ModbusRTU.time_silence);
  printf("-- res serial open %i\r\n", res);
  if (start_servers(ProcessGateway, ProcessGateway.env) != 0) return kStatusStartFailed;
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGUSR1);
  serve_signals(ProcessGateway, wanted);
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
  ProcessGateway.facts.start_unix_us = unix_time_us();
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
  if (const char *refused = TakeEnvironment()) {
    report(refused);
    return kStatusStartFailed;
  }
  return StartGateway();
}
