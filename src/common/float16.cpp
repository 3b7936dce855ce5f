#include "common/float16.h"

#include <bit>

namespace velmora {

std::uint16_t double_to_half(double d) {
  const auto bits = std::bit_cast<std::uint64_t>(d);
  const auto sign = static_cast<std::uint16_t>((bits >> 48) & 0x8000u);
  const int exp = static_cast<int>((bits >> 52) & 0x7ffu);
  const std::uint64_t sig = bits & ((std::uint64_t{1} << 52) - 1);
  if (exp == 0x7ff) {
    if (sig == 0) return sign | 0x7c00u;
    std::uint16_t nan = static_cast<std::uint16_t>(0x7c00u + (sig >> 42));
    if (nan == 0x7c00u) ++nan;  // a payload below the kept bits must not turn the NaN into infinity
    return sign | nan;
  }
  const int e = exp - 1023;
  if (exp == 0 || e < -25) return sign;  // below half the smallest subnormal: signed zero
  if (e > 15) return sign | 0x7c00u;
  const std::uint64_t full = (std::uint64_t{1} << 52) | sig;
  // Normal halves keep 10 fraction bits (shift 42); subnormals shift further. A carry out of the fraction
  // correctly bumps the exponent (up to infinity).
  const int shift = e >= -14 ? 42 : 42 + (-14 - e);
  std::uint64_t m = (e >= -14 ? sig : full) >> shift;
  const std::uint64_t rem = (e >= -14 ? sig : full) & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  if (rem > half || (rem == half && (m & 1))) ++m;
  const std::uint64_t h_exp = e >= -14 ? static_cast<std::uint64_t>(e + 15) << 10 : 0;
  return static_cast<std::uint16_t>(sign | (h_exp + m));
}

}  // namespace velmora
