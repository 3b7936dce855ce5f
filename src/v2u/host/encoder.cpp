#include "v2u/host/encoder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/float16.h"
#include "v2u/host/constants.h"
#include "v2u/host/numerics.h"

namespace velmora::v2u {

namespace {

constexpr int TRUNK_CHANNELS = 640;  // values per trunk column and per head input row (not tied to HOP)
constexpr double SAMPLES_PER_STEP = 80.0;
constexpr int HEAD_WIDTH = 768;
constexpr int HEAD_ROWS = GROUPS.back().second;  // rows of the head's output that the groups use

}  // namespace

EncPair::EncPair(const Pack& pk, int threads)
    : s_trunk(ort_session(pk.graph_path("enc_trunk"), threads)),
      s_head(ort_session(pk.graph_path("enc_head"), threads)),
      trunk_in(pk.trunk_in),
      trunk_out(pk.trunk_out) {}

detail::TrunkPosition detail::trunk_position(std::int64_t gi, std::int64_t win_start) {
  const std::int64_t f0 = gi < TW ? 0 : (gi / (TW / 2) - 1) * (TW / 2);
  const double p = static_cast<double>(f0 * HOP - win_start) / SAMPLES_PER_STEP + static_cast<double>(gi - f0) * SP8;
  const double fl = std::floor(p);
  // Beyond this the step is past any trunk; keeping it here keeps the integer conversion defined.
  if (!(std::fabs(fl) < 0x1p62)) throw std::out_of_range("frame " + std::to_string(gi) + " has no trunk step");
  const auto i0 = static_cast<std::int64_t>(fl);
  return {p, i0, p - static_cast<double>(i0)};
}

NdArray Enc::block(AudioWindow& aud, std::int64_t b0, std::int64_t B, std::int64_t R) {
  if (B < 1) throw std::invalid_argument("an encoder block needs at least one frame, not B=" + std::to_string(B));
  const std::int64_t win_end = (b0 + B + R) * HOP;
  const std::int64_t win_start = win_end - SWIN;
  const NdArray buf = aud.window(win_start, win_end);
  if (buf.rank() != 1 || buf.size() != SWIN)
    throw std::invalid_argument("the audio window must hold " + std::to_string(SWIN) + " samples on one axis, not shape " + buf.shape().str());
  if (z_.size() != SWIN) z_ = NdArray::uninitialized(DType::Float32, {1, SWIN});
  zscore_native(buf, z_.values<float>());

  const char* out_name = trunk_out_->c_str();
  const std::vector<NdArray> out = trunk_->run({{trunk_in_->c_str(), z_}}, {out_name});
  const NdArray& t0 = out.at(0);
  if (t0.rank() != 3 || t0.dim(0) < 1 || t0.dim(1) != TRUNK_CHANNELS || t0.dim(2) < 1)
    throw std::invalid_argument("the trunk output must have shape (1, 640, steps), not " + t0.shape().str());
  const NdArray tr = t0.dtype() == DType::Float32 ? t0.item(0) : t0.item(0).astype(DType::Float32);
  const std::int64_t LT = tr.dim(1);
  const float* tv = tr.data<float>();

  if (!(x_.shape() == Shape{B, TRUNK_CHANNELS})) x_ = NdArray::uninitialized(DType::Float32, {B, TRUNK_CHANNELS});
  cols_.resize(static_cast<std::size_t>(B));
  for (std::int64_t j = 0; j < B; ++j) {
    const std::int64_t gi = b0 + j;
    const detail::TrunkPosition pos = detail::trunk_position(gi, win_start);
    if (pos.i0 < 0 || pos.i0 > LT - 1)
      throw std::out_of_range("frame " + std::to_string(gi) + " samples trunk step " + std::to_string(pos.i0) + ", outside the " +
                              std::to_string(LT) + " steps of its window");
    cols_[static_cast<std::size_t>(j)] = {pos.i0, std::min(pos.i0 + 1, LT - 1), pos.al};
  }
  // Channel by channel: each reads one contiguous trunk row.
  float* x = x_.data<float>();
  for (std::int64_t c = 0; c < TRUNK_CHANNELS; ++c) {
    const float* row = tv + c * LT;
    for (std::int64_t j = 0; j < B; ++j) {
      const Column& k = cols_[static_cast<std::size_t>(j)];
      const double v = (1.0 - k.al) * static_cast<double>(row[k.i0]) + k.al * static_cast<double>(row[k.i1]);
      x[j * TRUNK_CHANNELS + c] = round_to_half(static_cast<float>(v));
    }
  }

  const std::vector<NdArray> heads = head_->run({{"x", x_}}, {"emb"});
  const NdArray& emb = heads.at(0);
  if (emb.rank() != 3 || emb.dim(0) != B || emb.dim(1) < HEAD_ROWS || emb.dim(2) != HEAD_WIDTH)
    throw std::invalid_argument("the head output must have shape (" + std::to_string(B) + ", 12 or more, 768), not " + emb.shape().str());
  NdArray result = NdArray::uninitialized(DType::Float16, {B, static_cast<std::int64_t>(GROUPS.size()), HEAD_WIDTH});
  Half* r = result.data<Half>();
  rows_.resize(HEAD_ROWS * HEAD_WIDTH);
  const std::int64_t item = emb.dim(1) * HEAD_WIDTH;
  // Each frame's rows go to float32 (as astype does) and through float16.
  const NdArray e32 = emb.dtype() == DType::Float32 ? emb : emb.astype(DType::Float32);
  for (std::int64_t j = 0; j < B; ++j) {
    f16rt(std::span<const float>(e32.data<float>() + j * item, rows_.size()), rows_);
    for (std::size_t g = 0; g < GROUPS.size(); ++g) {
      const auto [a, b] = GROUPS[g];
      const auto n = static_cast<float>(b - a);
      Half* rg = r + (j * static_cast<std::int64_t>(GROUPS.size()) + static_cast<std::int64_t>(g)) * HEAD_WIDTH;
      // Row by row, so each column adds its rows in order; then divided, then rounded to float16.
      float mean[HEAD_WIDTH];
      std::copy_n(rows_.data() + a * HEAD_WIDTH, HEAD_WIDTH, mean);
      for (int row = a + 1; row < b; ++row) {
        const float* rr = rows_.data() + row * HEAD_WIDTH;
        for (int c = 0; c < HEAD_WIDTH; ++c) mean[c] += rr[c];
      }
      for (int c = 0; c < HEAD_WIDTH; ++c) rg[c].bits = float_to_half(mean[c] / n);
    }
  }
  return result;
}

}  // namespace velmora::v2u
