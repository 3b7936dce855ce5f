#pragma once
// IEEE half precision as NumPy's float16 converts it: round to nearest, ties to even, overflow to infinity,
// NaN kept as NaN with the top bits of its payload.
#include <cstdint>

namespace velmora {

float half_to_float(std::uint16_t h);
std::uint16_t float_to_half(float f);
std::uint16_t double_to_half(double d);  // rounds once, from the double (no double rounding through float)

}  // namespace velmora
