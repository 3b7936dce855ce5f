#pragma once
// Whole-file reading with the operating system's error: a missing file throws std::system_error with ENOENT,
// as Python's open() raises FileNotFoundError.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/fd.h"

namespace velmora {

// A file opened for reading (close-on-exec), closed on every way out. It is opened with O_NONBLOCK, so that
// the open of a FIFO never waits for a writer; regular() then tells a regular file from a FIFO, a device or a
// folder, which readers of untrusted paths turn away.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool opened() const { return fd_.ok(); }
  int open_error() const { return open_errno_; }  // errno of a failed open
  bool regular() const { return regular_; }       // opened, and a regular file
  unsigned mode() const { return mode_; }          // st_mode (type and permissions); 0 when not known
  std::uint64_t size() const { return size_; }    // of a regular file, when it was opened
  int fd() const { return fd_.get(); }
  // Hands the descriptor over; this object no longer closes it.
  int release() { return fd_.release(); }

 private:
  Fd fd_;
  int open_errno_ = 0;
  bool regular_ = false;
  unsigned mode_ = 0;
  std::uint64_t size_ = 0;
};

// A file that holds more bytes than its reader takes.
class FileTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

// Hands the bytes of the file at `path` to `block`, in order, a block at a time. Throws std::system_error
// (errno, the path as its text) when the file cannot be opened or read; what `block` throws passes through.
void read_file_blocks(const std::string& path, const std::function<void(const char* data, std::size_t size)>& block);

// The bytes of the file at `path`. Throws std::system_error as read_file_blocks does, and FileTooLarge when
// the file holds more than `max_bytes`.
std::string read_file(const std::string& path, std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

// The first `max_bytes` bytes of the file at `path` (all of a shorter one), for a reader that tells a file by
// how it starts. Throws std::system_error as read_file_blocks does.
std::string read_file_head(const std::string& path, std::size_t max_bytes);

// The same as read_file from the open descriptor `fd` (from its current position; it stays open), `path` naming it in
// errors.
std::string read_fd(int fd, const std::string& path, std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

}  // namespace velmora
