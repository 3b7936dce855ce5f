#pragma once
// NumPy's maximum and argmin for doubles, NaN rules included (std::max and a plain `<` scan get them wrong).
#include <cmath>
#include <cstdint>

namespace velmora {

// numpy.maximum(x, y): NaN when either side is NaN (x's first), else the larger.
inline double np_maximum(double x, double y) {
  if (std::isnan(x)) return x;
  if (std::isnan(y)) return y;
  return y > x ? y : x;
}

// numpy.argmin over n values value(0) .. value(n - 1): the first NaN, else the first of the smallest.
// n must be at least 1.
template <class F>
std::int64_t np_argmin(std::int64_t n, F&& value) {
  std::int64_t best = 0;
  double bv = value(0);
  if (std::isnan(bv)) return 0;
  for (std::int64_t i = 1; i < n; ++i) {
    const double v = value(i);
    if (std::isnan(v)) return i;
    if (v < bv) {
      best = i;
      bv = v;
    }
  }
  return best;
}

}  // namespace velmora
