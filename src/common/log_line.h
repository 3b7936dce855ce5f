#pragma once
// Tagged diagnostic lines: "<tag> part part ...\n", written in one write(2) so that lines from several threads
// never interleave, and never buffered.
#include <initializer_list>
#include <string>
#include <string_view>

namespace velmora {

class TaggedLog {
 public:
  // Writes to file descriptor `fd` (standard error by default).
  explicit TaggedLog(std::string tag, int fd = 2) : tag_(std::move(tag)), fd_(fd) {}

  // The line as it is written: the tag and the parts joined by single blanks, then a newline.
  std::string format(std::initializer_list<std::string_view> parts) const;

  // Writes one line. Returns 0, or the errno of a failed write (the caller decides whether that matters).
  [[nodiscard]] int write(std::initializer_list<std::string_view> parts) const;

  int fd() const { return fd_; }
  void set_fd(int fd) { fd_ = fd; }

 private:
  std::string tag_;
  int fd_;
};

}  // namespace velmora
