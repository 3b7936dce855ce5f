#include "v2u/host/warp.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/py_error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define VELMORA_WARP_SSE2 1
#else
#define VELMORA_WARP_SSE2 0
#endif

// The per-pixel loops have SSE2 forms (the x86-64 baseline) that evaluate each lane with the same float32
// operations in the same order as the scalar forms, so both give the same bits; the scalar forms serve
// other targets and the remainders.

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

// Floats in their numeric order as integers (-0.0 and 0.0 both 0), and back.
std::int64_t order_key(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return (u >> 31) ? -static_cast<std::int64_t>(u & 0x7fffffffu) : static_cast<std::int64_t>(u);
}

float from_order_key(std::int64_t k) {
  const std::uint32_t u = k >= 0 ? static_cast<std::uint32_t>(k) : (0x80000000u | static_cast<std::uint32_t>(-k));
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// The first key in [a, b] where `pred`, false below and true above, holds; b + 1 when none.
template <class P>
std::int64_t first_true(std::int64_t a, std::int64_t b, P pred) {
  while (a <= b) {
    const std::int64_t mid = a + (b - a) / 2;
    if (pred(from_order_key(mid))) b = mid - 1;
    else a = mid + 1;
  }
  return a;
}

inline std::uint8_t rgb8(float v) {
  v = v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v);
  v = (v + 1.0f) * 127.5f;
  return v == v ? static_cast<std::uint8_t>(std::nearbyint(v)) : 0;
}

#if VELMORA_WARP_SSE2
inline __m128 floor4(__m128 v) {
  const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 small = _mm_cmplt_ps(_mm_and_ps(v, abs_mask), _mm_set1_ps(8388608.0f));  // false for NaN
  __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(v));
  t = _mm_sub_ps(t, _mm_and_ps(_mm_cmpgt_ps(t, v), _mm_set1_ps(1.0f)));
  t = _mm_or_ps(t, _mm_andnot_ps(abs_mask, v));  // the sign of v, for -0.0
  return _mm_or_ps(_mm_and_ps(small, t), _mm_andnot_ps(small, v));
}

inline __m128 pixel_of4(__m128 g) {
  const __m128 one = _mm_set1_ps(1.0f);
  return _mm_mul_ps(_mm_sub_ps(_mm_mul_ps(_mm_add_ps(g, one), _mm_set1_ps(static_cast<float>(FRAME))), one), _mm_set1_ps(0.5f));
}

inline __m128 corr_weight4(__m128 xs) {
  const __m128 f = _mm_sub_ps(xs, floor4(xs));
  return _mm_mul_ps(_mm_mul_ps(f, _mm_sub_ps(_mm_set1_ps(1.0f), f)), _mm_set1_ps(0.5f));
}

struct Axis4 {
  __m128 k, c, n;
  explicit Axis4(const Axis& a) : k(_mm_set1_ps(a.k)), c(_mm_set1_ps(a.c)), n(_mm_set1_ps(a.n)) {}
};

inline __m128 patch_coord4(__m128 g, const Axis4& a) {
  const __m128 one = _mm_set1_ps(1.0f), half = _mm_set1_ps(0.5f);
  __m128 u = _mm_mul_ps(g, a.k);
  u = _mm_add_ps(u, a.c);
  u = _mm_sub_ps(u, one);
  __m128 t = _mm_add_ps(u, one);
  t = _mm_mul_ps(t, a.n);
  t = _mm_mul_ps(t, half);
  return _mm_sub_ps(t, half);
}

// The x and y values of four interleaved (x, y) pairs.
inline void split_xy(const float* p, __m128& x, __m128& y) {
  const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
  x = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
  y = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

// Lanes 0-2 = the corrected colour of the pixel whose 12 samples start at s.
template <int J>
inline __m128 corrected(const float* s, __m128 ax, __m128 ay, __m128 axy) {
  const __m128 a = _mm_shuffle_ps(ax, ax, _MM_SHUFFLE(J, J, J, J));
  const __m128 b = _mm_shuffle_ps(ay, ay, _MM_SHUFFLE(J, J, J, J));
  const __m128 ab = _mm_shuffle_ps(axy, axy, _MM_SHUFFLE(J, J, J, J));
  const __m128 hi = _mm_loadu_ps(s + 8);  // s[8..11]: stays inside the pixel's samples
  const __m128 dxy = _mm_shuffle_ps(hi, hi, _MM_SHUFFLE(3, 3, 2, 1));
  __m128 v = _mm_sub_ps(_mm_loadu_ps(s), _mm_mul_ps(a, _mm_loadu_ps(s + 3)));
  v = _mm_sub_ps(v, _mm_mul_ps(b, _mm_loadu_ps(s + 6)));
  return _mm_add_ps(v, _mm_mul_ps(ab, dxy));
}
#endif

cv::Mat mat(int rows, int cols, int type, const float* data) { return cv::Mat(rows, cols, type, const_cast<float*>(data)); }

}  // namespace

namespace detail {

std::optional<InsideSpan> inside_span(float k, float c, float n) {
  if (!(k != 0 && std::isfinite(k) && std::isfinite(c) && n > 0 && std::isfinite(n))) return std::nullopt;
  const Axis a{k, c, n};
  const auto above = [&](float g) { return patch_coord(g, a) > -1.0f; };
  const auto below = [&](float g) { return patch_coord(g, a) < n; };
  const std::int64_t K0 = order_key(-INFINITY), K1 = order_key(INFINITY);
  std::int64_t lo, hi;
  if (k > 0) {  // the coordinate rises with g
    lo = first_true(K0, K1, above);
    hi = first_true(K0, K1, [&](float g) { return !below(g); }) - 1;
  } else {  // and falls
    lo = first_true(K0, K1, below);
    hi = first_true(K0, K1, [&](float g) { return !above(g); }) - 1;
  }
  if (lo > hi) return InsideSpan{INFINITY, -INFINITY};
  return InsideSpan{from_order_key(lo), from_order_key(hi)};
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

void check_region(const Region& roi) {
  axis_of(roi.x0, roi.x1, 1);
  axis_of(roi.y0, roi.y1, 1);
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
  // Bands run on OpenCV's workers; the remap inside a band then runs on the band's own thread.
  cv::parallel_for_(cv::Range(0, FRAME / BAND), [&](const cv::Range& bands) {
    for (int b = bands.start; b < bands.end; ++b) {
      const std::int64_t i0 = std::int64_t{b} * BAND * FRAME, i1 = i0 + BAND * FRAME;
      std::int64_t i = i0;
#if VELMORA_WARP_SSE2
      for (; i + 4 <= i1; i += 4) {
        __m128 x, y;
        split_xy(g + 2 * i, x, y);
        _mm_storeu_ps(mx + i, pixel_of4(x));
        _mm_storeu_ps(my + i, pixel_of4(y));
      }
#endif
      for (; i < i1; ++i) {
        mx[i] = pixel_of(g[2 * i]);
        my[i] = pixel_of(g[2 * i + 1]);
      }
      cv::Mat dst = mat(BAND, FRAME, CV_32FC(CH), sm + i0 * CH);
      cv::remap(src, dst, mat(BAND, FRAME, CV_32FC1, mx + i0), mat(BAND, FRAME, CV_32FC1, my + i0), cv::INTER_LINEAR,
                cv::BORDER_REPLICATE);
      i = i0;
#if VELMORA_WARP_SSE2
      for (; i + 4 <= i1; i += 4) {
        const __m128 ax = corr_weight4(_mm_loadu_ps(mx + i)), ay = corr_weight4(_mm_loadu_ps(my + i));
        const __m128 axy = _mm_mul_ps(ax, ay);
        const float* s = sm + i * CH;
        __m128 v0 = corrected<0>(s, ax, ay, axy), v1 = corrected<1>(s + CH, ax, ay, axy);
        __m128 v2 = corrected<2>(s + 2 * CH, ax, ay, axy), v3 = corrected<3>(s + 3 * CH, ax, ay, axy);
        _MM_TRANSPOSE4_PS(v0, v1, v2, v3);  // v0, v1, v2: channels 0, 1, 2 of the four pixels
        _mm_storeu_ps(out + i, v0);
        _mm_storeu_ps(out + PIXELS + i, v1);
        _mm_storeu_ps(out + 2 * PIXELS + i, v2);
      }
#endif
      for (; i < i1; ++i) {
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

namespace {

// Marks in `cols` the columns and returns in [ra, rb) the rows of the frame pixels whose grid values (x, y)
// satisfy in4 (four interleaved pairs at a time, a lane mask) or in1 (one pair).
template <class In4, class In1>
void scan_inside(const float* gm, bool* cols, int& ra, int& rb, [[maybe_unused]] In4 in4, In1 in1) {
  ra = FRAME;
  rb = 0;
#if VELMORA_WARP_SSE2
  __m128 colv[FRAME / 4];  // lane masks of the columns
  for (__m128& c : colv) c = _mm_setzero_ps();
#endif
  for (int y = 0; y < FRAME; ++y) {
    const float* row = gm + std::int64_t{y} * FRAME * 2;
    bool any = false;
    int x = 0;
#if VELMORA_WARP_SSE2
    __m128 acc = _mm_setzero_ps();
    for (; x + 4 <= FRAME; x += 4) {
      __m128 gx, gy;
      split_xy(row + 2 * x, gx, gy);
      const __m128 in = in4(gx, gy);
      colv[x / 4] = _mm_or_ps(colv[x / 4], in);
      acc = _mm_or_ps(acc, in);
    }
    any = _mm_movemask_ps(acc) != 0;
#endif
    for (; x < FRAME; ++x) {
      const bool in = in1(row[2 * x], row[2 * x + 1]);
      cols[x] = cols[x] || in;
      any = any || in;
    }
    if (any) {
      if (ra == FRAME) ra = y;
      rb = y + 1;
    }
  }
#if VELMORA_WARP_SSE2
  for (int g = 0; g < FRAME / 4; ++g) {
    const int bits = _mm_movemask_ps(colv[g]);
    for (int j = 0; j < 4; ++j) cols[4 * g + j] = cols[4 * g + j] || ((bits >> j) & 1);
  }
#endif
}

}  // namespace

Box Compositor::place(const float* gm, const Region& roi, int h, int w) {
  const Axis ax = axis_of(roi.x0, roi.x1, w);
  const Axis ay = axis_of(roi.y0, roi.y1, h);
  const float fw = static_cast<float>(w), fh = static_cast<float>(h);
  bool cols[FRAME] = {};
  int ra = FRAME, rb = 0;
#if VELMORA_WARP_SSE2
  const Axis4 ax4(ax), ay4(ay);
#endif
  const auto sx = detail::inside_span(ax.k, ax.c, ax.n), sy = detail::inside_span(ay.k, ay.c, ay.n);
  if (sx && sy) {
    // Inside is a pair of intervals of grid values: comparisons instead of the coordinates.
    const detail::InsideSpan x = *sx, y = *sy;
#if VELMORA_WARP_SSE2
    const __m128 xlo = _mm_set1_ps(x.lo), xhi = _mm_set1_ps(x.hi), ylo = _mm_set1_ps(y.lo), yhi = _mm_set1_ps(y.hi);
#endif
    scan_inside(
        gm, cols, ra, rb,
        [&](auto gx, auto gy) {
#if VELMORA_WARP_SSE2
          return _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(gx, xlo), _mm_cmple_ps(gx, xhi)),
                            _mm_and_ps(_mm_cmpge_ps(gy, ylo), _mm_cmple_ps(gy, yhi)));
#else
          return gx;
#endif
        },
        [&](float gx, float gy) { return gx >= x.lo && gx <= x.hi && gy >= y.lo && gy <= y.hi; });
  } else {
#if VELMORA_WARP_SSE2
    const __m128 m1 = _mm_set1_ps(-1.0f), w4 = _mm_set1_ps(fw), h4 = _mm_set1_ps(fh);
#endif
    scan_inside(
        gm, cols, ra, rb,
        [&](auto gx, auto gy) {
#if VELMORA_WARP_SSE2
          const __m128 ix = patch_coord4(gx, ax4), iy = patch_coord4(gy, ay4);
          return _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(ix, m1), _mm_cmplt_ps(ix, w4)),
                            _mm_and_ps(_mm_cmpgt_ps(iy, m1), _mm_cmplt_ps(iy, h4)));
#else
          return gx;
#endif
        },
        [&](float gx, float gy) {
          const float ix = patch_coord(gx, ax), iy = patch_coord(gy, ay);
          return ix > -1.0f && ix < fw && iy > -1.0f && iy < fh;
        });
  }
  box_ = Box{};
  h_ = h;
  w_ = w;
  if (ra == FRAME) return box_;
  int ca = 0, cb = FRAME;
  while (ca < FRAME - 1 && !cols[ca]) ++ca;
  while (cb > ca + 1 && !cols[cb - 1]) --cb;
  box_ = Box{ra, rb, ca, cb};
  const std::int64_t bw = box_.width(), n = std::int64_t{box_.height()} * bw;
  float* X = X_.resize(n).data();
  float* Y = Y_.resize(n).data();
  for (int y = ra; y < rb; ++y) {
    const float* row = gm + std::int64_t{y} * FRAME * 2;
    float* xr = X + (y - ra) * bw - ca;
    float* yr = Y + (y - ra) * bw - ca;
    int x = ca;
#if VELMORA_WARP_SSE2
    for (; x + 4 <= cb; x += 4) {
      __m128 gx, gy;
      split_xy(row + 2 * x, gx, gy);
      _mm_storeu_ps(xr + x, patch_coord4(gx, ax4));
      _mm_storeu_ps(yr + x, patch_coord4(gy, ay4));
    }
#endif
    for (; x < cb; ++x) {
      xr[x] = patch_coord(row[2 * x], ax);
      yr[x] = patch_coord(row[2 * x + 1], ay);
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
    const float* mr = m + std::int64_t{y} * bw;
    const float* wr = wv + std::int64_t{y} * bw * 3;
    for (int c = 0; c < 3; ++c) {
      float* op = o + c * PIXELS + at;
      for (int x = 0; x < bw; ++x) {
        const float t1 = mr[x] * wr[x * 3 + c];
        const float t2 = 1.0f - mr[x];
        const float t3 = t2 * op[x];
        op[x] = t1 + t3;
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
  std::int64_t i = 0;
#if VELMORA_WARP_SSE2
  const __m128 lo = _mm_set1_ps(-1.0f), hi = _mm_set1_ps(1.0f), scale = _mm_set1_ps(127.5f);
  alignas(16) std::uint8_t bytes[3][16];
  for (; i + 16 <= PIXELS; i += 16) {
    for (int c = 0; c < 3; ++c) {
      __m128i q[4];
      for (int k = 0; k < 4; ++k) {
        // max returns its second operand for NaN, so NaN becomes -1 and then 0.
        const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(o + c * PIXELS + i + 4 * k), lo), hi);
        q[k] = _mm_cvtps_epi32(_mm_mul_ps(_mm_add_ps(v, hi), scale));  // rounds half to even
      }
      _mm_store_si128(reinterpret_cast<__m128i*>(bytes[c]),
                      _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3])));
    }
    std::uint8_t* d = out + i * 3;
    for (int j = 0; j < 16; ++j) {
      d[3 * j] = bytes[0][j];
      d[3 * j + 1] = bytes[1][j];
      d[3 * j + 2] = bytes[2][j];
    }
  }
#endif
  for (; i < PIXELS; ++i)
    for (int c = 0; c < 3; ++c) out[i * 3 + c] = rgb8(o[c * PIXELS + i]);
}

}  // namespace velmora::v2u
