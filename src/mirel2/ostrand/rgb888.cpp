#include "mirel2/ostrand/rgb888.h"

#include <algorithm>
#include <array>
#include <climits>
#include <stdexcept>
#include <string>

#include "common/env.h"
#include "common/pytext.h"
#include "common/strict_int.h"
#include "mirel2/litert/tensor.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/cpu_budget.h"

namespace velmora::ostrand {
namespace {

constexpr std::size_t PLANE_PX = std::size_t{FH} * FW;
constexpr int CPUS_PER_RGB_WORKER = 3;
constexpr int MAX_DEFAULT_RGB_WORKERS = 8;

void check_frame(std::span<const float> px) {
  if (px.size() != 3 * PLANE_PX) throw std::invalid_argument(litert::reshape_message(px.size(), litert::Dims{FH, FW, 3}));
}

// The per-channel tables of a correction: its own for the table form; for gain and bias, what its apply()
// makes of every 8-bit value (a pixel value has 256 possibilities only, so the bytes are apply()'s own).
// Nothing for no correction.
const LutRows* correction_tables(const ColorCorrect* cc, LutRows& storage) {
  if (cc == nullptr) return nullptr;
  if (cc->is_lut()) {
    if (!cc->lut) throw std::logic_error("a \"lut\" colour correction without its table");
    return &*cc->lut;
  }
  std::array<std::uint8_t, 3 * 256> ramp;
  for (int v = 0; v < 256; ++v) ramp[3 * v] = ramp[3 * v + 1] = ramp[3 * v + 2] = static_cast<std::uint8_t>(v);
  cc->apply(ramp, ramp);
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t v = 0; v < 256; ++v) storage[c][v] = ramp[3 * v + c];
  return &storage;
}

// One row of one plane: scale, clip (NaN to 0), truncate. Written so that the compiler vectorises it: the
// two selects are max and min instructions, and the truncation one conversion.
void row_to_u8(const float* in, std::uint8_t* out) {
  for (int x = 0; x < FW; ++x) {
    float v = in[x] * 255.0f;
    v = v > 0.0f ? v : 0.0f;  // also NaN to 0
    v = v < 255.0f ? v : 255.0f;
    out[x] = static_cast<std::uint8_t>(static_cast<std::int32_t>(v));
  }
}

// One frame, row by row through a small scratch of the three converted rows (it stays in the first-level
// cache): planar in, interleaved out, the tables looked up in the scratch.
void convert_frame(const float* px, const LutRows* tables, std::uint8_t* out) {
  alignas(64) std::uint8_t q[3][FW];
  for (int y = 0; y < FH; ++y) {
    const std::size_t at = static_cast<std::size_t>(y) * FW;
    for (std::size_t c = 0; c < 3; ++c) row_to_u8(px + c * PLANE_PX + at, q[c]);
    if (tables != nullptr)
      for (std::size_t c = 0; c < 3; ++c) {
        const auto& t = (*tables)[c];
        for (int x = 0; x < FW; ++x) q[c][x] = t[q[c][x]];
      }
    std::uint8_t* o = out + at * 3;
    for (int x = 0; x < FW; ++x) {
      o[3 * x] = q[0][x];
      o[3 * x + 1] = q[1][x];
      o[3 * x + 2] = q[2][x];
    }
  }
}

struct RangeTask {
  std::span<const std::span<const float>> px;
  const LutRows* tables;
  std::span<std::uint8_t> out;
  std::size_t size;  // frames per range

  void operator()(int range) const {
    const std::size_t lo = static_cast<std::size_t>(range) * size;
    const std::size_t hi = std::min(lo + size, px.size());
    convert(lo, hi);
  }
  void convert(std::size_t lo, std::size_t hi) const {
    for (std::size_t i = lo; i < hi; ++i) {
      check_frame(px[i]);
      convert_frame(px[i].data(), tables, out.data() + i * FRAME_BYTES);
    }
  }
};

}  // namespace

int rgb_threads_from(std::optional<std::string_view> raw, int cpus) {
  const std::string_view text = raw ? trim_blanks(*raw) : std::string_view{};
  if (!text.empty()) {
    if (const auto v = parse_strict_int_saturating(text))
      return static_cast<int>(std::clamp<std::int64_t>(*v, 1, INT_MAX));
    elog({std::string(RGB_THREADS_ENV) + "=" + py_repr(text) + " is not an integer \u2014 using the default"});
  }
  return std::max(1, std::min(MAX_DEFAULT_RGB_WORKERS, cpus / CPUS_PER_RGB_WORKER));
}

int rgb_threads() {
  const auto raw = env_get(std::string(RGB_THREADS_ENV).c_str());
  return rgb_threads_from(raw ? std::optional<std::string_view>(*raw) : std::nullopt, effective_cpu_count());
}

std::vector<std::uint8_t> px_to_rgb888(std::span<const float> px_chw, const ColorCorrect* cc) {
  check_frame(px_chw);
  LutRows storage;
  const LutRows* tables = correction_tables(cc, storage);
  std::vector<std::uint8_t> out(FRAME_BYTES);
  convert_frame(px_chw.data(), tables, out.data());
  return out;
}

void px_to_rgb888_chunk(std::span<const std::span<const float>> px, const ColorCorrect* cc, int threads,
                        std::span<std::uint8_t> out, RgbPoolSlot& pool) {
  const std::size_t n = px.size();
  if (out.size() != n * FRAME_BYTES)
    throw std::invalid_argument("RGB888 chunk of " + std::to_string(n) + " frames needs " +
                                std::to_string(n * FRAME_BYTES) + " bytes, got " + std::to_string(out.size()));
  LutRows storage;
  const LutRows* tables = correction_tables(cc, storage);
  const std::size_t workers = std::min(n, static_cast<std::size_t>(std::max(1, threads)));
  if (workers <= 1) {
    RangeTask{px, tables, out, n}.convert(0, n);
    return;
  }
  RgbPool& p = pool.get(static_cast<int>(workers));
  const std::size_t size = (n + workers - 1) / workers;
  RangeTask task{px, tables, out, size};
  p.run(static_cast<int>((n + size - 1) / size), task);
}

}  // namespace velmora::ostrand
