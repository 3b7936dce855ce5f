#include "common/log_line.h"

#include <cerrno>
#include <unistd.h>

namespace velmora {

std::string TaggedLog::format(std::initializer_list<std::string_view> parts) const {
  std::string line = tag_;
  for (auto p : parts) {
    line.push_back(' ');
    line.append(p);
  }
  line.push_back('\n');
  return line;
}

bool TaggedLog::write(std::initializer_list<std::string_view> parts) const { return write_all(fd_, format(parts)); }

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace velmora
