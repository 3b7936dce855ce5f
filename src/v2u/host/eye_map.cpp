#include "v2u/host/eye_map.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "common/numpy_interp.h"
#include "common/numpy_minmax.h"

namespace velmora::v2u {

namespace {

NdArray levels_of(const NdArray& P) {
  if (P.rank() != 1) throw std::invalid_argument("eye level table P must have one axis, not shape " + P.shape().str());
  return P.astype(DType::Float64);
}

std::span<const double> f64(const NdArray& a) { return a.values<double>(); }

}  // namespace

// --- EyeMap --------------------------------------------------------------------------------------------

EyeMap::EyeMap(const NdArray& e_img, const NdArray& P_in, double a_ref) : P(levels_of(P_in)) {
  if (e_img.rank() != 2 || e_img.dim(0) < 1 || e_img.dim(1) < 2)
    throw std::invalid_argument("eye measures e_img must be (levels, >= 2 eyes), not shape " + e_img.shape().str());
  const std::int64_t E = e_img.dim(0), W = e_img.dim(1);
  if (P.size() != E)
    throw std::invalid_argument("eye level table P holds " + std::to_string(P.size()) + " levels, e_img " +
                                std::to_string(E));
  const NdArray e = e_img.astype(DType::Float64);
  const double* ev = e.data<double>();
  const double* pv = P.data<double>();
  for (int i = 0; i < 2; ++i) {
    Knots& k = knots[static_cast<std::size_t>(i)];
    double s = ev[i];
    k.ek.push_back(s);
    k.pk.push_back(pv[0]);
    rest[static_cast<std::size_t>(i)] = s;
    for (std::int64_t j = 1; j < E; ++j) {
      const double sj = np_maximum(s, ev[j * W + i]);
      // A rise counts from the previous level, so creeping rises of at most 0.001 never add a knot.
      if (sj - s > 0.001) {
        k.ek.push_back(sj);
        k.pk.push_back(pv[j]);
      }
      s = sj;
    }
    A[static_cast<std::size_t>(i)] = s < a_ref ? s : a_ref;
  }
}

void EyeMap::key(std::span<const double> f, std::span<double> out) const {
  if (out.size() != 2 * f.size()) throw std::invalid_argument("EyeMap.key: output must hold two keys per amount");
  for (std::size_t i = 0; i < 2; ++i) {
    const Knots& k = knots[i];
    const double span = A[i] - rest[i];
    for (std::size_t t = 0; t < f.size(); ++t) {
      const double ft = f[t] < 0.0 ? 0.0 : f[t];
      out[2 * t + i] = k.ek.size() >= 2 ? interp(rest[i] + ft * span, k.ek, k.pk) : 0.0;
    }
  }
}

NdArray EyeMap::key(const NdArray& f) const {
  if (f.rank() != 1) throw std::invalid_argument("EyeMap.key: amounts must have one axis, not shape " + f.shape().str());
  const NdArray fd = f.astype(DType::Float64);
  NdArray out = NdArray::uninitialized(DType::Float64, {f.size(), 2});
  key(f64(fd), out.values<double>());
  return out;
}

// --- XCal ----------------------------------------------------------------------------------------------

XCal::XCal(const std::optional<NdArray>& m, const NdArray& P_in) : P(levels_of(P_in)), E(P.size()) {
  const std::string fault = "xcal_m must hold " + std::to_string(E - 1) + " finite floats";
  if (!m || m->rank() != 1 || m->size() != E - 1) throw std::invalid_argument(fault);
  const NdArray md = m->astype(DType::Float64);
  for (double v : f64(md))
    if (!std::isfinite(v)) throw std::invalid_argument(fault);
  a = NdArray(DType::Float64, {E});
  b = NdArray(DType::Float64, {E});
  s = NdArray(DType::Float64, {E});
  double* av = a.data<double>();
  double* bv = b.data<double>();
  double* sv = s.data<double>();
  for (std::int64_t j = 0; j < E; ++j) {
    av[j] = static_cast<double>(j);
    bv[j] = j == 0 ? 0.0 : md.data<double>()[j - 1];
    sv[j] = 0.5 * (av[j] + bv[j]);
  }
  // A step counts when it rises more than 1e-9 above the step just before it. After a fall, a kept step can
  // lie below an earlier kept one; interpolation over such knots has no meaning, so that calibration keeps,
  // in a fixed way, only the steps that rise above every step before them.
  for (const bool from_top : {false, true}) {
    s_keep_.assign(1, sv[0]);
    a_keep_.assign(1, av[0]);
    double top = sv[0];
    for (std::int64_t j = 1; j < E; ++j) {
      if (sv[j] - (from_top ? top : sv[j - 1]) > 1e-9) {
        s_keep_.push_back(sv[j]);
        a_keep_.push_back(av[j]);
      }
      top = std::max(top, sv[j]);
    }
    if (std::adjacent_find(s_keep_.begin(), s_keep_.end(), std::greater_equal<>()) == s_keep_.end()) break;  // strictly rising
  }
}

double XCal::lev(double p) const { return interp(p, f64(P), f64(a)); }
double XCal::par(double lv) const { return interp(lv, f64(a), f64(P)); }

NdArray XCal::lev(const NdArray& p) const {
  NdArray out = p.astype(DType::Float64);
  for (double& v : out.values<double>()) v = lev(v);
  return out;
}

NdArray XCal::par(const NdArray& lv) const {
  NdArray out = lv.astype(DType::Float64);
  for (double& v : out.values<double>()) v = par(v);
  return out;
}

void XCal::keys(std::span<const double> kfl, std::span<double> out) const {
  if (kfl.size() % 2 != 0 || out.size() != kfl.size())
    throw std::invalid_argument("XCal.keys: pairs of keys in, as many pairs out");
  for (std::size_t t = 0; t < kfl.size(); t += 2) {
    const double s_star = 0.5 * (lev(kfl[t]) + lev(kfl[t + 1]));
    const double a_lev = interp(s_star, s_keep_, a_keep_);
    const double b_lev = interp(a_lev, f64(a), f64(b));
    out[t] = par(a_lev);
    out[t + 1] = par(b_lev);
  }
}

NdArray XCal::keys(const NdArray& kfl) const {
  if (kfl.rank() != 2 || kfl.dim(1) < 2)
    throw std::invalid_argument("XCal.keys: keys must be (frames, 2), not shape " + kfl.shape().str());
  const std::int64_t T = kfl.dim(0), W = kfl.dim(1);
  const NdArray kd = kfl.astype(DType::Float64);
  NdArray pairs = NdArray::uninitialized(DType::Float64, {T, 2});
  for (std::int64_t t = 0; t < T; ++t) {
    pairs.data<double>()[2 * t] = kd.data<double>()[t * W];
    pairs.data<double>()[2 * t + 1] = kd.data<double>()[t * W + 1];
  }
  NdArray out = NdArray::uninitialized(DType::Float64, {T, 2});
  keys(f64(pairs), out.values<double>());
  return out;
}

}  // namespace velmora::v2u
