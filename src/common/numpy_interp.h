#pragma once
// NumPy's interp (1.24): piecewise-linear interpolation over increasing sample points, clamped to the end
// values, with NumPy's treatment of NaN, exact knots and a single knot.
#include <span>

namespace velmora {

// numpy.interp(x, xp, fp) for one x. xp must not decrease (with ties the last of equal knots is the segment
// start, as NumPy's search gives it); other orders give some value of fp, never a read outside the arrays.
// A NaN x gives NaN, except that a single knot gives fp[0] for every x. Throws std::invalid_argument with
// NumPy's texts for an empty xp and for fp and xp of different lengths.
double interp(double x, std::span<const double> xp, std::span<const double> fp);

// The same for each x in order into `out` (same size as x); the checks are made once, before any write.
void interp(std::span<const double> x, std::span<const double> xp, std::span<const double> fp, std::span<double> out);

}  // namespace velmora
