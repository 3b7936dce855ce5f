#pragma once
// The motion-token detector of one stream: per token of C frames, a window of the last W tokens' audio
// features and of its own last W outputs goes through the pack's detector graph; the pack's flow graph, when
// it has one, fills further columns from one noise vector per token. The result is the token's motion, in
// the columns' own scale, and the detector's hidden output for the head-motion model.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/ndarray.h"
#include "common/numpy_random.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {

struct DetStep {
  NdArray motion;  // (C, F): the token's motion, in the common type of float32 and the pack's det_sd and det_mu
  NdArray h;       // the detector graph's second output, as the graph returned it
};

class DetS {
 public:
  // `pk` must outlive the detector. `idv126`: the identity vector, 126 values of any real type, standardised by
  // det_id_mu and det_id_sd in their common type. `noise`: recorded flow noise rows, each of the pack's flow_D
  // values, consumed one per token; without it the rows are drawn from default_rng(0), the same for every
  // detector. Throws KeyError for a missing member, std::invalid_argument when the statistics do not fit the
  // motion columns or the identity vector, and std::out_of_range for a column index outside -F .. F - 1.
  DetS(const Pack& pk, const NdArray& idv126, std::optional<std::vector<std::vector<double>>> noise = std::nullopt);

  // One token: `feat4` holds its C x 3 x 768 audio features (any real type; the encoder's float16 rows). Tokens
  // go in stream order. Throws std::invalid_argument for another number of features or graph outputs that do
  // not fit, std::out_of_range("pop from empty list") when the recorded rows are used up, and passes the
  // runtime's errors on. After a failed run or flow draw the token stays in the window but leaves no history
  // entry; a stream that fails is not expected to go on.
  DetStep step(const NdArray& feat4);

 private:
  void next_x0();  // the token's flow noise into x0_

  const Pack& pk_;
  std::int64_t W_, F_;
  NdArray mu_, sd_;
  std::vector<std::int64_t> det_dims_, flow_dims_;  // non-negative column indices
  std::optional<std::vector<std::vector<double>>> rec_;
  std::size_t rec_at_ = 0;  // rows of rec_ consumed
  Generator rng_;
  // The graph inputs, kept between steps: the window slides by one token, right-aligned.
  NdArray tokens_;           // (2 W, C x 3 x 768) float32: the features' window is W consecutive rows of it
  std::int64_t first_ = 0;   // its first row
  NdArray hist_, valid_, tokv_, idt_, x0_;
  NdArray x_;       // the token's standardised motion, (C, F) float32
  NdArray scaled_;  // x * sd, in the common type of the two
  std::vector<double> normals_;
};

}  // namespace velmora::v2u
