#pragma once
// Scratch files and environment for tests: a temporary folder removed afterwards, an environment variable
// set for a scope, WAV files and executable scripts.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets (or, with nothing, unsets) an environment variable while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A PCM WAV file of 16-bit samples (interleaved when channels > 1).
void write_wav(const std::filesystem::path& path, int sample_rate, int channels, const std::vector<std::int16_t>& samples);

// An executable /bin/sh script with `body` after the "#!/bin/sh" line.
void write_script(const std::filesystem::path& path, const std::string& body);

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

// Little-endian s16 bytes of `samples`.
std::vector<std::uint8_t> s16_bytes(const std::vector<std::int16_t>& samples);

}  // namespace velmora::testing
