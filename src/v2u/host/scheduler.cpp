#include "v2u/host/scheduler.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/json_convert.h"
#include "common/numpy_minmax.h"
#include "v2u/host/constants.h"
#include "v2u/host/numerics.h"

namespace velmora::v2u {

namespace {

constexpr int EYE_COLUMNS = 12;

NdArray f64_copy(const NdArray& a) { return a.astype(DType::Float64); }

// A residual matrix as (rows x 12) doubles. An empty "V" of a model without noise channels stands for (0, 12).
std::vector<double> residual(const json::Value& res, const char* key, std::int64_t rows) {
  const NdArray a = json::to_array(json::at(res, key), DType::Float64);
  if (rows == 0 && a.size() == 0) return {};
  if (a.rank() != 2 || a.dim(0) != rows || a.dim(1) != EYE_COLUMNS)
    throw std::invalid_argument(std::string("residual model ") + key + " must be (" + std::to_string(rows) + ", 12), not shape " +
                                a.shape().str());
  const auto v = a.values<double>();
  return {v.begin(), v.end()};
}

}  // namespace

E3COpen::E3COpen(const E3Params& g, const EyeMap& emap, const NdArray& P, const NdArray& d, const NdArray& c,
                 const SeedInt& seed, double shift, AR2Noise noise, double ehyst, std::int64_t keep_onsets)
    : emap_(emap),
      P_(f64_copy(P)),
      ehyst_(ehyst),
      lib_(g.lib),
      NX_(g.lib.dim(1)),
      REF_(g.REF),
      w_(g.w),
      mu_x_(g.mu_x),
      sd_x_(g.sd_x),
      b_(g.b),
      q_(g.q),
      u_(g.u),
      d_(f64_copy(d)),
      c_(f64_copy(c)),
      shift_(shift),
      keep_onsets_(keep_onsets),
      noise_(std::move(noise)),
      rng_(default_rng(seed.mod_2_32())) {
  if (P_.rank() != 1 || P_.size() == 0)
    throw std::invalid_argument("eye level table P must hold at least one level in one axis, not shape " + P_.shape().str());
  if (keep_onsets < 0) throw std::invalid_argument("keep_onsets must not be negative, not " + std::to_string(keep_onsets));
  if (g.aw.empty()) throw std::invalid_argument("the hazard needs at least one feature window (causal AWIN is empty)");
  for (const auto& w : g.aw) {
    if (w.size() != 2) throw std::invalid_argument("each feature window must be a pair (a, b), not " + std::to_string(w.size()) + " values");
    aw_.emplace_back(w[0], w[1]);
  }
  amin_ = aw_[0].first;
  low_ = std::min(aw_[0].first, aw_[0].second);
  for (const auto& [a, b] : aw_) {
    amin_ = std::min(amin_, a);
    low_ = std::min({low_, a, b});
  }
  // The delta path is checked once here, so that no pop fails on it half-way.
  if (d_.rank() != 2 || d_.dim(1) < EYE_COLUMNS)
    throw std::invalid_argument("delta path d must be (knots, >= 12), not shape " + d_.shape().str());
  std::vector<double> probe(static_cast<std::size_t>(d_.dim(1)));
  path_delta(0.0, d_, c_, u_, probe);
  B_ = residual(g.res, "B", 3);
  V_ = residual(g.res, "V", static_cast<std::int64_t>(noise_.channels()));
  if (w_.rank() != 1 || mu_x_.rank() != 1 || sd_x_.rank() != 1)
    throw std::invalid_argument("hazard weights, means and scales must each have one axis");

  // Event pools: the events whose measure before the event lies nearest the mean rest measure, flutter
  // events apart. Equal distances keep library order; NaN distances come last, as NumPy sorts them.
  const double rest = 0.5 * (emap_.rest[0] + emap_.rest[1]);
  const std::int64_t M = g.pre.size();
  std::vector<double> dist(static_cast<std::size_t>(M));
  std::vector<std::int64_t> nn(static_cast<std::size_t>(M));
  for (std::int64_t e = 0; e < M; ++e) {
    dist[static_cast<std::size_t>(e)] = std::fabs(g.pre.data<double>()[e] - rest);
    nn[static_cast<std::size_t>(e)] = e;
  }
  std::stable_sort(nn.begin(), nn.end(), [&](std::int64_t i, std::int64_t j) {
    const double di = dist[static_cast<std::size_t>(i)], dj = dist[static_cast<std::size_t>(j)];
    if (std::isnan(di)) return false;
    return std::isnan(dj) || di < dj;
  });
  nn.resize(static_cast<std::size_t>(std::min<std::int64_t>(M, g.k)));
  // Either pool may be empty (an empty library, or one of flutter events only): a stream that never draws
  // from it runs, and a draw from it fails there (hazard_frame).
  for (std::int64_t e : nn) (g.flut.data<bool>()[e] ? pool_f_ : pool_s_).push_back(e);

  f_.assign(static_cast<std::size_t>(F_HEADROOM + NX_), 0.0);
}

void E3COpen::add(const NdArray& rows, const NdArray& fp, const NdArray& fe) {
  if (rows.rank() != 2 || rows.dim(1) != MOTION_COLUMNS)
    throw std::invalid_argument("motion rows must be (frames, 69), not shape " + rows.shape().str());
  const std::int64_t T = rows.dim(0);
  if (fp.rank() < 1 || fp.rank() > 2 || fp.dim(0) != T)
    throw std::invalid_argument("fp must be " + std::to_string(T) + " values or (" + std::to_string(T) +
                                ", columns), not shape " + fp.shape().str());
  if (fe.rank() != 1 || fe.dim(0) != T)
    throw std::invalid_argument("fe must be " + std::to_string(T) + " values, not shape " + fe.shape().str());
  if (T == 0) return;
  const std::int64_t mp = fp.rank() == 1 ? 1 : fp.dim(1);
  const std::int64_t m = mp + 1;
  if (m_ != 0 && m != m_)
    throw std::invalid_argument("driving features changed from " + std::to_string(m_) + " to " + std::to_string(m) + " columns");
  if (m_ == 0) {
    const std::int64_t NF = 26 + m * static_cast<std::int64_t>(aw_.size());
    if (w_.size() != NF || mu_x_.size() != NF || sd_x_.size() != NF)
      throw std::invalid_argument("hazard weights, means and scales must hold " + std::to_string(NF) + " values for " +
                                  std::to_string(m) + " driving columns, not " + std::to_string(w_.size()) + ", " +
                                  std::to_string(mu_x_.size()) + " and " + std::to_string(sd_x_.size()));
    m_ = m;
    cs_.assign(static_cast<std::size_t>(m), 0.0);
    cs_rows_ = 1;
    x_.assign(static_cast<std::size_t>(NF), 0.0);
  }
  const NdArray fpd = fp.astype(DType::Float64), fed = fe.astype(DType::Float64);
  const NdArray rf = rows.astype(DType::Float32);

  // The block's own prefix sums first, then the running total on top, as cumsum plus cs_last adds them.
  const std::size_t base_row = cs_.size() - static_cast<std::size_t>(m);
  cs_.resize(cs_.size() + static_cast<std::size_t>(T * m));
  const double* last = cs_.data() + base_row;
  double* dst = cs_.data() + base_row + m;
  std::vector<double> acc(static_cast<std::size_t>(m), 0.0);
  for (std::int64_t t = 0; t < T; ++t) {
    for (std::int64_t k = 0; k < m; ++k) {
      const double v = k < mp ? fpd.data<double>()[t * mp + k] : fed.data<double>()[t];
      acc[static_cast<std::size_t>(k)] = t == 0 ? v : acc[static_cast<std::size_t>(k)] + v;
      dst[t * m + k] = last[k] + acc[static_cast<std::size_t>(k)];
    }
  }
  cs_rows_ += T;
  const auto rv = rf.values<float>();
  pend_.insert(pend_.end(), rv.begin(), rv.end());
  n_ += T;
}

void E3COpen::hazard() {
  while (th_ < n_) hazard_frame(th_);
  // Every later window starts at th + low or later; one row before that is kept. The cut never passes n, so
  // that the rows appended next stand for the frames they belong to.
  const std::int64_t lo_keep = std::min(std::max<std::int64_t>(0, th_ + low_ - 1), n_);
  if (lo_keep - cb_ > CS_CUT) {
    const std::int64_t drop = lo_keep - cb_;
    cs_.erase(cs_.begin(), cs_.begin() + drop * m_);
    cs_rows_ -= drop;
    cb_ = lo_keep;
  }
}

void E3COpen::hazard_frame(std::int64_t t) {
  const bool started = last_.has_value();
  const std::int64_t tau = started ? t - *last_ : t;
  if (started && tau < REF_) {
    th_ = t + 1;  // refractory: no draw
    return;
  }
  std::span<double> x(x_);
  float tf[26];
  tau_feat(tau, started, std::span<float, 26>(tf, 26));
  for (int i = 0; i < 26; ++i) x[static_cast<std::size_t>(i)] = tf[i];
  std::size_t xi = 26;
  for (const auto& [a, b] : aw_) {
    const std::int64_t lo = std::min(n_, std::max<std::int64_t>(0, t + a));
    const std::int64_t hi = std::min(n_, std::max<std::int64_t>(0, t + b));
    const auto nn = static_cast<double>(std::max<std::int64_t>(1, hi - lo));
    const double* rhi = cs_.data() + (hi - cb_) * m_;
    const double* rlo = cs_.data() + (lo - cb_) * m_;
    for (std::int64_t k = 0; k < m_; ++k) x[xi++] = (rhi[k] - rlo[k]) / nn;
  }
  const double* mu = mu_x_.data<double>();
  const double* sd = sd_x_.data<double>();
  const double* w = w_.data<double>();
  double dot = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) dot += ((x[i] - mu[i]) / sd[i]) * w[i];
  const double z = (dot + b_) + shift_;
  // Far below the double range exp(-z) is infinite and the hazard 0, as IEEE arithmetic gives it.
  const double h = 1.0 / (1.0 + std::exp(-z));
  // Only the plain pool can be chosen empty; its draws are undone then, so that the failure changes nothing.
  const std::optional<Generator> before = pool_s_.empty() ? std::optional(rng_) : std::nullopt;

  const double u = rng_.random();
  if (!(u < h)) {
    th_ = t + 1;
    return;
  }
  const std::vector<std::int64_t>* pool = &pool_s_;
  if (!pool_f_.empty()) {
    const double v = rng_.random();
    if (v < q_) pool = &pool_f_;
  }
  if (pool->empty()) {
    rng_ = *before;
    throw std::runtime_error("eye event at frame " + std::to_string(t) +
                             ": no plain event of the library lies near the rest measure to draw from (" +
                             std::to_string(pool_f_.size()) + " flutter events)");
  }
  th_ = t + 1;
  const std::int64_t j = (*pool)[static_cast<std::size_t>(rng_.integers(static_cast<std::int64_t>(pool->size())))];
  f_need(t + NX_);
  const double* seg = lib_.data<double>() + j * NX_;
  double* track = f_.data() + (t - fb_);
  for (std::int64_t k = 0; k < NX_; ++k) track[k] = np_maximum(track[k], seg[k]);
  on_.push_back(t);
  ++n_on_;
  while (static_cast<std::int64_t>(on_.size()) > keep_onsets_) on_.pop_front();
  last_ = t;
}

void E3COpen::f_need(std::int64_t hi) {
  if (hi - fb_ <= static_cast<std::int64_t>(f_.size())) return;
  const std::int64_t from = std::min<std::int64_t>(std::max<std::int64_t>(0, done_ - fb_), static_cast<std::int64_t>(f_.size()));
  const std::int64_t kept = static_cast<std::int64_t>(f_.size()) - from;
  fb_ = std::max(fb_, done_);
  std::vector<double> nf(static_cast<std::size_t>(std::max(hi - fb_ + F_HEADROOM, 2 * kept)), 0.0);
  std::copy(f_.begin() + from, f_.end(), nf.begin());
  f_ = std::move(nf);
}

std::optional<E3COpen::Base> E3COpen::base() {
  hazard();
  const std::int64_t t0 = done_, t1 = n_;
  if (t1 <= t0) return std::nullopt;
  const std::int64_t T = t1 - t0;
  Base r;
  r.t1 = t1;
  r.out = NdArray::of(std::span<const float>(pend_.data(), static_cast<std::size_t>(T * MOTION_COLUMNS)), {T, MOTION_COLUMNS});
  const std::vector<double> nz = noise_.rows(t0, t1);
  const auto M = static_cast<std::int64_t>(noise_.channels());
  const float* o = r.out.data<float>();
  r.Rr.resize(static_cast<std::size_t>(T * EYE_COLUMNS));
  for (std::int64_t t = 0; t < T; ++t) {
    const float* pose = o + t * MOTION_COLUMNS + ROT[0];
    for (int i = 0; i < EYE_COLUMNS; ++i) {
      double pb = 0.0;
      for (int k = 0; k < 3; ++k) pb += static_cast<double>(pose[k]) * B_[static_cast<std::size_t>(k * EYE_COLUMNS + i)];
      double nv = 0.0;
      for (std::int64_t k = 0; k < M; ++k)
        nv += nz[static_cast<std::size_t>(t * M + k)] * V_[static_cast<std::size_t>(k * EYE_COLUMNS + i)];
      r.Rr[static_cast<std::size_t>(t * EYE_COLUMNS + i)] = pb + nv;
    }
  }
  f_need(t1);
  r.track.assign(f_.begin() + (t0 - fb_), f_.begin() + (t1 - fb_));
  return r;
}

void E3COpen::eyes(NdArray& out, const std::vector<double>& Rr, std::span<const double> keys, const NdArray& EYE4) const {
  const NdArray cols = EYE4.astype(DType::Int64);
  const std::int64_t* col = cols.data<std::int64_t>();
  const std::int64_t T = out.dim(0);
  std::vector<double> dl(static_cast<std::size_t>(d_.dim(1))), dr(dl.size());
  float* o = out.data<float>();
  for (std::int64_t t = 0; t < T; ++t) {
    path_delta(keys[static_cast<std::size_t>(2 * t)], d_, c_, u_, dl);
    path_delta(keys[static_cast<std::size_t>(2 * t + 1)], d_, c_, u_, dr);
    for (int i = 0; i < EYE_COLUMNS; ++i) {
      const double dv = i < 6 ? dl[static_cast<std::size_t>(i)] : dr[static_cast<std::size_t>(i)];
      o[t * MOTION_COLUMNS + col[i]] = static_cast<float>(Rr[static_cast<std::size_t>(t * EYE_COLUMNS + i)] + dv);
    }
  }
}

void E3COpen::check_eye4(const NdArray& EYE4) {
  bool ok = EYE4.rank() == 1 && EYE4.size() == EYE_COLUMNS && !is_float_dtype(EYE4.dtype()) && EYE4.dtype() != DType::Bool;
  for (std::int64_t i = 0; ok && i < EYE4.size(); ++i) {
    const double v = EYE4.as_double(i);
    ok = v >= 0 && v < MOTION_COLUMNS;
  }
  if (!ok) throw std::invalid_argument("EYE4 must be 12 integer column indices in 0 .. 68, not shape " + EYE4.shape().str());
}

void E3COpen::commit(std::int64_t t1, std::pair<std::int64_t, std::int64_t> prev) {
  pend_.erase(pend_.begin(), pend_.begin() + (t1 - done_) * MOTION_COLUMNS);
  done_ = t1;
  prev_ = prev;
}

std::int64_t detail::choose_level(double key, std::span<const double> levels, std::optional<std::int64_t> prev, double ehyst) {
  const auto dist = [&](std::int64_t j) { return std::fabs(key - levels[static_cast<std::size_t>(j)]); };
  const std::int64_t best = np_argmin(static_cast<std::int64_t>(levels.size()), dist);
  if (prev && dist(*prev) <= dist(best) / ehyst) return *prev;
  return best;
}

std::optional<EyePop> E3COpen::pop(const NdArray& EYE4) {
  check_eye4(EYE4);
  std::optional<Base> b = base();
  if (!b) return std::nullopt;
  const std::int64_t T = b->out.dim(0);
  std::vector<double> keys(static_cast<std::size_t>(2 * T));
  emap_.key(b->track, keys);
  eyes(b->out, b->Rr, keys, EYE4);

  EyePop r{std::move(b->out), NdArray(DType::Int64, {T}), NdArray(DType::Int64, {T})};
  const std::span<const double> P = P_.values<double>();
  auto prev = E3COpen::prev();
  for (std::int64_t t = 0; t < T; ++t) {
    const double kl = keys[static_cast<std::size_t>(2 * t)], kr = keys[static_cast<std::size_t>(2 * t + 1)];
    const std::int64_t bl = detail::choose_level(kl, P, prev ? std::optional(prev->first) : std::nullopt, ehyst_);
    const std::int64_t br = detail::choose_level(kr, P, prev ? std::optional(prev->second) : std::nullopt, ehyst_);
    prev = std::pair(bl, br);
    r.sL.data<std::int64_t>()[t] = bl;
    r.sR.data<std::int64_t>()[t] = br;
  }
  if (prev) commit(b->t1, *prev);
  return r;
}

// --- E3XBOpen ------------------------------------------------------------------------------------------

E3XBOpen::E3XBOpen(const E3Params& g, const EyeMap& emap, const NdArray& P, const NdArray& d, const NdArray& c,
                   const SeedInt& seed, double shift, AR2Noise noise, const XCal& xc, double ehyst, std::int64_t keep_onsets)
    : E3COpen(g, emap, P, d, c, seed, shift, std::move(noise), ehyst, keep_onsets), xc_(xc) {
  for (std::int64_t j = 0; j < P_.size(); ++j) steps_.push_back(static_cast<double>(j));
}

std::optional<EyePop> E3XBOpen::pop(const NdArray& EYE4) {
  check_eye4(EYE4);
  std::optional<Base> b = base();
  if (!b) return std::nullopt;
  const std::int64_t T = b->out.dim(0);
  std::vector<double> kfl(static_cast<std::size_t>(2 * T)), keys(kfl.size());
  emap_.key(b->track, kfl);
  xc_.keys(kfl, keys);
  eyes(b->out, b->Rr, keys, EYE4);

  EyePop r{std::move(b->out), NdArray(DType::Int64, {T}), NdArray()};
  auto prev = E3COpen::prev();
  for (std::int64_t t = 0; t < T; ++t) {
    // The mean level of the raw keys, on the calibration's scale of level indices.
    const double sstar = 0.5 * (xc_.lev(kfl[static_cast<std::size_t>(2 * t)]) + xc_.lev(kfl[static_cast<std::size_t>(2 * t + 1)]));
    const std::int64_t bst = detail::choose_level(sstar, steps_, prev ? std::optional(prev->first) : std::nullopt, ehyst_);
    prev = std::pair(bst, bst);
    r.sL.data<std::int64_t>()[t] = bst;
  }
  r.sR = r.sL.copy();
  if (prev) commit(b->t1, *prev);
  return r;
}

}  // namespace velmora::v2u
