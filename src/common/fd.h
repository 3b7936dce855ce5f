#pragma once
// File descriptors: one owner, and the ways this project writes to them.
#include <unistd.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace velmora {

// One owned file descriptor, closed when the owner goes. Move-only. Defined here in full, so that the command
// line, which links only the public library, can own its descriptors with it too.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Makes `fd` non-blocking. Throws std::system_error on failure.
void set_nonblocking(int fd);

// Writes up to `size` bytes of `data` to `fd` once, with SIGPIPE held off for the call, so that a reader that
// has gone away gives EPIPE instead of ending this process (for a pipe to a child that may be gone). Returns
// the bytes written, or -1 with errno set.
long write_nosignal(int fd, const void* data, std::size_t size);

// The writers of whole buffers below fail alike: they return 0 when every byte went out, else the errno of the
// failure (EIO for a write that wrote nothing), and never throw, so that a caller that must not throw (a C
// callback, a log line) can use them as well as one that throws the error with its own words.

// Writes all of `data` to `fd`, retrying on EINTR and short writes (for files and standard error, where a
// line must go out whole).
[[nodiscard]] int write_all(int fd, std::string_view data);

// write_all to the file `fd`, with SIGXFSZ held off in this thread for the call, so that crossing the
// file-size limit (RLIMIT_FSIZE) fails the write with EFBIG instead of ending the process. The signal such a
// write raises is taken back only while its disposition is the default (which would end the process); a
// handler of the application's own still gets it, and one that was pending, or blocked in this thread, before
// the call is left as it was.
[[nodiscard]] int write_all_without_sigxfsz(int fd, const void* data, std::size_t size);

}  // namespace velmora
