#pragma once
// IEEE half precision as NumPy's float16 converts it: round to nearest, ties to even, overflow to infinity,
// NaN kept as NaN with the top bits of its payload.
#include <bit>
#include <cstdint>

namespace velmora {

// Exact. By masks rather than branches, as the conversions below, so that loops over it vectorise.
inline float half_to_float(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16, e = (h >> 10) & 0x1fu, m = h & 0x3ffu;
  const auto all = [](bool c) { return 0u - static_cast<std::uint32_t>(c); };
  const std::uint32_t normal = ((e + 112) << 23) | (m << 13);
  const std::uint32_t special = 0x7f800000u | (m << 13);  // infinities and NaNs
  const std::uint32_t sub = std::bit_cast<std::uint32_t>(static_cast<float>(m) * 0x1p-24f);  // m 2^-24, exact
  const std::uint32_t is_special = all(e == 0x1f), is_sub = all(e == 0);
  return std::bit_cast<float>(sign | (special & is_special) | (sub & is_sub) | (normal & ~(is_special | is_sub)));
}

inline std::uint16_t float_to_half(float f);
std::uint16_t double_to_half(double d);  // rounds once, from the double (no double rounding through float)

// half_to_float(float_to_half(f)) without going through the half's bits, for per-element loops: f rounded to
// the nearest float16 value, ties to even, beyond the largest half to infinity, NaN as the round trip gives it.
// The cases are combined by masks rather than branches, so that loops over it vectorise.
inline float round_to_half(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t sign = bits & 0x80000000u, a = bits & 0x7fffffffu;
  const auto all = [](bool c) { return 0u - static_cast<std::uint32_t>(c); };
  // Normal half range (2^-14 and up, infinity included): keep 10 fraction bits, ties to even; a carry moves
  // into the exponent, and beyond 65504 is infinity.
  std::uint32_t normal = (a + 0xfffu + ((a >> 13) & 1u)) & 0xffffe000u;
  const std::uint32_t over = all(normal > 0x477fe000u);
  normal = (normal & ~over) | (0x7f800000u & over);
  // Half subnormals are multiples of 2^-24: adding 0.5 rounds to that quantum (ties to even), exactly undone.
  const std::uint32_t sub = std::bit_cast<std::uint32_t>((std::bit_cast<float>(a) + 0.5f) - 0.5f);
  // A NaN keeps the top 10 bits of its payload, at least the lowest of them (so it stays a NaN).
  const std::uint32_t payload = a & 0x7fe000u;
  const std::uint32_t nan = 0x7f800000u | payload | (0x2000u & all(payload == 0));
  const std::uint32_t is_nan = all(a > 0x7f800000u), is_normal = all(a >= 0x38800000u);
  const std::uint32_t r = (nan & is_nan) | (~is_nan & ((normal & is_normal) | (sub & ~is_normal)));
  return std::bit_cast<float>(sign | r);
}

inline std::uint16_t float_to_half(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t sign = (bits >> 16) & 0x8000u, a = bits & 0x7fffffffu;
  const auto all = [](bool c) { return 0u - static_cast<std::uint32_t>(c); };
  // A NaN from its own bits (widening a signalling NaN to double would set its quiet bit): the top 10 bits of
  // its payload, at least 1.
  const std::uint32_t top = (a & 0x7fffffu) >> 13;
  const std::uint32_t nan = 0x7c00u | top | (1u & all(top == 0));
  // Otherwise the rounded value is a half or infinity, and its bits follow from the float's: normal halves by
  // rebiasing the exponent (127 to 15), subnormals as k * 2^-24 (from a value clamped so the conversion is defined).
  const std::uint32_t r = std::bit_cast<std::uint32_t>(round_to_half(std::bit_cast<float>(a)));
  const std::uint32_t normal = (r - 0x38000000u) >> 13;
  const std::uint32_t small = r < 0x38800000u ? r : 0x38800000u;
  const auto sub = static_cast<std::uint32_t>(std::bit_cast<float>(small) * 0x1p24f);
  const std::uint32_t is_nan = all(a > 0x7f800000u), is_inf = all(r == 0x7f800000u), is_normal = all(r >= 0x38800000u);
  const std::uint32_t finite = (normal & is_normal) | (sub & ~is_normal);
  const std::uint32_t h = (nan & is_nan) | (~is_nan & ((0x7c00u & is_inf) | (finite & ~is_inf)));
  return static_cast<std::uint16_t>(sign | h);
}

}  // namespace velmora
