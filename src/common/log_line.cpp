#include "common/log_line.h"

#include <unistd.h>

#include <cerrno>

#include "common/fd.h"

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

int TaggedLog::write(std::initializer_list<std::string_view> parts) const { return write_all(fd_, format(parts)); }

}  // namespace velmora
