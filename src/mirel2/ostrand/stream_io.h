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
  // When `fd` is a pipe, asks the kernel to enlarge it to BIG_PIPE_BYTES, where a whole chunk of frame
  // records fits while the next one renders, else to PIPE_BYTES (the usual limit without privileges), where
  // one record fits and the reader is not woken for every 64 KiB; a refusal quietly leaves the pipe as it is.
  explicit OutStream(int fd = 1, std::size_t buffer_size = 1 << 16);
  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;

  static constexpr int PIPE_BYTES = 1 << 20;
  static constexpr int BIG_PIPE_BYTES = 1 << 25;

  // Buffers `data`; what does not fit goes out at once. A failed write throws std::system_error (SIGPIPE is
  // ignored by the host, so a reader that went away shows up here as EPIPE).
  void write(std::span<const std::byte> data);
  // The pieces one after another, as write() of each would put them; when they do not all fit in the buffer,
  // the buffered bytes and all the pieces go out together in one gathering write (frame records straight
  // from the caller's memory). Fails as write() does.
  void write(std::span<const std::span<const std::byte>> pieces);
  // Hands everything buffered to the reader.
  void flush();
  // How many times flush() ran; lets tests check the flush points.
  std::size_t flush_count() const { return flushes_; }

 private:
  int fd_;
  std::size_t buffer_size_;
  std::vector<std::byte> buffer_;
  std::vector<std::span<const std::byte>> gather_;  // the pieces of the last write that went out, kept for reuse
  std::size_t flushes_ = 0;
};

}  // namespace velmora::ostrand
