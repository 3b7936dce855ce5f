#include "common/fd.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace velmora {

void set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    throw std::system_error(errno, std::generic_category(), "fcntl");
  }
}

long write_nosignal(int fd, const void* data, std::size_t size) {
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  sigset_t pending_before;
  sigpending(&pending_before);
  const bool was_pending = sigismember(&pending_before, SIGPIPE) == 1;
  const ssize_t n = ::write(fd, data, size);
  const int error = errno;
  // The SIGPIPE this write raised is taken back, so it never reaches the process once the mask is restored;
  // one that was pending before belongs to someone else and stays.
  if (n < 0 && error == EPIPE && !was_pending) {
    const timespec zero{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return static_cast<long>(n);
}

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

int write_all_without_sigxfsz(int fd, const void* data, std::size_t size) {
  sigset_t xfsz, old, pending;
  sigemptyset(&xfsz);
  sigaddset(&xfsz, SIGXFSZ);
  ::pthread_sigmask(SIG_BLOCK, &xfsz, &old);
  sigpending(&pending);
  // A signal already pending or held back by the application is none of ours.
  const bool ours = !sigismember(&old, SIGXFSZ) && !sigismember(&pending, SIGXFSZ);
  const int err = write_all(fd, {static_cast<const char*>(data), size});
  if (err == EFBIG && ours) {
    // Our write raised the signal. Under the default disposition it would end the process once unblocked:
    // take it. A handler of the application's own gets it as usual.
    struct sigaction now {};
    if (::sigaction(SIGXFSZ, nullptr, &now) == 0 && !(now.sa_flags & SA_SIGINFO) && now.sa_handler == SIG_DFL) {
      const timespec zero{};
      while (::sigtimedwait(&xfsz, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err;
}

}  // namespace velmora
