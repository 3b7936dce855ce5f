#include "common/run_program.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/child_process.h"

namespace velmora {

ProgramResult run_captured(const std::vector<std::string>& argv, bool own_process_group) {
  ChildProcess child =
      ChildProcess::spawn(argv, {.pipe_stdin = false, .pipe_stderr = true, .own_process_group = own_process_group});

  ProgramResult result;
  int read_error = 0;
  char buf[65536];
  pollfd fds[2] = {{child.out(), POLLIN, 0}, {child.err(), POLLIN, 0}};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      read_error = errno;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) read_error = errno;
        fds[i].fd = -1;  // poll skips negative descriptors
        --open_pipes;
        continue;
      }
      if (i == 0) result.out.insert(result.out.end(), buf, buf + n);
      else result.err.append(buf, static_cast<std::size_t>(n));
    }
  }
  child.close_out();
  child.close_err();  // a child still writing gets EPIPE and ends; it is reaped either way
  result.status = child.wait();
  if (read_error != 0) throw std::system_error(read_error, std::generic_category(), "reading the output of " + argv[0]);
  return result;
}

}  // namespace velmora
