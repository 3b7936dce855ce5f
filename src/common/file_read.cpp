#include "common/file_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace velmora {

void read_file_blocks(const std::string& path, const std::function<void(const char*, std::size_t)>& block) {
  struct Fd {
    int fd;
    ~Fd() { ::close(fd); }
  };
  const Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) throw std::system_error(errno, std::generic_category(), path);
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(f.fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path);
    }
    if (n == 0) break;
    block(buf.data(), static_cast<std::size_t>(n));
  }
}

std::string read_file(const std::string& path, std::size_t max_bytes) {
  std::string out;
  read_file_blocks(path, [&](const char* data, std::size_t n) {
    if (out.size() + n > max_bytes)
      throw std::length_error(path + ": file is larger than " + std::to_string(max_bytes) + " bytes");
    out.append(data, n);
  });
  return out;
}

}  // namespace velmora
