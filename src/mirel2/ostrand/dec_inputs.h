#pragma once
// Decoder input rows: each latent of a chunk stands for four frames, and each row asks the decoder for one of
// them. A row is 36 planes of LH x LW float32: the latent (planes 0-15), the latent before it (16-31) and a
// one-hot plane of the frame's phase 0-3 within the latent (32-35, the phase's plane all 1.0, the others 0.0).
// Rows run latent-major: every phase of latent j before those of latent j + 1.
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/reusable_buffer.h"
#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {

inline constexpr int DEC_CHANNELS = 2 * LC + 4;
inline constexpr std::size_t DEC_ROW_VALUES = std::size_t{DEC_CHANNELS} * PLANE;

// A latent: CANON_SIZE float32 values, LC planes of LH x LW.
using LatentView = std::span<const float>;

// The number of rows for `blk` latents: 4 per latent, except that without a previous latent the first latent
// gives only its last phase (4 x blk - 3); 0 when blk <= 0.
int dec_row_count(int blk, bool has_prev);

// Writes the rows of latents 0..blk-1 of `lats` into `xs`, which it resizes to n x DEC_ROW_VALUES (reusing its
// storage), and returns n. The previous latent of latent 0 is `prev_lat`, or latent 0 itself when there is none
// (a stream's first chunk); of latent j > 0 it is latent j - 1. Throws std::out_of_range when `lats` holds fewer
// than blk latents and std::invalid_argument when a latent used is not CANON_SIZE values; `xs` is then unchanged.
int build_dec_inputs(std::span<const LatentView> lats, int blk, std::optional<LatentView> prev_lat,
                     ReusableBuffer<float>& xs);

// The same rows in a new array (one allocation of n x DEC_ROW_VALUES floats), with n.
std::pair<std::vector<float>, int> build_dec_inputs(std::span<const LatentView> lats, int blk,
                                                    std::optional<LatentView> prev_lat);

}  // namespace velmora::ostrand
