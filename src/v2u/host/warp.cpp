#include "v2u/host/warp.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>
#include <string>

#include "common/py_error.h"

namespace velmora::v2u {

namespace {

constexpr std::int64_t PIXELS = std::int64_t{FRAME} * FRAME;
constexpr int CH = 12;    // plane stack channels
constexpr int BAND = 16;  // rows warped together: a band's 12-channel samples stay in cache until corrected

std::string shape_text(const NdArray& a) { return a.shape().str(); }

// Pixel coordinate of a normalised grid value.
inline float pixel_of(float g) { return ((g + 1.0f) * static_cast<float>(FRAME) - 1.0f) * 0.5f; }

// The fraction weight fx (1 - fx) / 2 of a pixel coordinate.
inline float corr_weight(float xs) {
  const float f = xs - detail::floor_f32(xs);
  return (f * (1.0f - f)) * 0.5f;
}

// One axis of a patch placement: the grid value's scale and offset onto the region, and the patch length.
struct Axis {
  float k = 0, c = 0, n = 0;
};

Axis axis_of(double a, double b, int n) {
  if (b - a == 0.0) throw PyError("ZeroDivisionError", "float division by zero");
  const double S = FRAME;
  return {static_cast<float>(S / (b - a)), static_cast<float>((S - 2 * a) / (b - a)), static_cast<float>(n)};
}

// Patch coordinate of a grid value: -1 .. 1 across the region, then patch pixels with centres at integers.
inline float patch_coord(float g, const Axis& a) {
  float u = g * a.k;
  u = u + a.c;
  u = u - 1.0f;
  float t = u + 1.0f;
  t = t * a.n;
  t = t * 0.5f;
  return t - 0.5f;
}

cv::Mat mat(int rows, int cols, int type, const float* data) { return cv::Mat(rows, cols, type, const_cast<float*>(data)); }

}  // namespace

namespace detail {

float floor_f32(float v) {
  // Beyond 2^23 every float is an integer already; NaN passes through.
  if (!(std::fabs(v) < 8388608.0f)) return v;
  float t = static_cast<float>(static_cast<std::int32_t>(v));
  if (t > v) t -= 1.0f;
  return std::copysign(t, v);  // floor(-0.0) is -0.0; a negative v has a negative floor anyway
}

}  // namespace detail

Region region_of(const NdArray& roi) {
  const std::int64_t n = roi.rank() == 0 ? 1 : roi.dim(0);
  if (roi.rank() != 1 || n != 4) {
    if (roi.rank() == 1 && n > 4) throw std::invalid_argument("too many values to unpack (expected 4)");
    throw std::invalid_argument(roi.rank() == 1 ? "not enough values to unpack (expected 4, got " + std::to_string(n) + ")"
                                                : "a region needs one axis of 4 values, not shape " + shape_text(roi));
  }
  return {roi.as_double(0), roi.as_double(1), roi.as_double(2), roi.as_double(3)};
}

PlaneWarp::PlaneWarp(const NdArray& planes) {
  if (planes.dtype() != DType::Float32 || planes.rank() != 4 || planes.dim(0) < 1 || planes.dim(1) != CH ||
      planes.dim(2) < 1 || planes.dim(3) < 1)
    throw std::invalid_argument("plane texture must be float32 (N, 12, H, W) with N, H, W >= 1, not " +
                                std::string(dtype_name(planes.dtype())) + " " + shape_text(planes));
  H_ = planes.dim(2);
  W_ = planes.dim(3);
  if (H_ > 32767 || W_ > 32767) throw std::invalid_argument("plane texture " + shape_text(planes) + " is too large to sample");
  hwc_ = NdArray::uninitialized(DType::Float32, {H_, W_, CH});
  const float* p = planes.data<float>();
  float* h = hwc_.data<float>();
  const std::int64_t plane = H_ * W_;
  for (std::int64_t i = 0; i < plane; ++i)
    for (int c = 0; c < CH; ++c) h[i * CH + c] = p[c * plane + i];
}

void PlaneWarp::warp(const float* g, float* out) {
  float* mx = mx_.resize(PIXELS).data();
  float* my = my_.resize(PIXELS).data();
  float* sm = sm_.resize(PIXELS * CH).data();
  const cv::Mat src = mat(static_cast<int>(H_), static_cast<int>(W_), CV_32FC(CH), hwc_.data<float>());
  cv::parallel_for_(cv::Range(0, FRAME / BAND), [&](const cv::Range& bands) {
    for (int b = bands.start; b < bands.end; ++b) {
      const std::int64_t i0 = std::int64_t{b} * BAND * FRAME, i1 = i0 + BAND * FRAME;
      for (std::int64_t i = i0; i < i1; ++i) {
        mx[i] = pixel_of(g[2 * i]);
        my[i] = pixel_of(g[2 * i + 1]);
      }
      cv::Mat dst = mat(BAND, FRAME, CV_32FC(CH), sm + i0 * CH);
      cv::remap(src, dst, mat(BAND, FRAME, CV_32FC1, mx + i0), mat(BAND, FRAME, CV_32FC1, my + i0), cv::INTER_LINEAR,
                cv::BORDER_REPLICATE);
      for (std::int64_t i = i0; i < i1; ++i) {
        const float ax = corr_weight(mx[i]), ay = corr_weight(my[i]);
        const float axy = ax * ay;
        const float* s = sm + i * CH;
        for (int c = 0; c < 3; ++c) {
          float v = s[c] - ax * s[3 + c];
          v = v - ay * s[6 + c];
          out[c * PIXELS + i] = v + axy * s[9 + c];
        }
      }
    }
  });
}

Box Compositor::place(const float* gm, const Region& roi, int h, int w) {
  const Axis ax = axis_of(roi.x0, roi.x1, w);
  const Axis ay = axis_of(roi.y0, roi.y1, h);
  const float fw = static_cast<float>(w), fh = static_cast<float>(h);
  bool cols[FRAME] = {};
  int ra = FRAME, rb = 0;
  for (int y = 0; y < FRAME; ++y) {
    const float* row = gm + std::int64_t{y} * FRAME * 2;
    bool any = false;
    for (int x = 0; x < FRAME; ++x) {
      const float ix = patch_coord(row[2 * x], ax), iy = patch_coord(row[2 * x + 1], ay);
      const bool in = ix > -1.0f && ix < fw && iy > -1.0f && iy < fh;
      cols[x] |= in;
      any |= in;
    }
    if (any) {
      if (ra == FRAME) ra = y;
      rb = y + 1;
    }
  }
  box_ = Box{};
  h_ = h;
  w_ = w;
  if (ra == FRAME) return box_;
  int ca = 0, cb = FRAME;
  while (!cols[ca]) ++ca;
  while (!cols[cb - 1]) --cb;
  box_ = Box{ra, rb, ca, cb};
  const std::int64_t bw = box_.width(), n = std::int64_t{box_.height()} * bw;
  float* X = X_.resize(n).data();
  float* Y = Y_.resize(n).data();
  for (int y = ra; y < rb; ++y) {
    const float* row = gm + std::int64_t{y} * FRAME * 2;
    float* xr = X + (y - ra) * bw;
    float* yr = Y + (y - ra) * bw;
    for (int x = ca; x < cb; ++x) {
      xr[x - ca] = patch_coord(row[2 * x], ax);
      yr[x - ca] = patch_coord(row[2 * x + 1], ay);
    }
  }
  return box_;
}

void Compositor::blend(float* o, const float* rgb_hwc, const float* mask, int mh, int mw) {
  if (box_.empty()) return;
  const int bh = box_.height(), bw = box_.width();
  const std::int64_t n = std::int64_t{bh} * bw;
  const cv::Mat X = mat(bh, bw, CV_32FC1, X_.span().data()), Y = mat(bh, bw, CV_32FC1, Y_.span().data());
  float* m = m_.resize(n).data();
  float* wv = wv_.resize(n * 3).data();
  cv::Mat m_dst = mat(bh, bw, CV_32FC1, m), wv_dst = mat(bh, bw, CV_32FC3, wv);
  cv::remap(mat(mh, mw, CV_32FC1, mask), m_dst, X, Y, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::remap(mat(h_, w_, CV_32FC3, rgb_hwc), wv_dst, X, Y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  for (int y = 0; y < bh; ++y) {
    const std::int64_t at = std::int64_t{box_.ra + y} * FRAME + box_.ca;
    for (int x = 0; x < bw; ++x) {
      const float mv = m[y * bw + x];
      const float* wp = wv + (std::int64_t{y} * bw + x) * 3;
      for (int c = 0; c < 3; ++c) {
        float* op = o + c * PIXELS + at + x;
        const float t1 = mv * wp[c];
        const float t2 = 1.0f - mv;
        const float t3 = t2 * *op;
        *op = t1 + t3;
      }
    }
  }
}

void composite(NdArray& o, const NdArray& gm, const Region& roi, const NdArray& rgb, const NdArray& mask) {
  if (o.dtype() != DType::Float32 || o.shape() != Shape{3, FRAME, FRAME})
    throw std::invalid_argument("composite: frame must be float32 (3, 512, 512), not " + shape_text(o));
  if (gm.dtype() != DType::Float32 || gm.shape() != Shape{FRAME, FRAME, 2})
    throw std::invalid_argument("composite: grid must be float32 (512, 512, 2), not " + shape_text(gm));
  if (rgb.dtype() != DType::Float32 || rgb.rank() != 3 || rgb.dim(0) != 3 || rgb.dim(1) < 1 || rgb.dim(2) < 1)
    throw std::invalid_argument("composite: patch must be float32 (3, h, w), not " + shape_text(rgb));
  if (mask.dtype() != DType::Float32 || mask.rank() != 3 || mask.dim(0) < 1 || mask.dim(1) < 1 || mask.dim(2) < 1)
    throw std::invalid_argument("composite: mask must be float32 (channels, h, w), not " + shape_text(mask));
  const int h = static_cast<int>(rgb.dim(1)), w = static_cast<int>(rgb.dim(2));
  NdArray hwc = NdArray::uninitialized(DType::Float32, {h, w, 3});
  const float* p = rgb.data<float>();
  for (std::int64_t i = 0; i < std::int64_t{h} * w; ++i)
    for (int c = 0; c < 3; ++c) hwc.data<float>()[i * 3 + c] = p[c * h * w + i];
  Compositor comp;
  comp.place(gm.data<float>(), roi, h, w);
  comp.blend(o.data<float>(), hwc.data<float>(), mask.data<float>(), static_cast<int>(mask.dim(1)), static_cast<int>(mask.dim(2)));
}

void to_rgb8(const float* o, std::uint8_t* out) {
  for (std::int64_t i = 0; i < PIXELS; ++i) {
    for (int c = 0; c < 3; ++c) {
      float v = o[c * PIXELS + i];
      v = v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v);
      v = (v + 1.0f) * 127.5f;
      out[i * 3 + c] = v == v ? static_cast<std::uint8_t>(std::nearbyint(v)) : 0;
    }
  }
}

}  // namespace velmora::v2u
