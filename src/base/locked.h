// The one way the gateway holds a mutex: for a scope, so every return lets
// go of it. SerialMutex and ServerMutex are both held through Locked.
#pragma once

#include <pthread.h>
#include <time.h>

// Sets `cond` up to measure its waits on the monotonic clock, the clock of
// every deadline the gateway keeps (Locked::wait_until): 0, or the error
// number of the call that failed (the condition is not usable then).
inline int init_monotonic_cond(pthread_cond_t &cond) {
  pthread_condattr_t attr;
  int r = pthread_condattr_init(&attr);
  if (r != 0) return r;
  r = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (r == 0) r = pthread_cond_init(&cond, &attr);
  pthread_condattr_destroy(&attr);
  return r;
}

class Locked {
 public:
  explicit Locked(pthread_mutex_t &mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~Locked() { pthread_mutex_unlock(&mutex_); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;

  // Waits for `cond` with the lock let go, for as long as it takes.
  void wait(pthread_cond_t &cond) { pthread_cond_wait(&cond, &mutex_); }

  // Waits for `cond` with the lock let go until `deadline` (on the clock the
  // condition was made with); pthread_cond_timedwait's result.
  int wait_until(pthread_cond_t &cond, const struct timespec &deadline) {
    return pthread_cond_timedwait(&cond, &mutex_, &deadline);
  }

 private:
  friend class Unlocked;
  pthread_mutex_t &mutex_;
};

// The other side of a Locked: the lock let go for a scope, and taken back at
// its end, so the holder's window for other threads has a visible extent.
class Unlocked {
 public:
  explicit Unlocked(Locked &held) : mutex_(held.mutex_) { pthread_mutex_unlock(&mutex_); }
  ~Unlocked() { pthread_mutex_lock(&mutex_); }
  Unlocked(const Unlocked &) = delete;
  Unlocked &operator=(const Unlocked &) = delete;

 private:
  pthread_mutex_t &mutex_;
};
