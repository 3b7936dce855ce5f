#include "v2u/host/numerics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/float16.h"
#include "common/md5.h"
#include "common/numpy_sum.h"
#include "v2u/host/constants.h"

namespace velmora::v2u {

namespace {

// Calls f(i) -> double for the elements of `a` in row-major order, whatever their type.
template <class F>
void each_as_double(const NdArray& a, F&& f) {
  visit_dtype(a.dtype(), [&](auto t) {
    using T = decltype(t);
    const T* p = static_cast<const T*>(a.raw_data());
    for (std::int64_t i = 0; i < a.size(); ++i) f(i, widen(p[i]));
  });
}

// Python's max(x, floor): the floor only when it is strictly greater (a NaN x stays).
double py_max(double x, double floor) { return floor > x ? floor : x; }

std::int64_t binomial(int n, int k) {
  std::int64_t r = 1;
  for (int i = 1; i <= k; ++i) r = r * (n - k + i) / i;
  return r;
}

std::int64_t factorial(int n) {
  std::int64_t r = 1;
  for (int i = 2; i <= n; ++i) r *= i;
  return r;
}

void check_degree(int p) {
  // 20! is the largest factorial in 64 bits; degree 0 would give zero weights everywhere.
  if (p < 1 || p > 20) throw std::invalid_argument("spline degree must be 1 to 20, not " + std::to_string(p));
}

}  // namespace

// --- seeds ---------------------------------------------------------------------------------------------

std::uint32_t detail::md5(std::string_view s) {
  const auto d = md5_digest(s);
  return (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
}

std::uint32_t item_seed(std::string_view key) { return detail::md5(key) & 0x7fffffffu; }

std::uint32_t seed_of(std::string_view tag, std::string_view key) {
  std::string s(tag);
  s += ':';
  s += key;
  return detail::md5(s);
}

std::uint32_t seed_of(std::string_view tag, std::int64_t key) { return seed_of(tag, std::to_string(key)); }

// --- f16rt ---------------------------------------------------------------------------------------------

void f16rt(std::span<const float> x, std::span<float> out) {
  if (x.size() != out.size()) throw std::invalid_argument("f16rt: output size differs from input size");
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = round_to_half(x[i]);
}

void f16rt(std::span<const double> x, std::span<float> out) {
  if (x.size() != out.size()) throw std::invalid_argument("f16rt: output size differs from input size");
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = round_to_half(static_cast<float>(x[i]));
}

NdArray f16rt(const NdArray& x) {
  NdArray out = x.dtype() == DType::Float32 ? NdArray::uninitialized(DType::Float32, x.shape()) : x.astype(DType::Float32);
  const float* in = x.dtype() == DType::Float32 ? x.data<float>() : out.data<float>();
  f16rt(std::span<const float>(in, static_cast<std::size_t>(x.size())), out.values<float>());
  return out;
}

// --- zscore_native -------------------------------------------------------------------------------------

void zscore_native(const NdArray& buf, std::span<float> out) {
  if (static_cast<std::int64_t>(out.size()) != buf.size()) throw std::invalid_argument("zscore_native: output size differs from input size");
  visit_dtype(buf.dtype(), [&](auto t) {
    using T = decltype(t);
    const T* p = static_cast<const T*>(buf.raw_data());
    const std::int64_t n = buf.size();
    const auto nd = static_cast<double>(n);
    const double mean = numpy_sum_of<double>(n, [&](std::int64_t i) { return widen(p[i]); }) / nd;
    const double var = numpy_sum_of<double>(n, [&](std::int64_t i) {
                         const double dv = widen(p[i]) - mean;
                         return dv * dv;
                       }) / nd;
    const float inv = 1.0f / std::sqrt(static_cast<float>(var) + static_cast<float>(1e-7));
    const auto inv64 = static_cast<double>(inv);
    for (std::int64_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = static_cast<float>((widen(p[i]) - mean) * inv64);
  });
}

NdArray zscore_native(const NdArray& buf) {
  NdArray out = NdArray::uninitialized(DType::Float32, buf.shape());
  zscore_native(buf, out.values<float>());
  return out;
}

// --- B-spline weights ----------------------------------------------------------------------------------

double detail::Np(double x, int p) {
  check_degree(p);
  double s = 0.0;
  const auto pd = static_cast<double>(p);
  for (int k = 0; k <= p + 1; ++k) {
    const auto coef = static_cast<double>((k % 2 ? -1 : 1) * binomial(p + 1, k));
    const double m = std::max(x - k, 0.0);
    // NumPy squares by multiplication; other powers go through pow.
    s += coef * (p == 2 ? m * m : std::pow(m, pd));
  }
  return s / static_cast<double>(factorial(p));
}

NdArray detail::Np(const NdArray& x, int p) {
  check_degree(p);
  NdArray out = NdArray::uninitialized(DType::Float64, x.shape());
  double* o = out.data<double>();
  each_as_double(x, [&](std::int64_t i, double v) { o[i] = Np(v, p); });
  return out;
}

void bweights(double u, int p, std::span<double> out) {
  check_degree(p);
  if (out.size() != static_cast<std::size_t>(p) + 1) throw std::invalid_argument("bweights: output must hold p + 1 values");
  if (p == 3) {
    const double u2 = u * u;
    const double u3 = std::pow(u, 3.0);
    const double v = 1.0 - u;
    out[0] = std::pow(v, 3.0) / 6.0;
    out[1] = ((3.0 * u3 - 6.0 * u2) + 4.0) / 6.0;
    out[2] = (((-3.0 * u3 + 3.0 * u2) + 3.0 * u) + 1.0) / 6.0;
    out[3] = u3 / 6.0;
    return;
  }
  for (int i = 0; i <= p; ++i) out[static_cast<std::size_t>(i)] = detail::Np((u + p) - i, p);
}

NdArray bweights(const NdArray& u, int p) {
  check_degree(p);
  NdArray out = NdArray::uninitialized(DType::Float64, u.shape().append(p + 1));
  double* o = out.data<double>();
  const auto w = static_cast<std::size_t>(p) + 1;
  each_as_double(u, [&](std::int64_t i, double v) { bweights(v, p, std::span<double>(o + static_cast<std::size_t>(i) * w, w)); });
  return out;
}

// --- tau_feat ------------------------------------------------------------------------------------------

void tau_feat(std::int64_t tau, bool started, std::span<float, 26> out) {
  if (tau < 0 || tau >= TBINS.back())
    throw std::out_of_range("tau_feat: tau must be 0 to 999999999, not " + std::to_string(tau));
  constexpr int nb = static_cast<int>(TBINS.size()) - 1;
  const auto k = static_cast<int>(std::upper_bound(TBINS.begin(), TBINS.end(), tau) - TBINS.begin()) - 1;
  std::fill(out.begin(), out.end(), 0.0f);
  out[static_cast<std::size_t>(k + (started ? nb : 0))] = 1.0f;
}

NdArray tau_feat(std::int64_t tau, bool started) {
  NdArray out(DType::Float32, {26});
  tau_feat(tau, started, std::span<float, 26>(out.data<float>(), 26));
  return out;
}

// --- path_delta ----------------------------------------------------------------------------------------

namespace {

// d, c and u of path_delta checked and read as float64 (without a copy when they already are).
struct PathData {
  NdArray cd, dd, ud;  // converted copies, only for other element types
  const double* c;
  const double* d;
  const double* u;
  std::int64_t K, D, nu;
};

const double* f64_of(const NdArray& a, NdArray& tmp) {
  if (a.dtype() == DType::Float64) return a.data<double>();
  tmp = a.astype(DType::Float64);
  return tmp.data<double>();
}

PathData path_data(const NdArray& d, const NdArray& c, const NdArray& u) {
  if (d.rank() != 2) throw std::invalid_argument("path_delta: d must have two axes, not shape " + d.shape().str());
  PathData pd;
  pd.K = d.dim(0);
  pd.D = d.dim(1);
  pd.nu = u.size();
  if (pd.K < 2 || c.size() != pd.K)
    throw std::invalid_argument("path_delta: need K >= 2 knots in c and K rows in d, got c of " + std::to_string(c.size()) +
                                " and d of shape " + d.shape().str());
  if (pd.nu != 1 && pd.nu != pd.D)
    throw std::invalid_argument("path_delta: u must hold 1 or " + std::to_string(pd.D) + " values, not " + std::to_string(pd.nu));
  pd.c = f64_of(c, pd.cd);
  pd.d = f64_of(d, pd.dd);
  pd.u = f64_of(u, pd.ud);
  for (std::int64_t k = 1; k < pd.K; ++k)
    if (!(pd.c[k - 1] <= pd.c[k])) throw std::invalid_argument("path_delta: knots must not decrease");
  return pd;
}

void path_row(const PathData& pd, double q, double* r) {
  const std::int64_t K = pd.K, D = pd.D;
  const double* cv = pd.c;
  auto row = [&](std::int64_t k) { return pd.d + k * D; };
  if (std::isnan(q)) {
    std::fill(r, r + D, std::numeric_limits<double>::quiet_NaN());
  } else if (q <= 0) {
    const double s = q / py_max(cv[1], 1e-9);
    for (std::int64_t e = 0; e < D; ++e) r[e] = s * row(1)[e];
  } else if (q >= cv[K - 1]) {
    const double dq = q - cv[K - 1];
    for (std::int64_t e = 0; e < D; ++e) r[e] = row(K - 1)[e] + dq * pd.u[pd.nu == 1 ? 0 : e];
  } else {
    const auto j = static_cast<std::int64_t>(std::lower_bound(cv, cv + K, q) - cv);
    const double w = (q - cv[j - 1]) / py_max(cv[j] - cv[j - 1], 1e-12);
    for (std::int64_t e = 0; e < D; ++e) r[e] = row(j - 1)[e] + w * (row(j)[e] - row(j - 1)[e]);
  }
}

}  // namespace

NdArray path_delta(const NdArray& p, const NdArray& d, const NdArray& c, const NdArray& u) {
  if (p.rank() > 1) throw std::invalid_argument("path_delta: levels must be a scalar or one axis, not shape " + p.shape().str());
  const PathData pd = path_data(d, c, u);
  NdArray out = NdArray::uninitialized(DType::Float64, {p.size(), pd.D});
  double* o = out.data<double>();
  each_as_double(p, [&](std::int64_t i, double q) { path_row(pd, q, o + i * pd.D); });
  return out;
}

void path_delta(double level, const NdArray& d, const NdArray& c, const NdArray& u, std::span<double> out) {
  const PathData pd = path_data(d, c, u);
  if (static_cast<std::int64_t>(out.size()) != pd.D) throw std::invalid_argument("path_delta: output must hold one row of d");
  path_row(pd, level, out.data());
}

// --- rotations -----------------------------------------------------------------------------------------

void rotvec_to_rotmat(const double* w3, double* out9) {
  const double x = w3[0], y = w3[1], z = w3[2];
  const double th = std::sqrt(((0.0 + x * x) + y * y) + z * z);
  const double K[3][3] = {{0.0, -z, y}, {z, 0.0, -x}, {-y, x, 0.0}};
  const bool small = th < 1e-8;
  const double ths = small ? 1.0 : th;
  const double A = small ? 1.0 : std::sin(ths) / ths;
  const double B = small ? 0.5 : (1.0 - std::cos(ths)) / (ths * ths);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double kk = (K[i][0] * K[0][j] + K[i][1] * K[1][j]) + K[i][2] * K[2][j];
      out9[i * 3 + j] = ((i == j ? 1.0 : 0.0) + A * K[i][j]) + B * kk;
    }
  }
}

NdArray rotvec_to_rotmat(const NdArray& w) {
  if (w.size() % 3 != 0)
    throw std::invalid_argument("rotvec_to_rotmat: cannot read " + std::to_string(w.size()) + " values as rows of 3");
  const NdArray wd = w.astype(DType::Float64);
  const std::int64_t n = w.size() / 3;
  NdArray out = NdArray::uninitialized(DType::Float64, {n, 3, 3});
  for (std::int64_t i = 0; i < n; ++i) rotvec_to_rotmat(wd.data<double>() + 3 * i, out.data<double>() + 9 * i);
  return out;
}

}  // namespace velmora::v2u
