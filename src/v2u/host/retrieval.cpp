#include "v2u/host/retrieval.h"

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/numpy_sum.h"

namespace velmora::v2u {

namespace {

NdArray f64(const NdArray& a) { return a.dtype() == DType::Float64 ? a : a.astype(DType::Float64); }

// rows (n, K0) minus mu, times proj (K0, K), each sum in order over K0.
void project(const double* rows, std::int64_t n, std::int64_t K0, const double* mu, const double* proj, std::int64_t K,
             double* out) {
  for (std::int64_t i = 0; i < n; ++i)
    for (std::int64_t k = 0; k < K; ++k) {
      double acc = 0;
      for (std::int64_t c = 0; c < K0; ++c) acc += (rows[i * K0 + c] - mu[c]) * proj[c * K + k];
      out[i * K + k] = acc;
    }
}

}  // namespace

Retr::Retr(const Identity& idn, double hyst) : Retr(idn.bank_key, idn.bank_sd, idn.bank_proj, idn.bank_mu, hyst) {}

Retr::Retr(NdArray bank_key, NdArray bank_sd, std::optional<NdArray> bank_proj, std::optional<NdArray> bank_mu, double hyst)
    : hyst_(hyst) {
  const NdArray key = f64(bank_key);
  if (key.rank() != 2) throw std::invalid_argument("bank_key must be (entries, K0), not shape " + key.shape().str());
  const std::int64_t NB = key.dim(0);
  K0_ = key.dim(1);
  if (bank_proj) {
    if (!bank_mu) throw std::invalid_argument("bank_proj needs bank_mu: the mean is subtracted before the projection");
    proj_ = f64(*bank_proj);
    mu_ = f64(*bank_mu);
    if (proj_->rank() != 2 || proj_->dim(0) != K0_)
      throw std::invalid_argument("bank_proj of shape " + proj_->shape().str() + " does not project keys of " + std::to_string(K0_));
    if (mu_->size() != K0_ || mu_->dim(mu_->rank() - 1) != K0_)
      throw std::invalid_argument("bank_mu of shape " + mu_->shape().str() + " is not one mean per key column (" +
                                  std::to_string(K0_) + ")");
    const std::int64_t K = proj_->dim(1);
    Kb_ = NdArray::uninitialized(DType::Float64, {NB, K});
    project(key.data<double>(), NB, K0_, mu_->data<double>(), proj_->data<double>(), K, Kb_.data<double>());
  } else {
    Kb_ = key;
  }
  const std::int64_t K = Kb_.dim(1);
  sd_ = f64(bank_sd);
  // NumPy's broadcasting of the scales against (NB, K).
  const int r = sd_.rank();
  sd_cols_ = r >= 1 ? sd_.dim(r - 1) : 1;
  sd_rows_ = r >= 2 ? sd_.dim(r - 2) : 1;
  if (r > 2 || (sd_cols_ != K && sd_cols_ != 1) || (sd_rows_ != NB && sd_rows_ != 1))
    throw std::invalid_argument("bank_sd of shape " + sd_.shape().str() + " does not scale distances of " + std::to_string(NB) +
                                " entries and " + std::to_string(K) + " dimensions");
}

NdArray Retr::operator()(const NdArray& keys) {
  if (keys.rank() != 2 || keys.dim(1) != K0_)
    throw std::invalid_argument("query keys must be (T, " + std::to_string(K0_) + "), not shape " + keys.shape().str());
  const std::int64_t T = keys.dim(0), NB = Kb_.dim(0), K = Kb_.dim(1);
  NdArray out(DType::Int64, {T});
  if (T == 0) return out;
  if (NB == 0) throw std::invalid_argument("attempt to get argmin of an empty sequence");
  const NdArray q64 = f64(keys);
  std::vector<double> Q;
  const double* q = q64.data<double>();
  if (proj_) {
    Q.resize(static_cast<std::size_t>(T * K));
    project(q, T, K0_, mu_->data<double>(), proj_->data<double>(), K, Q.data());
    q = Q.data();
  }
  // Every distance first, then the choices.
  std::vector<double> D(static_cast<std::size_t>(T * NB));
  const double* kb = Kb_.data<double>();
  const double* sd = sd_.data<double>();
  for (std::int64_t t = 0; t < T; ++t)
    for (std::int64_t j = 0; j < NB; ++j) {
      const double* s = sd + (sd_rows_ == 1 ? 0 : j * sd_cols_);
      const auto sq = [&](std::int64_t k) {
        const double x = (q[t * K + k] - kb[j * K + k]) / s[sd_cols_ == 1 ? 0 : k];
        return x * x;
      };
      D[static_cast<std::size_t>(t * NB + j)] = std::sqrt(numpy_sum_of<double>(K, sq));
    }
  std::int64_t* res = out.data<std::int64_t>();
  for (std::int64_t t = 0; t < T; ++t) {
    const double* d = D.data() + t * NB;
    std::int64_t best = 0;
    for (std::int64_t j = 0; j < NB; ++j) {
      if (std::isnan(d[j])) {
        best = j;
        break;
      }
      if (d[j] < d[best]) best = j;
    }
    const std::int64_t choice = prev_ && d[*prev_] <= d[best] / hyst_ ? *prev_ : best;
    res[t] = choice;
    prev_ = choice;
  }
  return out;
}

}  // namespace velmora::v2u
