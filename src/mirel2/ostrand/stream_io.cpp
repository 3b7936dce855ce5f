#include "mirel2/ostrand/stream_io.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

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

namespace {

// Writes every byte of `pieces` in order, gathering them into as few system calls as the kernel allows.
void write_pieces(int fd, std::span<std::span<const std::byte>> pieces) {
  iovec iov[64];
  std::size_t at = 0;  // the first piece not yet written completely
  while (true) {
    while (at < pieces.size() && pieces[at].empty()) ++at;
    if (at == pieces.size()) return;
    int n = 0;
    for (std::size_t i = at; i < pieces.size() && n < static_cast<int>(std::size(iov)); ++i)
      if (!pieces[i].empty()) iov[n++] = {const_cast<std::byte*>(pieces[i].data()), pieces[i].size()};
    ssize_t done = ::writev(fd, iov, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to standard output");
    }
    for (; done > 0; ++at) {
      const std::size_t take = std::min(static_cast<std::size_t>(done), pieces[at].size());
      pieces[at] = pieces[at].subspan(take);
      done -= static_cast<ssize_t>(take);
      if (!pieces[at].empty()) break;
    }
  }
}

}  // namespace

OutStream::OutStream(int fd, std::size_t buffer_size) : fd_(fd), buffer_size_(buffer_size) {
#ifdef F_SETPIPE_SZ
  const int size = ::fcntl(fd_, F_GETPIPE_SZ);
  for (int want : {BIG_PIPE_BYTES, PIPE_BYTES})
    if (size >= 0 && size < want && ::fcntl(fd_, F_SETPIPE_SZ, want) >= 0) break;
#endif
}

void OutStream::write(std::span<const std::byte> data) { write(std::span(&data, 1)); }

void OutStream::write(std::span<const std::span<const std::byte>> pieces) {
  std::size_t total = 0;
  for (const auto& p : pieces) total += p.size();
  if (buffer_.size() + total <= buffer_size_) {
    for (const auto& p : pieces) buffer_.insert(buffer_.end(), p.begin(), p.end());
    return;
  }
  gather_.clear();
  gather_.push_back(buffer_);
  gather_.insert(gather_.end(), pieces.begin(), pieces.end());
  write_pieces(fd_, gather_);
  buffer_.clear();
}

void OutStream::flush() {
  ++flushes_;
  if (buffer_.empty()) return;
  std::span<const std::byte> all(buffer_);
  write_pieces(fd_, std::span(&all, 1));
  buffer_.clear();
}

}  // namespace velmora::ostrand
