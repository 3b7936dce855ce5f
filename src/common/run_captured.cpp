#include "common/run_captured.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/child_process.h"
#include "common/wake_pipe.h"

namespace velmora {
namespace {

// How a stopped program is ended: at once, with the usual time for its clean-up.
constexpr EndWaits STOPPED{};
constexpr int EXIT_POLL_MS = 2;

}  // namespace

ProgramResult run_captured(const std::vector<std::string>& argv, bool own_process_group, std::stop_token stop,
                           int stdin_fd) {
  ChildProcess child = ChildProcess::spawn(
      argv, {.pipe_stdin = false, .stdin_fd = stdin_fd, .pipe_stderr = true, .own_process_group = own_process_group});
  // A stop wakes the wait.
  const WakePipe wake;
  const std::stop_callback on_stop(stop, [&wake] { wake.wake(); });

  ProgramResult result;
  int read_error = 0;
  char buf[65536];
  // One poll of the output pipes still open and the wake pipe, then reads what came.
  const auto serve = [&](int timeout_ms) {
    pollfd fds[3] = {{child.out(), POLLIN, 0}, {child.err(), POLLIN, 0}, {wake.fd(), POLLIN, 0}};
    if (::poll(fds, 3, timeout_ms) < 0) {
      if (errno != EINTR) read_error = errno;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) read_error = errno;
        i == 0 ? child.close_out() : child.close_err();  // poll skips negative descriptors
        continue;
      }
      if (i == 0) result.out.insert(result.out.end(), buf, buf + n);
      else result.err.append(buf, static_cast<std::size_t>(n));
    }
  };
  while ((child.out() >= 0 || child.err() >= 0) && read_error == 0 && !stop.stop_requested()) serve(-1);
  // Its output has ended: so does the program, unless it closed its output early.
  while (read_error == 0 && !stop.stop_requested() && !child.try_wait()) serve(EXIT_POLL_MS);
  if (stop.stop_requested()) {
    child.end(STOPPED);
    result.stopped = true;
    result.status = child.try_wait().value_or(STATUS_UNKNOWN);
    return result;
  }
  if (read_error != 0) {
    child.end(STOPPED);
    throw std::system_error(read_error, std::generic_category(), "reading the output of " + argv[0]);
  }
  result.status = child.wait();
  return result;
}

}  // namespace velmora
