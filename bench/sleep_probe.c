/* A probe preloaded into velkord by scripts/bench (LD_PRELOAD): every
 * nanosleep and clock_nanosleep the gateway makes is stamped with the
 * thread, the time asked for and the time it really took, measured on
 * CLOCK_MONOTONIC around the real call. For a sleep until a deadline the
 * time asked for is the deadline less the moment of the call. Every
 * pthread_mutex_lock that had to wait is stamped too, with the time it
 * waited, so a bench can tell a thread kept off the processor from one kept
 * waiting for a lock. The records go to a file mapped shared, so they are
 * complete even when the gateway is killed. Without SLEEP_PROBE_FILE it only
 * passes the calls through.
 *
 * File layout: a 64-byte header whose first 8 bytes count the records
 * written, then records of four little-endian int64: start ns, asked ns,
 * took ns, thread id (plus ABSOLUTE_FLAG for a sleep until a deadline, or
 * LOCK_FLAG for a lock that waited; its asked ns is then the lock's
 * address, which tells the locks apart). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define HEADER_BYTES 64
#define RECORD_WORDS 4
#define CAPACITY (1u << 20) /* records: 32 MiB of file, written as used */
#define ABSOLUTE_FLAG (1LL << 40)
#define LOCK_FLAG (1LL << 41)

static int (*real_nanosleep)(const struct timespec *, struct timespec *);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
static int (*real_mutex_lock)(pthread_mutex_t *);
static int (*real_mutex_trylock)(pthread_mutex_t *);
static int64_t *header;
static int64_t *records;

static void find_real_calls(void) {
  real_nanosleep = (int (*)(const struct timespec *, struct timespec *))dlsym(RTLD_NEXT, "nanosleep");
  real_clock_nanosleep = (int (*)(clockid_t, int, const struct timespec *, struct timespec *))dlsym(
      RTLD_NEXT, "clock_nanosleep");
  real_mutex_lock = (int (*)(pthread_mutex_t *))dlsym(RTLD_NEXT, "pthread_mutex_lock");
  real_mutex_trylock = (int (*)(pthread_mutex_t *))dlsym(RTLD_NEXT, "pthread_mutex_trylock");
}

__attribute__((constructor)) static void probe_start(void) {
  find_real_calls();
  const char *path = getenv("SLEEP_PROBE_FILE");
  if (path == NULL || *path == '\0') return;
  size_t bytes = HEADER_BYTES + (size_t)CAPACITY * RECORD_WORDS * sizeof(int64_t);
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (ftruncate(fd, (off_t)bytes) != 0) {
    close(fd);
    return;
  }
  void *map = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return;
  header = (int64_t *)map;
  records = (int64_t *)((char *)map + HEADER_BYTES);
}

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void note(int64_t t0, int64_t asked, int64_t t1, int64_t flags) {
  if (header == NULL) return;
  uint64_t i = __atomic_fetch_add((uint64_t *)header, 1, __ATOMIC_RELAXED);
  if (i >= CAPACITY) return;
  int64_t *rec = records + i * RECORD_WORDS;
  rec[0] = t0;
  rec[1] = asked;
  rec[2] = t1 - t0;
  rec[3] = (int64_t)syscall(SYS_gettid) | flags;
}

static int64_t ns_of(const struct timespec *t) { return (int64_t)t->tv_sec * 1000000000 + t->tv_nsec; }

int nanosleep(const struct timespec *req, struct timespec *rem) {
  if (real_nanosleep == NULL) find_real_calls();
  int64_t t0 = now_ns();
  int r = real_nanosleep(req, rem);
  note(t0, ns_of(req), now_ns(), 0);
  return r;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem) {
  if (real_clock_nanosleep == NULL) find_real_calls();
  int64_t t0 = now_ns();
  int r = real_clock_nanosleep(clock, flags, req, rem);
  int64_t t1 = now_ns();
  if (clock == CLOCK_MONOTONIC && (flags & TIMER_ABSTIME))
    note(t0, ns_of(req) - t0, t1, ABSOLUTE_FLAG);
  else if (!(flags & TIMER_ABSTIME))
    note(t0, ns_of(req), t1, 0);
  return r;
}

/* A lock taken at once costs a try and is not recorded; one that must wait
 * is stamped from the try to the moment it is held. */
int pthread_mutex_lock(pthread_mutex_t *mutex) {
  if (real_mutex_lock == NULL) find_real_calls();
  if (header == NULL) return real_mutex_lock(mutex);
  int r = real_mutex_trylock(mutex);
  if (r != EBUSY) return r;
  int64_t t0 = now_ns();
  r = real_mutex_lock(mutex);
  note(t0, (int64_t)(intptr_t)mutex, now_ns(), LOCK_FLAG);
  return r;
}
