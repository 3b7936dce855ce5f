// A slow disk for a program under test, preloaded (LD_PRELOAD=slow_fsync.so): fsync of a regular file, or of a
// folder, takes SLOW_FSYNC_SECONDS longer. SLOW_FSYNC_ON says which ("file" or "folder"; unset: neither). The
// first such fsync creates the file SLOW_FSYNC_MARK as it starts to wait, so that a test knows the program is
// inside it. Built without the sanitizers, so that it can be preloaded into any program.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int slowed(int fd) {
  const char* on = getenv("SLOW_FSYNC_ON");
  struct stat st;
  if (on == NULL || fstat(fd, &st) != 0) return 0;
  return strcmp(on, "folder") == 0 ? S_ISDIR(st.st_mode) : strcmp(on, "file") == 0 && S_ISREG(st.st_mode);
}

static void wait_a_while(void) {
  const char* mark = getenv("SLOW_FSYNC_MARK");
  if (mark != NULL) {
    const int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
  const char* seconds = getenv("SLOW_FSYNC_SECONDS");
  const double s = seconds != NULL ? atof(seconds) : 1.0;
  struct timespec left = {(time_t)s, (long)((s - (double)(time_t)s) * 1e9)};
  // A signal handled meanwhile does not shorten the wait, as it does not shorten a slow disk's.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int fsync(int fd) {
  const int saved = errno;
  if (slowed(fd)) wait_a_while();
  errno = saved;
  return (int)syscall(SYS_fsync, fd);
}
