#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "common/float16.h"

namespace velmora {
namespace {

// Inputs and NumPy's results (float32 -> float16 and float64 -> float16 casts), written by
// tests/fixtures/common/gen_npy.py: specials, ties, subnormals, overflow, NaNs and random values.
TEST(Float16Test, RoundsAsNumPyDoes) {
  std::ifstream in(VELMORA_SOURCE_DIR "/tests/fixtures/common/float16_cases.bin", std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(b.size(), 8u);
  std::uint32_t n32, n64;
  std::memcpy(&n32, b.data(), 4);
  std::memcpy(&n64, b.data() + 4, 4);
  ASSERT_EQ(b.size(), 8u + n32 * 6u + n64 * 10u);
  const char* p = b.data() + 8;
  const char* h32 = p + n32 * 4;
  const char* d64 = h32 + n32 * 2;
  const char* h64 = d64 + n64 * 8;
  int bad = 0;
  for (std::uint32_t i = 0; i < n32; ++i) {
    float f;
    std::uint16_t want;
    std::memcpy(&f, p + i * 4, 4);
    std::memcpy(&want, h32 + i * 2, 2);
    if (float_to_half(f) != want && bad++ < 5) ADD_FAILURE() << "float " << std::bit_cast<std::uint32_t>(f) << " gives " << float_to_half(f) << ", NumPy " << want;
    // Back to float is exact: every half is a float.
    const float back = half_to_float(want);
    if (back == back && float_to_half(back) != want && bad++ < 5) ADD_FAILURE() << "half " << want << " does not round-trip";
  }
  for (std::uint32_t i = 0; i < n64; ++i) {
    double d;
    std::uint16_t want;
    std::memcpy(&d, d64 + i * 8, 8);
    std::memcpy(&want, h64 + i * 2, 2);
    if (double_to_half(d) != want && bad++ < 5) ADD_FAILURE() << "double " << d << " gives " << double_to_half(d) << ", NumPy " << want;
  }
  EXPECT_EQ(bad, 0);
}

// The float conversion equals the one rounding from the double (exact for floats), and the round trip equals the
// conversion and back, over every 97th float bit pattern and the boundaries of the half ranges.
TEST(Float16Test, FloatConversionsAgreeWithTheDoubleRounding) {
  int bad = 0;
  const auto check = [&](std::uint32_t b) {
    const float f = std::bit_cast<float>(b);
    const std::uint16_t h = float_to_half(f);
    if (f == f && h != double_to_half(static_cast<double>(f)) && bad++ < 5) ADD_FAILURE() << "bits " << b << " give half " << h;
    const float want = half_to_float(h), got = round_to_half(f);
    if (std::bit_cast<std::uint32_t>(got) != std::bit_cast<std::uint32_t>(want) && bad++ < 5)
      ADD_FAILURE() << "bits " << b << " give " << std::bit_cast<std::uint32_t>(got) << ", not " << std::bit_cast<std::uint32_t>(want);
  };
  for (std::uint64_t b = 0; b <= 0xffffffffu; b += 97) check(static_cast<std::uint32_t>(b));
  for (const std::uint32_t edge : {0x38800000u, 0x387fffffu, 0x387ff000u, 0x33800000u, 0x33000000u, 0x33000001u, 0x477fe000u,
                                   0x477fefffu, 0x477ff000u, 0x7f800000u, 0x7f800001u, 0x7fc00000u, 0u})
    for (const std::uint32_t s : {0u, 0x80000000u}) check(edge | s);
}

// Every half widens to its value: (-1)^s 2^(e - 15) (1 + m / 1024), subnormals m 2^-24, infinities, and NaNs
// with their payload in the top fraction bits.
TEST(Float16Test, EveryHalfWidensExactly) {
  for (std::uint32_t h = 0; h < 0x10000u; ++h) {
    const std::uint32_t e = (h >> 10) & 0x1fu, m = h & 0x3ffu, s = (h & 0x8000u) << 16;
    std::uint32_t want;
    if (e == 0x1f) want = s | 0x7f800000u | (m << 13);
    else want = s | std::bit_cast<std::uint32_t>(static_cast<float>(e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, static_cast<int>(e) - 25)));
    ASSERT_EQ(std::bit_cast<std::uint32_t>(half_to_float(static_cast<std::uint16_t>(h))), want) << h;
  }
}

}  // namespace
}  // namespace velmora
