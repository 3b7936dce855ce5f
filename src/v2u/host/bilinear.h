#pragma once
// OpenCV's linear interpolation of float32 images, reproduced bit for bit and without its thread pool: `remap`
// with float maps (INTER_LINEAR; replicated or zero borders) a point at a time, and `resize` (INTER_LINEAR),
// a row band at a time. The frames depend on these exact rules, so they are stated here once:
//
// remap: a map value v is quantised to q = round(v * 32) (float32 product, round half to even; NaN and values
// beyond the int32 range give INT32_MIN). The sample's top-left tap is (q >> 5) along each axis and its
// weights come from the 32 x 32 table below, row (qy & 31), column (qx & 31). Each channel is
// ((t00 w0 + t01 w1) + t10 w2) + t11 w3 in float32, every tap weighed even where its weight is 0. With
// replicated borders a tap outside the image takes the nearest edge pixel; with zero borders it counts 0.
//
// resize: column dx samples at fx = (float)((dx + 0.5) * scale - 0.5) with scale = 1 / (dst / src) in double,
// between columns floor(fx) and floor(fx) + 1 with weights 1 - f and f (f = fx - floor(fx) in float32); left
// of the first column it takes column 0 with weights (1, 0), from the last column on the last column alone.
// Rows likewise, except that rows outside the image are clamped to the edge rows while the weights stay.
// Each output is h(r0) b0 + h(r1) b1 over the horizontally interpolated rows h. Equal sizes copy; a size
// exactly half the source's in both axes averages 2 x 2 blocks instead, as OpenCV then does.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::v2u {

namespace detail {

// OpenCV's bilinear weights for a quantised point: {(1-fy)(1-fx), (1-fy) fx, fy (1-fx), fy fx} with fx, fy in
// 32nds, at index (fy << 5) | fx.
struct alignas(16) LinearWeights {
  float w[4];
};
// Made as OpenCV makes it: the 1-D weights 1 - i/32 and i/32 in float32, multiplied (all exact in float32).
inline constexpr std::array<LinearWeights, 1024> LINEAR_WEIGHTS = [] {
  std::array<LinearWeights, 1024> t{};
  for (int fy = 0; fy < 32; ++fy)
    for (int fx = 0; fx < 32; ++fx) {
      const float vy[2] = {1.0f - static_cast<float>(fy) * (1.0f / 32), static_cast<float>(fy) * (1.0f / 32)};
      const float vx[2] = {1.0f - static_cast<float>(fx) * (1.0f / 32), static_cast<float>(fx) * (1.0f / 32)};
      for (int k1 = 0; k1 < 2; ++k1)
        for (int k2 = 0; k2 < 2; ++k2) t[(fy << 5) | fx].w[k1 * 2 + k2] = vy[k1] * vx[k2];
    }
  return t;
}();

// A map value quantised to 32nds of a pixel: round(v * 32), half to even; INT32_MIN for NaN and beyond int32.
inline std::int32_t remap_fixed(float v) {
  const float s = v * 32.0f;
#if defined(__SSE2__)
  return _mm_cvtss_si32(_mm_set_ss(s));  // the conversion OpenCV's remap uses, in the default rounding mode
#else
  if (!(s >= -2147483648.0f && s < 2147483648.0f)) return INT32_MIN;
  return static_cast<std::int32_t>(std::nearbyint(s));
#endif
}

// Channels 0 .. C-1 of the sample at the quantised point (qx, qy), of an H x W image of S interleaved channels
// (S >= C). OpenCV saturates the tap position (q >> 5) to int16 first; for images under 32768 pixels a side
// that changes no tap.
template <int C, int S = C>
inline void sample_replicate(const float* src, int H, int W, std::int32_t qx, std::int32_t qy, float* out) {
  const int sx = qx >> 5, sy = qy >> 5;
  const int x0 = std::clamp(sx, 0, W - 1), x1 = std::clamp(sx + 1, 0, W - 1);
  const int y0 = std::clamp(sy, 0, H - 1), y1 = std::clamp(sy + 1, 0, H - 1);
  const float* w = LINEAR_WEIGHTS[((qy & 31) << 5) | (qx & 31)].w;
  const float* r0 = src + std::int64_t{y0} * W * S;
  const float* r1 = src + std::int64_t{y1} * W * S;
  const float *a = r0 + x0 * S, *b = r0 + x1 * S, *c = r1 + x0 * S, *d = r1 + x1 * S;
  for (int k = 0; k < C; ++k) out[k] = a[k] * w[0] + b[k] * w[1] + c[k] * w[2] + d[k] * w[3];
}

template <int C, int S = C>
inline void sample_zero(const float* src, int H, int W, std::int32_t qx, std::int32_t qy, float* out) {
  const int sx = qx >> 5, sy = qy >> 5;
  const bool ix0 = static_cast<unsigned>(sx) < static_cast<unsigned>(W);
  const bool ix1 = static_cast<unsigned>(sx + 1) < static_cast<unsigned>(W);
  const bool iy0 = static_cast<unsigned>(sy) < static_cast<unsigned>(H);
  const bool iy1 = static_cast<unsigned>(sy + 1) < static_cast<unsigned>(H);
  const float* w = LINEAR_WEIGHTS[((qy & 31) << 5) | (qx & 31)].w;
  // Offsets only: a tap outside the image is never addressed.
  const std::int64_t o00 = (std::int64_t{sy} * W + sx) * S, o01 = o00 + S, o10 = o00 + std::int64_t{W} * S, o11 = o10 + S;
  for (int k = 0; k < C; ++k) {
    const float a = iy0 && ix0 ? src[o00 + k] : 0.0f, b = iy0 && ix1 ? src[o01 + k] : 0.0f;
    const float c = iy1 && ix0 ? src[o10 + k] : 0.0f, d = iy1 && ix1 ? src[o11 + k] : 0.0f;
    out[k] = a * w[0] + b * w[1] + c * w[2] + d * w[3];
  }
}

}  // namespace detail

// The resize of an image of sh x sw pixels with `cn` interleaved float32 channels to dh x dw pixels, a row band
// at a time. Holds only the size pair's coefficients, so one instance serves any number of threads.
class LinearResize {
 public:
  // All sizes at least 1 and cn 1 to 4, and cn 2 or 3 for a size exactly half the source's; throws
  // std::invalid_argument otherwise, or for a `simd` set the processor lacks (the results are the same with
  // each).
  LinearResize(int sh, int sw, int dh, int dw, int cn, Simd simd = best_simd());

  // Rows r0 .. r1-1 of the result into dst (row r0 first, dw * cn values a row). `scratch` holds
  // scratch_size() floats.
  void rows(const float* src, int r0, int r1, float* dst, float* scratch) const;
  std::int64_t scratch_size() const { return std::int64_t{2} * dw_ * cn_; }

 private:
  enum class Mode { Copy, HalveByArea, Linear };
  struct Tap {
    int at;  // source element (columns) or row (rows)
    float a0, a1;
  };
  struct Kernel;

  Simd simd_;
  Mode mode_ = Mode::Linear;
  int sh_, sw_, dh_, dw_, cn_;
  int xmax_ = 0;             // output elements from here on take one source column
  std::vector<Tap> xtab_;    // per output element (dw * cn)
  std::vector<Tap> ytab_;    // per output row: the upper source row (before clamping) and the weights
};

}  // namespace velmora::v2u
