#include "common/numpy_interp.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>

namespace velmora {

namespace {

void check(std::span<const double> xp, std::span<const double> fp) {
  if (xp.empty()) throw std::invalid_argument("array of sample points is empty");
  if (fp.size() != xp.size()) throw std::invalid_argument("fp and xp are not of the same length.");
}

// The sample interval of x: -1 below xp[0], n above xp[n-1], else the last j with xp[j] <= x. A plain
// bisection, so that any order of xp stays inside the array.
std::ptrdiff_t search(double x, std::span<const double> xp) {
  const auto n = static_cast<std::ptrdiff_t>(xp.size());
  if (x > xp[n - 1]) return n;
  if (x < xp[0]) return -1;
  std::ptrdiff_t lo = 0, hi = n;
  while (lo < hi) {
    const std::ptrdiff_t mid = lo + ((hi - lo) >> 1);
    if (x >= xp[mid]) lo = mid + 1;
    else hi = mid;
  }
  return lo - 1;
}

double interp_checked(double x, std::span<const double> xp, std::span<const double> fp) {
  const auto n = static_cast<std::ptrdiff_t>(xp.size());
  // One knot: both end values are fp[0] and NumPy makes no NaN test, so every x, NaN too, gives fp[0].
  if (n == 1) return fp[0];
  if (std::isnan(x)) return x;
  const std::ptrdiff_t j = search(x, xp);
  if (j == -1) return fp[0];
  if (j >= n - 1) return fp[n - 1];
  if (xp[j] == x) return fp[j];
  const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
  double r = slope * (x - xp[j]) + fp[j];
  if (std::isnan(r)) {
    // An infinite slope or value on one side: NumPy tries from the other end of the interval.
    r = slope * (x - xp[j + 1]) + fp[j + 1];
    if (std::isnan(r) && fp[j] == fp[j + 1]) r = fp[j];
  }
  return r;
}

}  // namespace

double interp(double x, std::span<const double> xp, std::span<const double> fp) {
  check(xp, fp);
  return interp_checked(x, xp, fp);
}

void interp(std::span<const double> x, std::span<const double> xp, std::span<const double> fp, std::span<double> out) {
  check(xp, fp);
  if (out.size() != x.size()) throw std::invalid_argument("interp: output must hold one value per x");
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = interp_checked(x[i], xp, fp);
}

}  // namespace velmora
