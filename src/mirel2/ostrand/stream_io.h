#pragma once
// The render host's byte streams: exact reads from standard input, and a buffered writer on standard output
// that nothing else writes to.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::ostrand {

class InStream {
 public:
  explicit InStream(int fd = 0) : fd_(fd) {}
  // Fills `out` completely. Returns false when the input ends first (what did arrive is dropped).
  // A read error throws std::system_error.
  bool read_exact(std::span<std::byte> out);

 private:
  int fd_;
};

class OutStream {
 public:
  explicit OutStream(int fd = 1, std::size_t buffer_size = 1 << 16) : fd_(fd), buffer_size_(buffer_size) {}
  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;

  // Buffers `data`; what does not fit goes out at once. A failed write throws std::system_error (SIGPIPE is
  // ignored by the host, so a reader that went away shows up here as EPIPE).
  void write(std::span<const std::byte> data);
  // Hands everything buffered to the reader.
  void flush();
  // How many times flush() ran; lets tests check the flush points.
  std::size_t flush_count() const { return flushes_; }

 private:
  void write_through(std::span<const std::byte> data);
  int fd_;
  std::size_t buffer_size_;
  std::vector<std::byte> buffer_;
  std::size_t flushes_ = 0;
};

}  // namespace velmora::ostrand
