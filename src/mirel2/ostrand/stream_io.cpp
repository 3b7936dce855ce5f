#include "mirel2/ostrand/stream_io.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/log_line.h"

namespace velmora::ostrand {

bool InStream::read_exact(std::span<std::byte> out) {
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd_, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "read from standard input");
    }
    if (n == 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void OutStream::write_through(std::span<const std::byte> data) {
  if (!write_all(fd_, {reinterpret_cast<const char*>(data.data()), data.size()}))
    throw std::system_error(errno, std::generic_category(), "write to standard output");
}

void OutStream::write(std::span<const std::byte> data) {
  if (buffer_.size() + data.size() <= buffer_size_) {
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    return;
  }
  // Large writes (frames) go straight from the caller's memory, without a copy into the buffer.
  if (!buffer_.empty()) {
    write_through(buffer_);
    buffer_.clear();
  }
  if (data.size() <= buffer_size_)
    buffer_.insert(buffer_.end(), data.begin(), data.end());
  else
    write_through(data);
}

void OutStream::flush() {
  ++flushes_;
  if (buffer_.empty()) return;
  write_through(buffer_);
  buffer_.clear();
}

}  // namespace velmora::ostrand
