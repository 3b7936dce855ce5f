#include "mirel2/ostrand/dec_inputs.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "mirel2/litert/tensor.h"

namespace velmora::ostrand {
namespace {

void check_latent(LatentView lat) {
  if (lat.size() != static_cast<std::size_t>(CANON_SIZE))
    throw std::invalid_argument(litert::reshape_message(lat.size(), litert::Dims{LC, PLANE}));
}

// Every check before anything is written.
void check_inputs(std::span<const LatentView> lats, int blk, const std::optional<LatentView>& prev_lat) {
  if (blk <= 0) return;
  if (lats.size() < static_cast<std::size_t>(blk))
    throw std::out_of_range("list index out of range: " + std::to_string(lats.size()) + " latents for a block of " +
                            std::to_string(blk));
  for (int j = 0; j < blk; ++j) check_latent(lats[static_cast<std::size_t>(j)]);
  if (prev_lat) check_latent(*prev_lat);
}

void write_rows(std::span<const LatentView> lats, int blk, const std::optional<LatentView>& prev_lat, float* xs) {
  const std::size_t lat_bytes = std::size_t{CANON_SIZE} * sizeof(float);
  float* row = xs;
  for (int j = 0; j < blk; ++j) {
    const float* zt = lats[static_cast<std::size_t>(j)].data();
    const float* zp = j > 0 ? lats[static_cast<std::size_t>(j - 1)].data() : (prev_lat ? prev_lat->data() : zt);
    for (int p = (j == 0 && !prev_lat) ? 3 : 0; p <= 3; ++p, row += DEC_ROW_VALUES) {
      std::memcpy(row, zt, lat_bytes);
      std::memcpy(row + CANON_SIZE, zp, lat_bytes);
      for (int q = 0; q < 4; ++q) {
        float* plane = row + static_cast<std::size_t>(2 * LC + q) * PLANE;
        std::fill(plane, plane + PLANE, q == p ? 1.0f : 0.0f);
      }
    }
  }
}

}  // namespace

int dec_row_count(int blk, bool has_prev) {
  if (blk <= 0) return 0;
  return has_prev ? 4 * blk : 4 * blk - 3;
}

int build_dec_inputs(std::span<const LatentView> lats, int blk, std::optional<LatentView> prev_lat,
                     ReusableBuffer<float>& xs) {
  check_inputs(lats, blk, prev_lat);
  const int n = dec_row_count(blk, prev_lat.has_value());
  write_rows(lats, blk, prev_lat, xs.resize(static_cast<std::size_t>(n) * DEC_ROW_VALUES).data());
  return n;
}

std::pair<std::vector<float>, int> build_dec_inputs(std::span<const LatentView> lats, int blk,
                                                    std::optional<LatentView> prev_lat) {
  check_inputs(lats, blk, prev_lat);
  const int n = dec_row_count(blk, prev_lat.has_value());
  std::vector<float> xs(static_cast<std::size_t>(n) * DEC_ROW_VALUES);
  write_rows(lats, blk, prev_lat, xs.data());
  return {std::move(xs), n};
}

}  // namespace velmora::ostrand
