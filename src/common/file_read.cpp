#include "common/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "common/fd.h"

namespace velmora {

InputFile::InputFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
  if (!fd_.ok()) {
    open_errno_ = errno;
    return;
  }
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return;
  mode_ = st.st_mode;
  regular_ = S_ISREG(st.st_mode);
  if (regular_) size_ = static_cast<std::uint64_t>(st.st_size);
}

void read_file_blocks(const std::string& path, const std::function<void(const char*, std::size_t)>& block) {
  const Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.ok()) throw std::system_error(errno, std::generic_category(), path);
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(f.get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path);
    }
    if (n == 0) break;
    block(buf.data(), static_cast<std::size_t>(n));
  }
}

std::string read_file(const std::string& path, std::size_t max_bytes) {
  const Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.ok()) throw std::system_error(errno, std::generic_category(), path);
  return read_fd(f.get(), path, max_bytes);
}

std::string read_file_head(const std::string& path, std::size_t max_bytes) {
  const Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.ok()) throw std::system_error(errno, std::generic_category(), path);
  std::string out(max_bytes, '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(f.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

std::string read_fd(int fd, const std::string& path, std::size_t max_bytes) {
  auto too_large = [&] {
    return FileTooLarge(path + ": file is larger than " + std::to_string(max_bytes) + " bytes");
  };
  // Read straight into the result at the size the file has now, then whatever it grew by since.
  struct stat st {};
  std::size_t size = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  if (size > max_bytes) throw too_large();
  std::string out(std::min(std::max<std::size_t>(size, 1 << 16), max_bytes), '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == out.size()) {
      if (out.size() >= max_bytes) {
        // Full at the limit: one byte more means too large.
        char probe;
        ssize_t n;
        while ((n = ::read(fd, &probe, 1)) < 0 && errno == EINTR) {
        }
        if (n < 0) throw std::system_error(errno, std::generic_category(), path);
        if (n > 0) throw too_large();
        break;
      }
      out.resize(std::min(max_bytes, out.size() * 2));
    }
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

}  // namespace velmora
