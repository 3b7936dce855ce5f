#include "common/fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace velmora {
namespace {

bool open_fd(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

TEST(Fd, ClosesOnceAndGivesUpWhatIsReleased) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  {
    Fd read_end(p[0]);
    Fd moved(std::move(read_end));
    EXPECT_FALSE(read_end.ok());
    EXPECT_EQ(moved.get(), p[0]);
    Fd write_end(p[1]);
    EXPECT_EQ(write_end.release(), p[1]);
    EXPECT_FALSE(write_end.ok());
  }
  EXPECT_FALSE(open_fd(p[0]));
  EXPECT_TRUE(open_fd(p[1]));  // released: the caller's to close
  ::close(p[1]);
}

// An Fd moved onto one that holds a descriptor closes that one at once and holds the other until it goes.
TEST(Fd, AMoveAssignmentClosesWhatItHeld) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  {
    Fd held(p[0]), other(p[1]);
    held = std::move(other);
    EXPECT_FALSE(open_fd(p[0]));
    EXPECT_EQ(held.get(), p[1]);
    EXPECT_FALSE(other.ok());
  }
  EXPECT_FALSE(open_fd(p[1]));
}

// A write to a pipe whose reader has gone fails with EPIPE and leaves no SIGPIPE, neither delivered (its
// default action would end this process) nor pending; one that was pending before stays.
TEST(Fd, AWriteToAPipeWithoutReaderGivesEpipeAndNoSignal) {
  for (const bool pending_before : {false, true}) {
    SCOPED_TRACE(pending_before ? "a SIGPIPE pending before" : "none pending");
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &pipe_only, &old), 0);
    if (pending_before) ::raise(SIGPIPE);
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    const Fd write_end(p[1]);
    errno = 0;
    EXPECT_EQ(write_nosignal(write_end.get(), "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE) == 1, pending_before);
    const timespec zero{};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
}

TEST(Fd, WriteAllWritesEverythingOrSaysWhy) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  Fd read_end(p[0]), write_end(p[1]);
  EXPECT_EQ(write_all(write_end.get(), "whole line\n"), 0);
  char buf[32] = {};
  EXPECT_EQ(::read(read_end.get(), buf, sizeof buf), 11);
  EXPECT_EQ(std::string(buf), "whole line\n");
  const int fd = write_end.release();
  ::close(fd);
  EXPECT_EQ(write_all(fd, "x"), EBADF);
}

volatile sig_atomic_t xfsz_handled = 0;
extern "C" void count_xfsz(int) { xfsz_handled = xfsz_handled + 1; }

struct FileSizeCase {
  const char* name;
  bool handler;  // the application handles SIGXFSZ
  bool blocked;  // the application blocks SIGXFSZ in the writing thread
  int handled;   // calls of that handler once the write has returned
  bool pending;  // a SIGXFSZ pending then
};

// Runs `c` in this (forked) process: 0 when all went as `c` says, else the number of the first check that
// failed.
int write_past_file_size_limit(const FileSizeCase& c) {
  struct sigaction act {};
  act.sa_handler = c.handler ? count_xfsz : SIG_DFL;
  sigemptyset(&act.sa_mask);
  if (::sigaction(SIGXFSZ, &act, nullptr) != 0) return 10;
  sigset_t xfsz;
  sigemptyset(&xfsz);
  sigaddset(&xfsz, SIGXFSZ);
  if (::pthread_sigmask(c.blocked ? SIG_BLOCK : SIG_UNBLOCK, &xfsz, nullptr) != 0) return 11;
  std::FILE* file = std::tmpfile();
  if (!file) return 12;
  rlimit limit {};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = 16;
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 13;
  const std::string data(100, 'x');
  if (write_all_without_sigxfsz(::fileno(file), data.data(), data.size()) != EFBIG) return 1;
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0 || st.st_size != 16) return 2;  // all the limit let through
  if (xfsz_handled != c.handled) return 3;
  sigset_t pending;
  sigpending(&pending);
  if ((sigismember(&pending, SIGXFSZ) == 1) != c.pending) return 4;
  return 0;
}

// A write past the file-size limit fails with EFBIG and leaves the process alive, the signal reaching only
// where the application looks for it. In a child process: the limit and the dispositions are the process's.
TEST(Fd, AWritePastTheFileSizeLimitFailsWithEfbigAndEndsNothing) {
  const FileSizeCase cases[] = {
      {"default disposition", false, false, 0, false},
      {"the application's handler", true, false, 1, false},
      {"blocked by the application", false, true, 0, true},
  };
  for (const FileSizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(write_past_file_size_limit(c));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the check that failed";
  }
}

}  // namespace
}  // namespace velmora
