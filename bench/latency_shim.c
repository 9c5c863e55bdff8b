/* An LD_PRELOAD library that makes every directory read and stat wait a set time first,
 * as a round trip to a network file system would:
 *
 *   KZ_LATENCY_US=100 LD_PRELOAD=build/bench/liblatency_shim.so ifind --single-stats ...
 *
 * It covers the calls the scanner makes for its metadata (getdents64 through syscall(),
 * openat of directories, fstat, fstatat, statx); stats through the kernel's submission
 * ring pass unseen, hence --single-stats. The wait is a sleep, not a spin: a remote
 * file system's latency costs the client no processor time. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static long delay_ns = -1;

static void wait_a_round_trip(void) {
  if (delay_ns < 0) {
    const char* v = getenv("KZ_LATENCY_US");
    delay_ns = v ? atol(v) * 1000L : 0;
  }
  if (delay_ns > 0) {
    struct timespec ts = {delay_ns / 1000000000L, delay_ns % 1000000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
  }
}

#define REAL(name, type) static type real_##name; if (!real_##name) real_##name = (type)dlsym(RTLD_NEXT, #name)

long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  typedef long (*fn)(long, ...);
  REAL(syscall, fn);
  if (number == SYS_getdents64 || number == SYS_statx || number == SYS_newfstatat) wait_a_round_trip();
  return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
  typedef int (*fn)(int, const char*, struct stat*, int);
  REAL(fstatat, fn);
  wait_a_round_trip();
  return real_fstatat(dirfd, path, st, flags);
}

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* st) {
  typedef int (*fn)(int, const char*, int, unsigned, struct statx*);
  REAL(statx, fn);
  wait_a_round_trip();
  return real_statx(dirfd, path, flags, mask, st);
}

int openat(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  typedef int (*fn)(int, const char*, int, ...);
  REAL(openat, fn);
  if (flags & O_DIRECTORY) wait_a_round_trip();
  return real_openat(dirfd, path, flags, mode);
}
