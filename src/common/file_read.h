#pragma once
// Whole-file reading with the operating system's error: a missing file throws std::system_error with ENOENT,
// as Python's open() raises FileNotFoundError.
#include <cstddef>
#include <limits>
#include <string>

namespace velmora {

// The bytes of the file at `path`. Throws std::system_error (errno, the path as its text) when the file cannot
// be opened or read, and std::length_error when it holds more than `max_bytes`.
std::string read_file(const std::string& path, std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

}  // namespace velmora
