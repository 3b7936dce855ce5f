#pragma once
// Scratch files for tests: WAV files, executable scripts. Temporary folders and scoped environment variables
// come from the shared test support (TempDir, ScopedEnv).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace velmora::testing {

// A PCM WAV file of 16-bit samples (interleaved when channels > 1).
void write_wav(const std::filesystem::path& path, int sample_rate, int channels, const std::vector<std::int16_t>& samples);

// An executable /bin/sh script with `body` after the "#!/bin/sh" line.
void write_script(const std::filesystem::path& path, const std::string& body);

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

// Little-endian s16 bytes of `samples`.
std::vector<std::uint8_t> s16_bytes(const std::vector<std::int16_t>& samples);

}  // namespace velmora::testing
