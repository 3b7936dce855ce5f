#pragma once
// Captures the host's diagnostic lines (host_state().log) in a temporary file for the life of the object.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mirel2/ostrand/host_state.h"
#include "support/text_lines.h"

namespace velmora::testing {

class LogCapture {
 public:
  LogCapture() : file_(::tmpfile()) { ostrand::host_state().log.set_fd(::fileno(file_)); }
  ~LogCapture() {
    ostrand::host_state().log.set_fd(2);
    ::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written so far.
  std::string text() const {
    std::string out;
    char buf[4096];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(::fileno(file_), buf, sizeof buf, at);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
      at += n;
    }
    return out;
  }

  // Everything written so far, one item per line, without the line ends.
  std::vector<std::string> lines() const {
    return split_lines(text());
  }

 private:
  FILE* file_;
};

}  // namespace velmora::testing
