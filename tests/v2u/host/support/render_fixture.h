#pragma once
// The frame renderer's fixtures (tests/fixtures/v2u/gen_render.py): graphs, identity and NumPy's results.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "common/md5.h"
#include "common/npy.h"
#include "v2u/host/identity.h"

namespace velmora::v2u::testing {

inline const std::string RENDER_DIR = VELMORA_SOURCE_DIR "/tests/fixtures/v2u/render/";

inline const NpzFile& render_expect() {
  static const NpzFile z = NpzFile::load(RENDER_DIR + "expect.npz");
  return z;
}

inline std::shared_ptr<const Identity> render_identity() {
  static const auto idn = std::make_shared<const Identity>(Identity::load(RENDER_DIR + "identity.npz"));
  return idn;
}

// Compares every 8th element of a large result along its two image axes (`row_axis` and the one after it)
// with NumPy's stored sample `key`_sample; the first differences are reported by position.
template <class T>
void expect_sample(const NdArray& got, const std::string& key, int row_axis) {
  const NdArray& want = render_expect().at(key + "_sample");
  const Shape& s = got.shape();
  std::int64_t outer = 1, inner = 1;
  for (int a = 0; a < row_axis; ++a) outer *= s[a];
  for (int a = row_axis + 2; a < s.rank(); ++a) inner *= s[a];
  const std::int64_t H = s[row_axis], W = s[row_axis + 1];
  ASSERT_EQ(want.size(), outer * ((H + 7) / 8) * ((W + 7) / 8) * inner) << key;
  const T* g = got.data<T>();
  const T* w = want.data<T>();
  int bad = 0;
  for (std::int64_t o = 0, k = 0; o < outer; ++o)
    for (std::int64_t y = 0; y < H; y += 8)
      for (std::int64_t x = 0; x < W; x += 8)
        for (std::int64_t i = 0; i < inner; ++i, ++k) {
          const T v = g[((o * H + y) * W + x) * inner + i];
          if (std::memcmp(&v, &w[k], sizeof(T)) != 0 && bad++ < 5)
            ADD_FAILURE() << key << " at [" << o << ", " << y << ", " << x << ", " << i << "]: " << +v << " != " << +w[k];
        }
}

// Whether `bytes` at `data` have the MD5 digest of item i of the stored digests `key`_md5 ((16,) or (n, 16)).
inline bool same_digest(const void* data, std::size_t bytes, const std::string& key, std::int64_t i = 0) {
  const auto d = md5_digest(std::string_view(static_cast<const char*>(data), bytes));
  return std::memcmp(d.data(), render_expect().at(key + "_md5").data<std::uint8_t>() + i * 16, 16) == 0;
}

// Sample and digest of a whole result.
template <class T>
void expect_like_numpy(const NdArray& got, const std::string& key, int row_axis) {
  expect_sample<T>(got, key, row_axis);
  EXPECT_TRUE(same_digest(got.raw_data(), got.nbytes(), key)) << key << ": bytes differ from NumPy's";
}

}  // namespace velmora::v2u::testing
