#include "common/fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
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
  EXPECT_TRUE(write_all(write_end.get(), "whole line\n"));
  char buf[32] = {};
  EXPECT_EQ(::read(read_end.get(), buf, sizeof buf), 11);
  EXPECT_EQ(std::string(buf), "whole line\n");
  const int fd = write_end.release();
  ::close(fd);
  errno = 0;
  EXPECT_FALSE(write_all(fd, "x"));
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace velmora
