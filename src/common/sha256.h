#pragma once
// SHA-256 digests as lower-case hex text.
#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, std::size_t size);
  void update(std::string_view data) { update(data.data(), data.size()); }
  // The digest of everything fed so far, as 64 lower-case hex digits. Ends the hash: feed nothing after it.
  std::string hex_digest();

 private:
  void* ctx_;
};

std::string sha256_hex(std::string_view data);

// The digest of a file's bytes, read in blocks. Throws std::system_error when the file cannot be read.
std::string sha256_file_hex(const std::string& path);

// True when `text` is exactly 64 lower-case hex digits (the only digest text that may become part of a path).
bool is_sha256_hex(std::string_view text);

}  // namespace velmora
