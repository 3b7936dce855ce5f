#include "v2u/host/detector.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "common/numpy_arith.h"
#include "common/py_unpack.h"
#include "v2u/host/constants.h"

namespace velmora::v2u {

namespace {

constexpr std::int64_t TOKEN_VALUES = C * 3 * 768;  // audio features of one token
constexpr std::int64_t ID_VALUES = 126;

// The column indices of `dims` with negative ones counted from the end, as NumPy indexes.
std::vector<std::int64_t> columns(const NdArray& dims, std::int64_t F) {
  std::vector<std::int64_t> out;
  for (const std::int64_t i : dims.values<std::int64_t>()) {
    if (i < -F || i >= F)
      throw std::out_of_range("index " + std::to_string(i) + " is out of bounds for axis 1 with size " + std::to_string(F));
    out.push_back(i < 0 ? i + F : i);
  }
  return out;
}

// Moves the slots of a right-aligned window one slot towards the front; the last slot is then the caller's.
template <class T>
void slide(NdArray& a, std::int64_t slot) {
  T* p = a.data<T>();
  std::copy(p + slot, p + a.size(), p);
}

}  // namespace

DetS::DetS(const Pack& pk, const NdArray& idv126, std::optional<std::vector<std::vector<double>>> noise)
    : pk_(pk), W_(pk.W_TOK), F_(pk.F), mu_(pk.a.at("det_mu")), sd_(pk.a.at("det_sd")), rec_(std::move(noise)), rng_(default_rng(0)) {
  if (W_ < 1) throw std::invalid_argument("the detector window needs at least one token, not " + std::to_string(W_));
  if (F_ < 1) throw std::invalid_argument("the detector needs at least one motion column, not " + std::to_string(F_));
  const NdArray idt = numpy_arith(numpy_arith(idv126, ArithOp::Subtract, pk.a.at("det_id_mu")), ArithOp::Divide, pk.a.at("det_id_sd"));
  if (idt.size() != ID_VALUES)
    throw std::invalid_argument("the standardised identity vector must hold 126 values, not shape " + idt.shape().str());
  idt_ = idt.astype(DType::Float32).reshaped({1, ID_VALUES});
  det_dims_ = columns(pk.det_dims, F_);
  flow_dims_ = columns(pk.flow_dims, F_);
  if (pk.s_dflow && pk.flow_D < 0) throw std::invalid_argument("det_flow_D must not be negative, not " + std::to_string(pk.flow_D));
  // The de-standardisation's types and shapes are known now; a misfit fails here rather than at every token.
  x_ = NdArray(DType::Float32, {C, F_});
  scaled_ = NdArray(arith_type(DType::Float32, ArithOp::Multiply, sd_.dtype()), broadcast_shapes(x_.shape(), sd_.shape()));
  broadcast_shapes(scaled_.shape(), mu_.shape());
  arith_type(scaled_.dtype(), ArithOp::Add, mu_.dtype());
  tokens_ = NdArray(DType::Float32, {2 * W_, TOKEN_VALUES});
  hist_ = NdArray(DType::Float32, {1, W_, C * F_});
  valid_ = NdArray(DType::Bool, {1, W_});
  tokv_ = NdArray(DType::Bool, {1, W_});
  x0_ = NdArray(DType::Float32, {1, pk.s_dflow ? pk.flow_D : 0});
  normals_.resize(static_cast<std::size_t>(x0_.size()));
}

void DetS::next_x0() {
  float* x0 = x0_.data<float>();
  if (!rec_) {
    rng_.standard_normal(normals_);
    for (std::size_t i = 0; i < normals_.size(); ++i) x0[i] = static_cast<float>(normals_[i]);
    return;
  }
  if (rec_at_ >= rec_->size()) throw std::out_of_range("pop from empty list");
  const std::vector<double>& row = (*rec_)[rec_at_++];
  if (static_cast<std::int64_t>(row.size()) != x0_.size())
    throw std::invalid_argument("cannot reshape array of size " + std::to_string(row.size()) + " into shape (1," +
                                std::to_string(x0_.size()) + ")");
  for (std::size_t i = 0; i < row.size(); ++i) x0[i] = static_cast<float>(row[i]);
}

DetStep DetS::step(const NdArray& feat4) {
  if (feat4.size() != TOKEN_VALUES)
    throw std::invalid_argument("a token's features must be 4 x 3 x 768 values, not shape " + feat4.shape().str());
  // The window is tokens first_ .. first_ + W - 1 of a store of 2 W, so appending rarely moves it: only when
  // it reaches the store's end do its newest W - 1 tokens move to the front.
  if (first_ + W_ == 2 * W_) {
    float* t = tokens_.data<float>();
    std::copy(t + (first_ + 1) * TOKEN_VALUES, t + 2 * W_ * TOKEN_VALUES, t);
    first_ = 0;
  } else {
    ++first_;
  }
  tokens_.item(first_ + W_ - 1).assign(feat4);
  const NdArray feat = tokens_.slice(first_, first_ + W_).reshaped({1, W_ * C, 3, 768});
  slide<bool>(tokv_, 1);
  tokv_.data<bool>()[W_ - 1] = true;

  std::vector<NdArray> out = pk_.s_det.run({{"feat", feat}, {"hist", hist_}, {"valid", valid_}, {"tokv", tokv_}, {"idv", idt_}});
  check_unpack(out.size(), 2);
  const auto nd = static_cast<std::int64_t>(det_dims_.size());
  if (out[0].rank() < 1 || out[0].dim(0) < 1 || !(out[0].item(0).shape() == Shape{C, nd}))
    throw std::invalid_argument("the detector's first output must hold (4, " + std::to_string(nd) + ") values in its first item, not shape " +
                                out[0].shape().str());
  const NdArray xo = out[0].item(0);
  float* x = x_.data<float>();
  std::fill(x, x + x_.size(), 0.0f);
  // In index order, so a column listed twice keeps its last value, as NumPy's assignment does.
  for (std::int64_t f = 0; f < C; ++f)
    for (std::int64_t k = 0; k < nd; ++k)
      x[f * F_ + det_dims_[static_cast<std::size_t>(k)]] = static_cast<float>(xo.as_double(f * nd + k));
  NdArray h = std::move(out[1]);

  if (pk_.s_dflow) {
    next_x0();
    const char* first = pk_.s_dflow->output_names().at(0).c_str();
    const std::vector<NdArray> fo = pk_.s_dflow->run({{"h", h}, {"x0", x0_}}, {first});
    const NdArray& fl = fo.at(0);
    const auto nf = static_cast<std::int64_t>(flow_dims_.size());
    if (fl.size() % nf != 0 || fl.size() / nf < C)
      throw std::invalid_argument("the flow output must hold at least 4 rows of " + std::to_string(nf) + " values, not shape " +
                                  fl.shape().str());
    for (std::int64_t f = 0; f < C; ++f)
      for (std::int64_t k = 0; k < nf; ++k)
        x[f * F_ + flow_dims_[static_cast<std::size_t>(k)]] = static_cast<float>(fl.as_double(f * nf + k));
  }

  slide<float>(hist_, C * F_);
  std::copy(x, x + x_.size(), hist_.data<float>() + (W_ - 1) * C * F_);
  slide<bool>(valid_, 1);
  valid_.data<bool>()[W_ - 1] = true;

  numpy_arith(x_, ArithOp::Multiply, sd_, scaled_);
  return {numpy_arith(scaled_, ArithOp::Add, mu_), std::move(h)};
}

}  // namespace velmora::v2u
