// A file system without unnamed files for a program under test, preloaded (LD_PRELOAD=no_tmpfile.so): every
// open with O_TMPFILE fails with EOPNOTSUPP, as on a file system that has none. Built without the sanitizers,
// so that it can be preloaded into any program.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

static int opened(int dir, const char* path, int flags, int mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return (int)syscall(SYS_openat, dir, path, flags, mode);
}

static int mode_of(int flags, va_list ap) { return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, int) : 0; }

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = mode_of(flags, ap);
  va_end(ap);
  return opened(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = mode_of(flags, ap);
  va_end(ap);
  return opened(AT_FDCWD, path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = mode_of(flags, ap);
  va_end(ap);
  return opened(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = mode_of(flags, ap);
  va_end(ap);
  return opened(dir, path, flags, mode);
}
