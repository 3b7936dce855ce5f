#pragma once
// IEEE half precision as NumPy's float16 converts it: round to nearest, ties to even, overflow to infinity,
// NaN kept as NaN with the top bits of its payload.
#include <bit>
#include <cstdint>

namespace velmora {

float half_to_float(std::uint16_t h);
std::uint16_t float_to_half(float f);
std::uint16_t double_to_half(double d);  // rounds once, from the double (no double rounding through float)

// half_to_float(float_to_half(f)) without going through the half's bits, for per-element loops: f rounded to
// the nearest float16 value, ties to even, beyond the largest half to infinity, NaN as the round trip gives it.
inline float round_to_half(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t sign = bits & 0x80000000u, a = bits & 0x7fffffffu;
  if (a == 0x7f800000u) return f;                               // infinities stay
  if (a > 0x7f800000u) return half_to_float(float_to_half(f));  // NaNs keep what the half keeps of them
  if (a >= 0x38800000u) {
    // Normal half range (2^-14 and up): keep 10 fraction bits, ties to even; a carry moves into the exponent.
    std::uint32_t r = (a + 0xfffu + ((a >> 13) & 1u)) & 0xffffe000u;
    if (r > 0x477fe000u) r = 0x7f800000u;  // beyond 65504
    return std::bit_cast<float>(sign | r);
  }
  // Half subnormals are multiples of 2^-24: adding 0.5 rounds to that quantum (ties to even), exactly undone.
  const float m = (std::bit_cast<float>(a) + 0.5f) - 0.5f;
  return std::bit_cast<float>(sign | std::bit_cast<std::uint32_t>(m));
}

}  // namespace velmora
