#include "common/wake_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace velmora {

WakePipe::WakePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  read_end_ = Fd(ends[0]);
  write_end_ = Fd(ends[1]);
}

void WakePipe::wake() const noexcept {
  const int saved = errno;
  const char byte = 1;
  if (::write(write_end_.get(), &byte, 1) < 0) {
    // EAGAIN: a full pipe wakes the poll already.
  }
  errno = saved;
}

void WakePipe::drain() const noexcept {
  char bytes[64];
  while (::read(read_end_.get(), bytes, sizeof bytes) > 0) {
  }
}

}  // namespace velmora
