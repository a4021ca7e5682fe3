/* Preloaded after the ThreadSanitizer runtime, for TSan runs only. gcc 12's
   runtime intercepts pthread_join and pthread_timedjoin_np but not
   pthread_clockjoin_np, which the session's close uses for its bounded join:
   a join it never sees leaves the thread registered, and the next thread
   that gets the same id aborts the run ("dup thread with used id"). This
   turns the call into pthread_timedjoin_np with the same deadline on the
   realtime clock, which the runtime does see. */
#define _GNU_SOURCE
#include <pthread.h>
#include <time.h>

int pthread_clockjoin_np(pthread_t thread, void** result, clockid_t clock,
                         const struct timespec* deadline) {
  struct timespec now, real;
  clock_gettime(clock, &now);
  clock_gettime(CLOCK_REALTIME, &real);
  long long left = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                   (deadline->tv_nsec - now.tv_nsec);
  if (left < 0) left = 0;
  long long ns = real.tv_nsec + left;
  real.tv_sec += (time_t)(ns / 1000000000LL);
  real.tv_nsec = (long)(ns % 1000000000LL);
  return pthread_timedjoin_np(thread, result, &real);
}
