// The one way the gateway starts a thread.
#pragma once

#include <pthread.h>

// Every thread of the gateway works in fixed buffers of at most a few KiB on
// its stack; the 8 MiB default would cost 90 MiB of address space with ten
// clients on a small target, and ten 64 KiB stacks are well under 1 MiB. The
// sanitizers' runtimes keep their own frames and shadow on the thread's stack
// and need more.
#ifdef BUILT_WITH_SANITIZER
constexpr size_t kThreadStackBytes = 256 * 1024;
#else
constexpr size_t kThreadStackBytes = 64 * 1024;
#endif

// Starts `body(arg)`, detached or joinable: 0, or the error number of the
// attribute call or of pthread_create that failed (no thread then).
inline int start_thread(pthread_t *handle, void *(*body)(void *), void *arg, bool detached) {
  pthread_attr_t attr;
  int r = pthread_attr_init(&attr);
  if (r != 0) return r;
  r = pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
  if (r == 0) r = pthread_attr_setstacksize(&attr, kThreadStackBytes);
  if (r == 0) r = pthread_create(handle, &attr, body, arg);
  pthread_attr_destroy(&attr);
  return r;
}
