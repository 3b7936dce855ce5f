#include "velmora/support/scratch.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmora::testing {

namespace {
void put_le(std::string& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
}  // namespace

void write_wav(const std::filesystem::path& path, int sample_rate, int channels, const std::vector<std::int16_t>& samples) {
  const std::uint32_t data_bytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::string out = "RIFF";
  put_le(out, 36 + data_bytes, 4);
  out += "WAVEfmt ";
  put_le(out, 16, 4);
  put_le(out, 1, 2);  // PCM
  put_le(out, static_cast<std::uint32_t>(channels), 2);
  put_le(out, static_cast<std::uint32_t>(sample_rate), 4);
  put_le(out, static_cast<std::uint32_t>(sample_rate * channels * 2), 4);
  put_le(out, static_cast<std::uint32_t>(channels * 2), 2);
  put_le(out, 16, 2);
  out += "data";
  put_le(out, data_bytes, 4);
  for (std::int16_t s : samples) put_le(out, static_cast<std::uint16_t>(s), 2);
  write_file(path, out);
}

void write_script(const std::filesystem::path& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<std::uint8_t> s16_bytes(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> out;
  out.reserve(samples.size() * 2);
  for (std::int16_t s : samples) {
    const auto u = static_cast<std::uint16_t>(s);
    out.push_back(static_cast<std::uint8_t>(u & 0xff));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return out;
}

}  // namespace velmora::testing
