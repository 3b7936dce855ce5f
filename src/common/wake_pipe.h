#pragma once
// A pipe that wakes a poll loop: a stop callback on another thread (or a signal handler) writes to it, the loop
// watches its read end.
#include "common/fd.h"

namespace velmora {

class WakePipe {
 public:
  // Both ends close-on-exec and non-blocking. Throws std::system_error when the pipe cannot be made.
  WakePipe();

  // The end to poll for POLLIN.
  int fd() const { return read_end_.get(); }
  // Makes fd() readable; safe from any thread and from a signal handler. A full pipe is readable already.
  void wake() const noexcept;
  // Reads what the wakes wrote, so that fd() waits again.
  void drain() const noexcept;

 private:
  Fd read_end_, write_end_;
};

}  // namespace velmora
