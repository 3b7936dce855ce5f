#pragma once
// Whole-file reading with the operating system's error: a missing file throws std::system_error with ENOENT,
// as Python's open() raises FileNotFoundError.
#include <cstddef>
#include <functional>
#include <limits>
#include <string>

namespace velmora {

// Hands the bytes of the file at `path` to `block`, in order, a block at a time. Throws std::system_error
// (errno, the path as its text) when the file cannot be opened or read; what `block` throws passes through.
void read_file_blocks(const std::string& path, const std::function<void(const char* data, std::size_t size)>& block);

// The bytes of the file at `path`. Throws std::system_error as read_file_blocks does, and std::length_error
// when the file holds more than `max_bytes`.
std::string read_file(const std::string& path, std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

// The same from the open descriptor `fd` (from its current position; it stays open), `path` naming it in
// errors.
std::string read_fd(int fd, const std::string& path, std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

}  // namespace velmora
