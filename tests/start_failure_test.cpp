// A start that fails half-way, by injection: each call the serial link start
// and the server start depend on is made to fail once (the calls are wrapped
// at link time, see tests/CMakeLists.txt). The step returns its result,
// closes what it opened, leaves no thread behind, and the start-up sequence
// ends with status 255.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <termios.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "start.h"
#include "modbusRTU.h"
#include "pelnet.h"
#include "support/engine_support.h"
#include "support/pty.h"
#include "support/unit.h"
#include "tq708port.h"

namespace {

enum class Call { kNone, kTcsetattr, kMutexInit, kCondInit, kThreadStart, kSetsockopt };

// The one failure armed: the call, what it must be made on (nullptr: any),
// and which such call fails (1: the first).
struct Injection {
  Call call = Call::kNone;
  const void *target = nullptr;
  int nth = 1;
  int seen = 0;
};
Injection inject;

bool fires(Call call, const void *target) {
  if (inject.call != call || (inject.target != nullptr && inject.target != target)) return false;
  return ++inject.seen == inject.nth;
}

}  // namespace

extern "C" {
int __real_tcsetattr(int fd, int when, const struct termios *tio);
int __real_pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *a);
int __real_pthread_cond_init(pthread_cond_t *c, const pthread_condattr_t *a);
int __real_pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*body)(void *), void *arg);
int __real_setsockopt(int fd, int level, int name, const void *value, socklen_t size);

int __wrap_tcsetattr(int fd, int when, const struct termios *tio) {
  if (!fires(Call::kTcsetattr, nullptr)) return __real_tcsetattr(fd, when, tio);
  errno = EIO;
  return -1;
}
int __wrap_pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *a) {
  return fires(Call::kMutexInit, m) ? EAGAIN : __real_pthread_mutex_init(m, a);
}
int __wrap_pthread_cond_init(pthread_cond_t *c, const pthread_condattr_t *a) {
  return fires(Call::kCondInit, c) ? EAGAIN : __real_pthread_cond_init(c, a);
}
int __wrap_pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*body)(void *), void *arg) {
  return fires(Call::kThreadStart, reinterpret_cast<const void *>(body)) ? EAGAIN : __real_pthread_create(t, a, body, arg);
}
int __wrap_setsockopt(int fd, int level, int name, const void *value, socklen_t size) {
  if (!fires(Call::kSetsockopt, nullptr)) return __real_setsockopt(fd, level, name, value, size);
  errno = ENOMEM;
  return -1;
}
}

namespace {

int open_descriptors() {
  DIR *d = opendir("/proc/self/fd");
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the folder's own
}

struct FailureRow {
  const char *name;
  Call call;
  const void *target;
  int nth;
  bool server;  // a step of pelnetStart; else of OpenSerial
  int result;
};

TEST(StartFailure, EveryFailedCallEndsTheStartWithItsResultAndClosesWhatItOpened) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  const std::vector<FailureRow> rows = {
      {"first tcsetattr of the line", Call::kTcsetattr, nullptr, 1, false, -2},
      {"second tcsetattr of the line", Call::kTcsetattr, nullptr, 2, false, -2},
      {"SerialMutex", Call::kMutexInit, &SerialMutex, 1, false, kOpenSerialNoLock},
      {"the table's change signal", Call::kCondInit, &SerialProcessLine.changed.signal, 1, false, kOpenSerialNoLock},
      {"worker thread", Call::kThreadStart, reinterpret_cast<const void *>(SerialServer), 1, false,
       kOpenSerialNoWorker},
      {"address reuse", Call::kSetsockopt, nullptr, 1, true, kStartNoSocket},
      {"ServerMutex", Call::kMutexInit, &ServerMutex, 1, true, kStartNoMutex},
      {"listener thread", Call::kThreadStart, reinterpret_cast<const void *>(ListenProcess), 1, true,
       kStartNoListener},
  };
  for (const FailureRow &r : rows) {
    SCOPED_TRACE(r.name);
    vt::configure_line(SerialProcessLine, line, 9600);
    ModbusRTU.ipport = 0;  // any free port
    const int threads = vt::thread_count();
    const int descriptors = open_descriptors();

    inject = {r.call, r.target, r.nth, 0};
    ASSERT_EQ(r.server ? pelnetStart() : OpenSerial(), r.result);
    EXPECT_EQ(vt::thread_count(), threads);
    EXPECT_EQ(open_descriptors(), descriptors) << "a descriptor of the failed start is left open";
    EXPECT_EQ(TQ708sfindFD(ModbusRTU.serialport), -1);
    EXPECT_EQ(SerialWork, 0);
    EXPECT_EQ(listener, -1);
    EXPECT_EQ(MRTUServer.work, 0);

    // The whole start-up: a server that fails finds the serial link up and
    // closes it; either way the status is 255.
    inject = {r.call, r.target, r.nth, 0};
    std::string printed;
    {
      vt::StdoutCapture capture;
      EXPECT_EQ(StartGateway(), 255);
      printed = capture.text();
    }
    EXPECT_NE(printed.find("---- opening serial port  0  res="), std::string::npos);
    EXPECT_EQ(printed.find("---- opening tcp/ip  0 ----") != std::string::npos, r.server);
    inject = {};
    vt::stop_worker(SerialProcessLine);
    EXPECT_TRUE(vt::wait_until([&] { return vt::thread_count() == threads; }, 2000)) << "the worker is still there";
    { Locked settled(SerialMutex); }  // the ended worker's last walk comes before the next start
    EXPECT_EQ(TQ708sfindFD(ModbusRTU.serialport), -1);
    EXPECT_EQ(open_descriptors(), descriptors);
  }
}

}  // namespace
