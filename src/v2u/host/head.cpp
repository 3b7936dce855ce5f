#include "v2u/host/head.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/json_convert.h"
#include "common/numpy_arith.h"
#include "common/py_error.h"
#include "common/py_unpack.h"
#include "v2u/host/constants.h"
#include "v2u/host/numerics.h"

namespace velmora::v2u {

namespace {

constexpr std::int64_t TOKEN_VALUES = C * 3 * 768;
constexpr std::int64_t ID_VALUES = 129;

void require(bool ok, const std::string& what) {
  if (!ok) throw std::invalid_argument("head setting " + what);
}

// p + n * cap + S points, refusing sizes that do not fit in 64 bits.
std::int64_t points(std::int64_t q, std::int64_t n, std::int64_t cap, std::int64_t S) {
  std::int64_t m = 0, s = 0;
  if (__builtin_mul_overflow(n, cap, &m) || __builtin_add_overflow(m, q + S, &s) || s > (std::int64_t{1} << 40))
    throw std::invalid_argument("head control-point buffer of " + std::to_string(n) + " x " + std::to_string(cap) + " points is too large");
  return s;
}

Shape hid_shape_of(const json::Value& v) {
  std::vector<std::int64_t> dims;
  if (v.is_int()) {
    dims.push_back(v.as_int());
  } else if (v.is_array()) {
    for (const json::Value& d : v.as_array()) {
      if (!d.is_int()) throw std::invalid_argument("hid_shape must list integers, not '" + std::string(d.type_name()) + "'");
      dims.push_back(d.as_int());
    }
  } else {
    throw std::invalid_argument("hid_shape must list integers, not '" + std::string(v.type_name()) + "'");
  }
  if (dims.size() > static_cast<std::size_t>(Shape::MAX_RANK)) throw std::invalid_argument("hid_shape has too many axes");
  for (const std::int64_t d : dims)
    if (d < 0) throw std::invalid_argument("negative dimensions are not allowed");
  return Shape(std::span<const std::int64_t>(dims));
}

// A graph output read as increments: (1, >= n, 3).
void check_increments(const NdArray& a, std::int64_t n, const char* name) {
  if (a.rank() != 3 || a.dim(0) != 1 || a.dim(1) < n || a.dim(2) != 3)
    throw std::invalid_argument(std::string("the draw graph's ") + name + " must have shape (1, " + std::to_string(n) + ", 3), not " +
                                a.shape().str());
}

}  // namespace

float* HeadL::Curve::at(std::int64_t pos) {
  if (pos < 0 || pos >= size())
    throw std::out_of_range("index " + std::to_string(pos) + " is out of bounds for axis 1 with size " + std::to_string(size()));
  return pts.data() + pos * 3;
}

HeadL::HeadL(const Pack& pk, const NdArray& idv129, NoiseSource& noise, std::int64_t cap_tokens, std::int64_t keep_tokens)
    : pk_(pk), noise_(noise) {
  const json::Value& hs = pk.h;
  const auto setting = [&](const char* key) { return json::py_int(json::at(hs, key)); };
  const std::int64_t p = setting("p"), nk = setting("nk");
  S_ = setting("S");
  const std::int64_t D = setting("D"), pf = setting("pf"), nkf = setting("nkf");
  ncode_ = setting("ncode");
  Lc_ = setting("Lc");
  const double eps = json::py_float(json::at(hs, "eps"));
  const Shape hid_shape = hid_shape_of(json::at(hs, "hid_shape"));
  const NdArray& id_mu = pk.a.at("h2l_id_mu");
  const NdArray& id_sd = pk.a.at("h2l_id_sd");
  l_mu_ = pk.a.at("h2l_l_mu").astype(DType::Float32);
  l_sd_ = pk.a.at("h2l_l_sd").astype(DType::Float32);
  cap_ = cap_tokens;
  keep_ = keep_tokens;
  // Settings under which a spline or a buffer has no meaning are refused here: NumPy would divide by zero
  // into NaN rows, or index buffers from their end.
  require(p >= 1 && p <= 20 && pf >= 1 && pf <= 20, "p and pf must be spline degrees of 1 to 20");
  require(nk >= 0 && S_ >= 0, "nk and S must not be negative");
  require(D >= 1, "D must be at least 1, not " + std::to_string(D));
  require(nkf >= 1 && nkf <= C, "nkf must be 1 to 4, not " + std::to_string(nkf));
  if (cap_ < 1) throw std::invalid_argument("cap_tokens must be at least 1, not " + std::to_string(cap_));
  if (keep_ < 0) throw std::invalid_argument("keep_tokens must not be negative, not " + std::to_string(keep_));
  if (!(eps > 0.0) && !std::isnan(eps)) throw std::invalid_argument("math domain error");

  slow_ = Curve{nk, p, D, std::vector<float>(static_cast<std::size_t>(points(p, nk, cap_, S_) * 3))};
  fast_ = Curve{nkf, pf, C / nkf, std::vector<float>(static_cast<std::size_t>(points(pf, nkf, cap_, S_) * 3))};
  nx0_ = 1 + 3 * nkf + 3 * nk;
  lprev_ = static_cast<float>(std::log(eps));

  if (idv129.size() != ID_VALUES) throw std::invalid_argument("idv129 must hold 129 values, not shape " + idv129.shape().str());
  const NdArray iv = idv129.astype(DType::Float64).astype(DType::Float32).reshaped({1, ID_VALUES});
  idt_ = numpy_arith(numpy_arith(iv, ArithOp::Subtract, id_mu.astype(DType::Float32)), ArithOp::Divide, id_sd.astype(DType::Float32));
  if (!(idt_.shape() == Shape{1, ID_VALUES}))
    throw std::invalid_argument("h2l_id_mu and h2l_id_sd must standardise (1, 129) values, not give shape " + idt_.shape().str());
  pose_deg_ = NdArray(DType::Float32, {1, 3});
  std::copy_n(iv.data<float>() + 126, 3, pose_deg_.data<float>());

  // lpn = (lprev - l_mu) / l_sd in float32, shaped (1,) + the statistics' shape.
  lprev0_ = NdArray(DType::Float32, Shape{});
  lpn_diff_ = NdArray(DType::Float32, broadcast_shapes(Shape{}, l_mu_.shape()));
  const Shape ls = broadcast_shapes(lpn_diff_.shape(), l_sd_.shape());
  lpn_ = NdArray(DType::Float32, ls.prepend(1));
  lpn_view_ = lpn_.reshaped(ls);

  f_ = NdArray(DType::Float32, {1, 1, C, 3, 768});
  shist_ = NdArray(DType::Float32, {1, 1, S_, 3});
  fhist_ = NdArray(DType::Float32, {1, 1, S_, 3});
  lprev_in_ = NdArray(DType::Float32, {1, 1});
  tok_ = NdArray(DType::Int64, {1, 1});
  hid_ = NdArray(DType::Float32, hid_shape);
  k0_ = NdArray(DType::Float32, {1});
  code_in_ = NdArray(DType::Int64, {1});
  u_ = NdArray(DType::Float32, {1});
  x0_ = NdArray(DType::Float32, {1, nx0_});
  bw_.resize(static_cast<std::size_t>(std::max(p, pf) + 1));
}

void HeadL::compact() {
  const std::int64_t drop = k_ - kb_ - keep_;
  if (drop <= 0) return;
  for (Curve* c : {&slow_, &fast_}) {
    const std::int64_t off = c->n * drop;
    const std::int64_t last = newest(*c);
    // Overlapping ranges: std::copy moves towards the front correctly.
    std::copy(c->at(off), c->at(last) + 3, c->pts.begin());
    std::fill(c->pts.begin() + (last - off + 1) * 3, c->pts.end(), 0.0f);
  }
  kb_ += drop;
}

// The S newest points of `c` into a (1, 1, S, 3) feed.
void HeadL::history(Curve& c, NdArray& feed) {
  const std::int64_t last = newest(c);
  float* o = feed.data<float>();
  for (std::int64_t i = 0; i < S_; ++i) std::copy_n(c.at(last - S_ + 1 + i), 3, o + i * 3);
}

// Appends the curve's points of this token: the newest point plus the running sum of the increments, summed
// in the common type of float32 and the increments and stored as float32.
void HeadL::extend(Curve& c, const NdArray& inc, const char* name) {
  check_increments(inc, c.n, name);
  const std::int64_t last = newest(c);
  const auto run = [&](auto zero) {
    using T = decltype(zero);
    const float* start = c.at(last);
    T ps[3] = {static_cast<T>(start[0]), static_cast<T>(start[1]), static_cast<T>(start[2])};
    for (std::int64_t i = 0; i < c.n; ++i) {
      float* dst = c.at(last + 1 + i);
      for (int a = 0; a < 3; ++a) {
        ps[a] = ps[a] + static_cast<T>(inc.as_double(i * 3 + a));
        dst[a] = static_cast<float>(ps[a]);
      }
    }
  };
  if (promote_types(DType::Float32, inc.dtype()) == DType::Float32) run(0.0f);
  else run(0.0);
}

// The spline of `c` at the token's C frames, added into out (C x 3, float64).
void HeadL::rows(Curve& c, double* out) {
  const std::span<double> w(bw_.data(), static_cast<std::size_t>(c.q + 1));
  for (std::int64_t f = 0; f < C; ++f) {
    const std::int64_t t = C * k_ + f;
    const std::int64_t j = t / c.space - c.n * kb_;
    bweights(static_cast<double>(t % c.space) / static_cast<double>(c.space), static_cast<int>(c.q), w);
    double r[3] = {0.0, 0.0, 0.0};
    for (std::int64_t i = 0; i <= c.q; ++i) {
      const float* pt = c.at(S_ + j + i);
      for (int a = 0; a < 3; ++a) r[a] += w[static_cast<std::size_t>(i)] * static_cast<double>(pt[a]);
    }
    for (int a = 0; a < 3; ++a) out[f * 3 + a] += r[a];
  }
}

NdArray HeadL::step(const NdArray& feat4, const NdArray& h) {
  if (k_ - kb_ >= cap_ - 1) compact();
  if (feat4.size() != TOKEN_VALUES)
    throw std::invalid_argument("cannot reshape array of size " + std::to_string(feat4.size()) + " into shape (1,1,4,3,768)");
  f_.assign(feat4);
  if (hh_.size() != h.size() || hh_.rank() != 3) hh_ = NdArray(DType::Float32, {1, 1, h.size()});
  hh_.assign(h);
  history(slow_, shist_);
  history(fast_, fhist_);
  lprev_in_.data<float>()[0] = lprev_;
  tok_.data<std::int64_t>()[0] = k_;
  k0_.data<float>()[0] = k_ == 0 ? 1.0f : 0.0f;

  std::vector<NdArray> ctx = pk_.s_hctx.run({{"f", f_}, {"hh", hh_}, {"shist", shist_}, {"fhist", fhist_}, {"lprev", lprev_in_},
                                             {"tok", tok_}, {"idt", idt_}, {"hid", hid_}, {"pose_deg", pose_deg_}, {"k0", k0_}});
  check_unpack(ctx.size(), 3);
  hid_ = std::move(ctx[1]);
  if (ncode_ != 0) {
    if (Lc_ == 0) throw PyError("ZeroDivisionError", "integer division or modulo by zero");
    if (k_ % Lc_ == 0) {
      const NdArray& pr = ctx[2];
      if (pr.rank() != 2 || pr.dim(0) < 1)
        throw std::invalid_argument("the code probabilities must have two axes, not shape " + pr.shape().str());
      weights_.resize(static_cast<std::size_t>(pr.dim(1)));
      for (std::size_t i = 0; i < weights_.size(); ++i) weights_[i] = pr.as_double(static_cast<std::int64_t>(i));
      code_ = noise_.code(weights_);
    }
  }
  u_.data<float>()[0] = noise_.u();
  const std::vector<float> x0 = noise_.x0(nx0_);
  if (static_cast<std::int64_t>(x0.size()) != nx0_)
    throw std::invalid_argument("the noise source gave " + std::to_string(x0.size()) + " values for x0, not " + std::to_string(nx0_));
  std::copy(x0.begin(), x0.end(), x0_.data<float>());
  lprev0_.data<float>()[0] = lprev_;
  numpy_arith(lprev0_, ArithOp::Subtract, l_mu_, lpn_diff_);
  numpy_arith(lpn_diff_, ArithOp::Divide, l_sd_, lpn_view_);
  code_in_.data<std::int64_t>()[0] = code_;

  const std::vector<NdArray> draw = pk_.s_hdraw.run({{"g", ctx[0]}, {"code", code_in_}, {"u", u_}, {"x0", x0_}, {"lpn", lpn_}});
  check_unpack(draw.size(), 3);
  extend(slow_, draw[1], "dsl");
  extend(fast_, draw[0], "dfa");
  if (draw[2].size() < 1) throw std::invalid_argument("the draw graph's lk holds no value");
  lprev_ = static_cast<float>(draw[2].as_double(0));

  NdArray out(DType::Float64, {C, 3});
  rows(slow_, out.data<double>());
  rows(fast_, out.data<double>());
  ++k_;
  return out;
}

}  // namespace velmora::v2u
