#pragma once
// The unified renderer's small numeric routines: seeds from text, the float16 round trip, the audio
// standardisation, uniform B-spline weights, the time-since-onset one-hot, the eye delta path lookup and
// rotation vectors to matrices. Each equals NumPy's arithmetic operation for operation, except where NumPy
// calls its own transcendental functions or BLAS (pow, sin, cos, matrix products): there the results agree
// to a few ulp.
//
// Array arguments take any real element type and are converted as each routine states; results are new
// arrays. The span overloads write into caller-provided storage and never allocate, for per-frame loops.
#include <cstdint>
#include <span>
#include <string_view>

#include "common/ndarray.h"

namespace velmora::v2u {

namespace detail {
// The first four bytes of the MD5 digest of `s` (UTF-8 bytes, hashed as given), big-endian.
std::uint32_t md5(std::string_view s);
// The cardinal B-spline of degree p on [0, p + 1] by its truncated-power sum; float64, shape of x.
// Throws std::invalid_argument for p < 1 (degree 0 would give all zeros).
NdArray Np(const NdArray& x, int p);
double Np(double x, int p);
}  // namespace detail

// md5(key) modulo 2^31.
std::uint32_t item_seed(std::string_view key);
// md5 of tag + ":" + key; an integer key is written in decimal.
std::uint32_t seed_of(std::string_view tag, std::string_view key);
std::uint32_t seed_of(std::string_view tag, std::int64_t key);

// x to float32, to binary16 (ties to even, subnormals kept, overflow to infinity) and back: float32, shape of x.
NdArray f16rt(const NdArray& x);
void f16rt(std::span<const float> x, std::span<float> out);   // sizes must match
void f16rt(std::span<const double> x, std::span<float> out);  // rounds to float32 first, as the array form does

// (buf - mean) / sqrt(var + 1e-7) with the mean and variance in float64 (NumPy's summation order), the scale
// in float32, and each element rounded to float32 once: float32, shape of buf.
NdArray zscore_native(const NdArray& buf);
void zscore_native(const NdArray& buf, std::span<float> out);  // out.size() == buf.size()

// Uniform B-spline weights of degree p at positions u: float64 of shape u.shape + (p + 1,). Degree 3 uses the
// closed form. Throws std::invalid_argument for p < 1.
NdArray bweights(const NdArray& u, int p = 3);
void bweights(double u, int p, std::span<double> out);  // out.size() == p + 1

// One-hot of the bin of tau among TBINS, offset by 13 when started: float32 (26,).
// Throws std::out_of_range unless 0 <= tau < 1e9 (outside, the bin index would wrap).
NdArray tau_feat(std::int64_t tau, bool started);
void tau_feat(std::int64_t tau, bool started, std::span<float, 26> out);

// Piecewise-linear path through the knots (c[k], d[k]), extended linearly on both sides: float64 (n, D) for n
// levels p (a scalar or one axis). d: (K, D); c: (K,) non-decreasing with K >= 2; u: the slope beyond the last
// knot, one value or D values. A NaN level gives a NaN row. Throws std::invalid_argument on other shapes.
NdArray path_delta(const NdArray& p, const NdArray& d, const NdArray& c, const NdArray& u);
// One level's row into `out` (D values); d, c and u of float64 are read in place, so nothing is allocated.
void path_delta(double level, const NdArray& d, const NdArray& c, const NdArray& u, std::span<double> out);

// Rodrigues' formula with the unnormalised cross-product matrix K of each vector: I + A K + B K K, with
// A = sin th / th, B = (1 - cos th) / th^2, and the limits 1 and 0.5 below th = 1e-8: float64 (N, 3, 3) for the
// N vectors read in row order from w. Throws std::invalid_argument unless w.size() is a multiple of 3.
NdArray rotvec_to_rotmat(const NdArray& w);
void rotvec_to_rotmat(const double* w3, double* out9);  // one vector, one row-major 3 x 3 matrix

}  // namespace velmora::v2u
