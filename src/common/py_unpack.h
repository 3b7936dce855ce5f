#pragma once
// Python's check of a tuple unpacking, `a, b = values`, with its ValueError texts (std::invalid_argument).
#include <cstddef>
#include <stdexcept>
#include <string>

namespace velmora {

inline void check_unpack(std::size_t got, std::size_t expected) {
  if (got > expected) throw std::invalid_argument("too many values to unpack (expected " + std::to_string(expected) + ")");
  if (got < expected)
    throw std::invalid_argument("not enough values to unpack (expected " + std::to_string(expected) + ", got " + std::to_string(got) + ")");
}

}  // namespace velmora
