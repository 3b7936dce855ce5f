#pragma once
// Bank key retrieval: per frame, the bank entry whose key is nearest the frame's query key under a
// normalised Euclidean distance, holding on to the previous frame's entry while it is nearly as near.
#include <cstdint>
#include <optional>

#include "common/ndarray.h"
#include "v2u/host/identity.h"

namespace velmora::v2u {

class Retr {
 public:
  // The identity's bank: keys (NB, K0), an optional projection (K0, K) with its mean (K0), and the distance
  // scales: K values, or one row of K per entry (any shape that broadcasts to (NB, K) by NumPy's rules).
  // Throws std::invalid_argument when a projection comes without a mean or the shapes do not fit.
  explicit Retr(const Identity& idn, double hyst = 0.85);
  Retr(NdArray bank_key, NdArray bank_sd, std::optional<NdArray> bank_proj, std::optional<NdArray> bank_mu,
       double hyst = 0.85);

  // One bank index per query row of `keys` (T, K0; any real type), in order: the nearest entry (lowest
  // index on ties, a NaN distance winning as the first NaN), except that the previous choice stays while
  // its distance is at most the best distance divided by hyst. The previous choice carries over between
  // calls. Returns int64 (T). Throws std::invalid_argument for keys of another shape, before any state
  // changes.
  NdArray operator()(const NdArray& keys);

  const NdArray& Kb() const { return Kb_; }  // bank keys in the distance space, float64 (NB, K)
  double hyst() const { return hyst_; }
  std::optional<std::int64_t> prev() const { return prev_; }  // the latest choice; nothing before the first row

 private:
  NdArray Kb_, sd_;  // float64
  std::optional<NdArray> proj_, mu_;
  std::int64_t K0_ = 0, sd_rows_ = 1, sd_cols_ = 1;  // the scales as a (rows, cols) block broadcast to (NB, K)
  double hyst_ = 0.85;
  std::optional<std::int64_t> prev_;
};

}  // namespace velmora::v2u
