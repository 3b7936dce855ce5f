#include "v2u/host/support/motion_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>

#include "common/sha256.h"

namespace velmora::v2u::motion_fixture {

std::string pack_dir(const std::string& name) { return VELMORA_SOURCE_DIR "/tests/fixtures/v2u/motion/" + name; }

const Pack& pack(const std::string& name) {
  static std::map<std::string, std::unique_ptr<Pack>> packs;
  auto& p = packs[name];
  if (!p) p = std::make_unique<Pack>(pack_dir(name));
  return *p;
}

const NpzFile& ref() {
  static const NpzFile z = NpzFile::load(VELMORA_SOURCE_DIR "/tests/fixtures/v2u/motion_ref.npz");
  return z;
}

void expect_same(const NdArray& got, const NdArray& want) {
  ASSERT_EQ(got.dtype(), want.dtype());
  ASSERT_EQ(got.shape(), want.shape());
  EXPECT_EQ(std::memcmp(got.raw_data(), want.raw_data(), got.nbytes()), 0);
}

std::string digest(const NdArray& a) {
  return sha256_hex(std::string_view(static_cast<const char*>(a.raw_data()), a.nbytes()));
}

std::string text_of(const NdArray& hex_bytes) {
  const auto v = hex_bytes.values<std::uint8_t>();
  return std::string(v.begin(), v.end());
}

NdArray token_feat(std::int64_t k) {
  NdArray a(DType::Float32, {4, 3, 768});
  float* p = a.data<float>();
  for (std::int64_t i = 0; i < a.size(); ++i) p[i] = static_cast<float>(((i * 31 + k * 977) % 211) * 0.0625 - 6.5);
  return a.astype(DType::Float16);
}

NdArray token_hidden(std::int64_t k, std::int64_t n) {
  NdArray a(DType::Float32, {1, n});
  float* p = a.data<float>();
  for (std::int64_t i = 0; i < n; ++i) p[i] = static_cast<float>(((i * 13 + k * 101) % 37) * 0.125 - 2.0);
  return a;
}

NdArray RampAudio::window(std::int64_t win_start, std::int64_t win_end) {
  asked.emplace_back(win_start, win_end);
  NdArray a(as_float_ ? DType::Float32 : DType::Int16, {win_end - win_start});
  for (std::int64_t p = win_start; p < win_end; ++p) {
    const std::int64_t m = ((p * 7919 + 13) % 20011 + 20011) % 20011 - 10005;
    if (as_float_) a.data<float>()[p - win_start] = static_cast<float>(static_cast<double>(m) / 32768.0);
    else a.data<std::int16_t>()[p - win_start] = static_cast<std::int16_t>(m);
  }
  return a;
}

}  // namespace velmora::v2u::motion_fixture
