#pragma once
// Committed fixtures (tests/fixtures/) for tests of any folder: reading them, and digests of result streams
// in the little-endian bytes the generators hash.
#include <cstddef>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>

#include "common/json.h"
#include "common/sha256.h"

namespace velmora::testing {

// The bytes of tests/fixtures/<relative>; throws std::runtime_error when it cannot be read.
inline std::string read_fixture(const std::string& relative) {
  const std::string path = std::string(VELMORA_SOURCE_DIR) + "/tests/fixtures/" + relative;
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read fixture " + path);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline json::Value json_fixture(const std::string& relative) { return json::parse(read_fixture(relative)); }

// SHA-256 over values appended in order, as their in-memory bytes (little-endian on the machines we build for).
class StreamDigest {
 public:
  template <class T>
  void add(const T& value) {
    sha_.update(&value, sizeof value);
  }
  template <class T>
  void add(std::span<const T> values) {
    sha_.update(values.data(), values.size_bytes());
  }
  std::string hex() { return sha_.hex_digest(); }

 private:
  Sha256 sha_;
};

}  // namespace velmora::testing
