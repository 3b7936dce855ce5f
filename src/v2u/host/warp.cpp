#include "v2u/host/warp.h"

#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/py_error.h"
#include "v2u/host/bilinear.h"

#if defined(__SSE2__)
#include <immintrin.h>
#define VELMORA_WARP_SSE2 1
#else
#define VELMORA_WARP_SSE2 0
#endif

// The per-pixel loops have SSE2 forms (the x86-64 baseline) that evaluate each lane with the same float32
// operations in the same order as the scalar forms, so both give the same bits; the scalar forms serve
// other targets and the remainders (frame rows hold a multiple of 4 pixels, so rows have none).

namespace velmora::v2u {

namespace {

constexpr std::int64_t PIXELS = std::int64_t{FRAME} * FRAME;
static_assert(FRAME % 16 == 0, "the SSE2 loops over a row or a frame leave no remainder");
constexpr int CH = 12;    // plane stack channels

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

// remap_fixed of four values: the float32 product by 32 and the conversion OpenCV's remap uses.
inline __m128i fixed4(__m128 v) { return _mm_cvtps_epi32(_mm_mul_ps(v, _mm_set1_ps(32.0f))); }

// The warp's AVX2 form, written with GCC's generic vectors of eight lanes: eight pixels at a time, channels
// 0-7 of a pixel in one register. Every lane computes the same float32 operations in the same order as the
// scalar form, so all forms give the same bits.
typedef float F8 __attribute__((vector_size(32)));
typedef float F4 __attribute__((vector_size(16)));
typedef std::int32_t I8 __attribute__((vector_size(32)));
typedef std::int32_t I4 __attribute__((vector_size(16)));

[[gnu::always_inline]] inline F4 low(const F8& v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3); }
[[gnu::always_inline]] inline F4 high(const F8& v) { return __builtin_shufflevector(v, v, 4, 5, 6, 7); }

// remap_fixed and the correction weight of eight values, through the SSE2 conversions on each half.
[[gnu::always_inline]] inline void fixed8(const F8& v, I8& q) {
  const F8 s = v * 32.0f;
  q = __builtin_shufflevector(std::bit_cast<I4>(_mm_cvtps_epi32(low(s))), std::bit_cast<I4>(_mm_cvtps_epi32(high(s))), 0, 1,
                              2, 3, 4, 5, 6, 7);
}
[[gnu::always_inline]] inline void corr_weight8(const F8& xs, F8& w) {
  const F4 f0 = floor4(low(xs)), f1 = floor4(high(xs));
  const F8 f = xs - __builtin_shufflevector(f0, f1, 0, 1, 2, 3, 4, 5, 6, 7);
  w = (f * (1.0f - f)) * 0.5f;
}
[[gnu::always_inline]] inline void clamp8(I8& v, std::int32_t hi) {
  const I8 zero = {}, top = zero + hi;
  v = v < zero ? zero : v;
  v = v > top ? top : v;
}

[[gnu::always_inline]] inline void prefetch(const float* p, std::int64_t ahead) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + static_cast<std::uintptr_t>(ahead) * sizeof(float)));
}

// Rows r0 .. r1-1 of the warp of `tex` (H x W x 12) by the grid rows `g` into `out` (see PlaneWarp).
[[gnu::always_inline]] inline void warp_kernel(const float* tex, int H, int W, const float* g, int r0, int r1, float* out) {
  for (int y = r0; y < r1; ++y, g += 2 * FRAME) {
    const std::int64_t at = std::int64_t{y} * FRAME;
    for (int x = 0; x < FRAME; x += 8) {
      F8 g0, g1;
      load_vector(g0, g + 2 * x);
      load_vector(g1, g + 2 * x + 8);
      const F8 gx = __builtin_shufflevector(g0, g1, 0, 2, 4, 6, 8, 10, 12, 14);
      const F8 gy = __builtin_shufflevector(g0, g1, 1, 3, 5, 7, 9, 11, 13, 15);
      const F8 xs = ((gx + 1.0f) * static_cast<float>(FRAME) - 1.0f) * 0.5f;
      const F8 ys = ((gy + 1.0f) * static_cast<float>(FRAME) - 1.0f) * 0.5f;
      // Taps and weight rows as detail::sample_replicate finds them, as float offsets into the texture.
      I8 qx, qy;
      fixed8(xs, qx);
      fixed8(ys, qy);
      I8 x0 = qx >> 5, y0 = qy >> 5, x1 = x0 + 1, y1 = y0 + 1;
      clamp8(x0, W - 1), clamp8(x1, W - 1), clamp8(y0, H - 1), clamp8(y1, H - 1);
      // [0]: weight row; [1] - [4]: top-left, top-right, bottom-left, bottom-right tap.
      I8 tap[5];
      tap[0] = ((qy & 31) << 5) | (qx & 31);
      tap[1] = (y0 * W + x0) * CH;
      tap[2] = tap[1] + (x1 - x0) * CH;
      tap[3] = tap[1] + (y1 - y0) * (W * CH);
      tap[4] = tap[3] + (x1 - x0) * CH;
      // Channels 0-7 and 8-11 of each pixel: ((a w0 + b w1) + c w2) + d w3.
      F8 lo[8];
      F4 hi[8];
      for (int j = 0; j < 8; ++j) {
        const float* w = detail::LINEAR_WEIGHTS[tap[0][j]].w;
        const F8 w0 = {w[0], w[0], w[0], w[0], w[0], w[0], w[0], w[0]}, w1 = {w[1], w[1], w[1], w[1], w[1], w[1], w[1], w[1]};
        const F8 w2 = {w[2], w[2], w[2], w[2], w[2], w[2], w[2], w[2]}, w3 = {w[3], w[3], w[3], w[3], w[3], w[3], w[3], w[3]};
        const float *a = tex + tap[1][j], *b = tex + tap[2][j], *c = tex + tap[3][j], *d = tex + tap[4][j];
        // The texels a row segment further on, which the hardware fetches too late on its own; by address
        // only (the pointer may lie beyond the texture, where a prefetch does nothing).
        prefetch(a, 16 * CH);
        prefetch(c, 16 * CH);
        F8 va, vb, vc, vd;
        load_vector(va, a), load_vector(vb, b), load_vector(vc, c), load_vector(vd, d);
        lo[j] = ((va * w0 + vb * w1) + vc * w2) + vd * w3;
        F4 ha, hb, hc, hd;
        load_vector(ha, a + 8), load_vector(hb, b + 8), load_vector(hc, c + 8), load_vector(hd, d + 8);
        hi[j] = ((ha * low(w0) + hb * low(w1)) + hc * low(w2)) + hd * low(w3);
      }
      // Regrouped per channel across the eight pixels: ch[k] holds channel k.
      F8 ch[CH];
      {
        F8 t[8], u[8];
        for (int i = 0; i < 8; i += 2) {
          t[i] = __builtin_shufflevector(lo[i], lo[i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
          t[i + 1] = __builtin_shufflevector(lo[i], lo[i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
        }
        for (int i = 0; i < 8; i += 4) {
          u[i] = __builtin_shufflevector(t[i], t[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
          u[i + 1] = __builtin_shufflevector(t[i], t[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
          u[i + 2] = __builtin_shufflevector(t[i + 1], t[i + 3], 0, 1, 8, 9, 4, 5, 12, 13);
          u[i + 3] = __builtin_shufflevector(t[i + 1], t[i + 3], 2, 3, 10, 11, 6, 7, 14, 15);
        }
        for (int k = 0; k < 4; ++k) {
          ch[k] = __builtin_shufflevector(u[k], u[k + 4], 0, 1, 2, 3, 8, 9, 10, 11);
          ch[k + 4] = __builtin_shufflevector(u[k], u[k + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        }
        // Pixels j and j + 4 side by side, then a 4 x 4 transpose within each half.
        const F8 h0 = __builtin_shufflevector(hi[0], hi[4], 0, 1, 2, 3, 4, 5, 6, 7);
        const F8 h1 = __builtin_shufflevector(hi[1], hi[5], 0, 1, 2, 3, 4, 5, 6, 7);
        const F8 h2 = __builtin_shufflevector(hi[2], hi[6], 0, 1, 2, 3, 4, 5, 6, 7);
        const F8 h3 = __builtin_shufflevector(hi[3], hi[7], 0, 1, 2, 3, 4, 5, 6, 7);
        const F8 e0 = __builtin_shufflevector(h0, h1, 0, 8, 1, 9, 4, 12, 5, 13);
        const F8 e1 = __builtin_shufflevector(h0, h1, 2, 10, 3, 11, 6, 14, 7, 15);
        const F8 e2 = __builtin_shufflevector(h2, h3, 0, 8, 1, 9, 4, 12, 5, 13);
        const F8 e3 = __builtin_shufflevector(h2, h3, 2, 10, 3, 11, 6, 14, 7, 15);
        const F8 v8 = __builtin_shufflevector(e0, e2, 0, 1, 8, 9, 4, 5, 12, 13);
        const F8 v9 = __builtin_shufflevector(e0, e2, 2, 3, 10, 11, 6, 7, 14, 15);
        const F8 v10 = __builtin_shufflevector(e1, e3, 0, 1, 8, 9, 4, 5, 12, 13);
        const F8 v11 = __builtin_shufflevector(e1, e3, 2, 3, 10, 11, 6, 7, 14, 15);
        // Lanes 0-3 are pixels 0-3 and lanes 4-7 pixels 4-7 already.
        ch[8] = v8, ch[9] = v9, ch[10] = v10, ch[11] = v11;
      }
      F8 ax, ay;
      corr_weight8(xs, ax);
      corr_weight8(ys, ay);
      const F8 axy = ax * ay;
      // p = channels 0-2, dx = 3-5, dy = 6-8, dxy = 9-11.
      for (int c = 0; c < 3; ++c) {
        const F8 v = ((ch[c] - ax * ch[3 + c]) - ay * ch[6 + c]) + axy * ch[9 + c];
        store_vector(out + c * PIXELS + at + x, v);
      }
    }
  }
}

// The baseline form, four pixels at a time in SSE2 registers (the generic eight-lane form would be split into
// slow pieces there): each pixel's 12 channels in three registers, regrouped per channel by 4 x 4 transposes.
void warp_baseline(const float* tex, int H, int W, const float* g, int r0, int r1, float* out) {
  const __m128i limits = _mm_set_epi16(static_cast<short>(H - 1), static_cast<short>(H - 1), static_cast<short>(H - 1),
                                       static_cast<short>(H - 1), static_cast<short>(W - 1), static_cast<short>(W - 1),
                                       static_cast<short>(W - 1), static_cast<short>(W - 1));
  const __m128i row = _mm_set1_epi32(static_cast<std::int32_t>((static_cast<std::uint32_t>(W) << 16) | 1u));
  const __m128i f31 = _mm_set1_epi32(31), zero = _mm_setzero_si128();
  for (int y = r0; y < r1; ++y, g += 2 * FRAME) {
    const std::int64_t at = std::int64_t{y} * FRAME;
    for (int x = 0; x < FRAME; x += 4) {
      __m128 gx, gy;
      split_xy(g + 2 * x, gx, gy);
      const __m128 xs = pixel_of4(gx), ys = pixel_of4(gy);
      const __m128i qx = fixed4(xs), qy = fixed4(ys);
      // Taps as texel offsets x + y W through 16-bit products (saturating to int16 changes no clamped tap).
      const __m128i p = _mm_packs_epi32(_mm_srai_epi32(qx, 5), _mm_srai_epi32(qy, 5));  // x in lanes 0-3, y in 4-7
      const __m128i p0 = _mm_max_epi16(_mm_min_epi16(p, limits), zero);
      const __m128i p1 = _mm_max_epi16(_mm_min_epi16(_mm_adds_epi16(p, _mm_set1_epi16(1)), limits), zero);
      const __m128i y0 = _mm_srli_si128(p0, 8), y1 = _mm_srli_si128(p1, 8);
      const __m128i texel[4] = {_mm_unpacklo_epi16(p0, y0), _mm_unpacklo_epi16(p1, y0), _mm_unpacklo_epi16(p0, y1),
                                _mm_unpacklo_epi16(p1, y1)};
      alignas(16) std::int32_t tap[4][4], wrow[4];
      for (int k = 0; k < 4; ++k) {
        const __m128i t = _mm_madd_epi16(texel[k], row);
        _mm_store_si128(reinterpret_cast<__m128i*>(tap[k]), _mm_add_epi32(_mm_slli_epi32(t, 3), _mm_slli_epi32(t, 2)));
      }
      _mm_store_si128(reinterpret_cast<__m128i*>(wrow), _mm_or_si128(_mm_slli_epi32(_mm_and_si128(qy, f31), 5), _mm_and_si128(qx, f31)));
      // The 12 samples of each pixel, ((a w0 + b w1) + c w2) + d w3, four channels to a register.
      __m128 s[3][4];
      for (int j = 0; j < 4; ++j) {
        const __m128 w = _mm_load_ps(detail::LINEAR_WEIGHTS[wrow[j]].w);
        const __m128 w0 = _mm_shuffle_ps(w, w, 0x00), w1 = _mm_shuffle_ps(w, w, 0x55);
        const __m128 w2 = _mm_shuffle_ps(w, w, 0xaa), w3 = _mm_shuffle_ps(w, w, 0xff);
        const float *a = tex + tap[0][j], *b = tex + tap[1][j], *c = tex + tap[2][j], *d = tex + tap[3][j];
        for (int k = 0; k < 3; ++k) {
          __m128 v = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(a + 4 * k), w0), _mm_mul_ps(_mm_loadu_ps(b + 4 * k), w1));
          v = _mm_add_ps(v, _mm_mul_ps(_mm_loadu_ps(c + 4 * k), w2));
          s[k][j] = _mm_add_ps(v, _mm_mul_ps(_mm_loadu_ps(d + 4 * k), w3));
        }
      }
      _MM_TRANSPOSE4_PS(s[0][0], s[0][1], s[0][2], s[0][3]);
      _MM_TRANSPOSE4_PS(s[1][0], s[1][1], s[1][2], s[1][3]);
      _MM_TRANSPOSE4_PS(s[2][0], s[2][1], s[2][2], s[2][3]);
      const __m128 ax = corr_weight4(xs), ay = corr_weight4(ys);
      const __m128 axy = _mm_mul_ps(ax, ay);
      // Channel k of the stack is s[k / 4][k % 4]: p = 0-2, dx = 3-5, dy = 6-8, dxy = 9-11.
      const __m128 pv[3] = {s[0][0], s[0][1], s[0][2]}, dx[3] = {s[0][3], s[1][0], s[1][1]};
      const __m128 dy[3] = {s[1][2], s[1][3], s[2][0]}, dxy[3] = {s[2][1], s[2][2], s[2][3]};
      for (int c = 0; c < 3; ++c) {
        __m128 v = _mm_sub_ps(pv[c], _mm_mul_ps(ax, dx[c]));
        v = _mm_sub_ps(v, _mm_mul_ps(ay, dy[c]));
        _mm_storeu_ps(out + c * PIXELS + at + x, _mm_add_ps(v, _mm_mul_ps(axy, dxy[c])));
      }
    }
  }
}

__attribute__((target("avx2"))) void warp_avx2(const float* tex, int H, int W, const float* g, int r0, int r1, float* out) {
  warp_kernel(tex, H, W, g, r0, r1, out);
}
#endif

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

PlaneWarp::PlaneWarp(const NdArray& planes, Simd simd) : simd_(usable_simd(simd, Simd::Avx2, "the plane warp")) {
  if (planes.dtype() != DType::Float32 || planes.rank() != 4 || planes.dim(0) < 1 || planes.dim(1) != CH ||
      planes.dim(2) < 1 || planes.dim(3) < 1)
    throw std::invalid_argument("plane texture must be float32 (N, 12, H, W) with N, H, W >= 1, not " +
                                std::string(dtype_name(planes.dtype())) + " " + shape_text(planes));
  H_ = planes.dim(2);
  W_ = planes.dim(3);
  if (H_ > 32767 || W_ > 32767 || H_ * W_ * CH > INT32_MAX)
    throw std::invalid_argument("plane texture " + shape_text(planes) + " is too large to sample");
  hwc_ = NdArray::uninitialized(DType::Float32, {H_, W_, CH});
  const float* p = planes.data<float>();
  float* h = hwc_.data<float>();
  const std::int64_t plane = H_ * W_;
  for (std::int64_t i = 0; i < plane; ++i)
    for (int c = 0; c < CH; ++c) h[i * CH + c] = p[c * plane + i];
}

void PlaneWarp::warp(const float* g512, float* out) const { warp_rows(g512, 0, FRAME, out); }

void PlaneWarp::warp_rows(const float* g, int r0, int r1, float* out) const {
  const float* tex = hwc_.data<float>();
  const int H = static_cast<int>(H_), W = static_cast<int>(W_);
#if VELMORA_WARP_SSE2
  (simd_ == Simd::Baseline ? warp_baseline : warp_avx2)(tex, H, W, g, r0, r1, out);
#else
  for (int y = r0; y < r1; ++y, g += 2 * FRAME) {
    const std::int64_t at = std::int64_t{y} * FRAME;
    for (int x = 0; x < FRAME; ++x) {
      const float xs = pixel_of(g[2 * x]), ys = pixel_of(g[2 * x + 1]);
      float s[CH];
      detail::sample_replicate<CH>(tex, H, W, detail::remap_fixed(xs), detail::remap_fixed(ys), s);
      const float ax = corr_weight(xs), ay = corr_weight(ys);
      const float axy = ax * ay;
      for (int c = 0; c < 3; ++c) {
        float v = s[c] - ax * s[3 + c];
        v = v - ay * s[6 + c];
        out[c * PIXELS + at + x] = v + axy * s[9 + c];
      }
    }
  }
#endif
}

namespace {

// Marks in `cols` the columns and returns in [ra, rb) the rows of the frame pixels whose grid values (x, y)
// satisfy in4 (four interleaved pairs at a time, a lane mask) or in1 (one pair).
template <class In4, class In1>
void scan_inside(const float* gm, bool* cols, int& ra, int& rb, [[maybe_unused]] In4 in4, [[maybe_unused]] In1 in1) {
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
#else
    for (; x < FRAME; ++x) {
      const bool in = in1(row[2 * x], row[2 * x + 1]);
      cols[x] = cols[x] || in;
      any = any || in;
    }
#endif
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

Compositor::Compositor(Simd simd) : simd_(usable_simd(simd, Simd::Avx2, "compositing")) {}

Box Compositor::place(const float* gm, const Region& roi, int h, int w) {
  // The bounds PatchSet sets: tap positions fit 16 bits, and interleaved texels' float offsets 32 bits.
  if (h < 1 || w < 1 || h > 32767 || w > 32767 || std::int64_t{h} * w * 4 > INT32_MAX)
    throw std::invalid_argument("cannot place a patch of " + std::to_string(h) + " x " + std::to_string(w) + " pixels");
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
  std::int32_t* qx = qx_.resize(static_cast<std::size_t>(n)).data();
  std::int32_t* qy = qy_.resize(static_cast<std::size_t>(n)).data();
  for (int y = ra; y < rb; ++y) {
    const float* row = gm + std::int64_t{y} * FRAME * 2;
    std::int32_t* xr = qx + (y - ra) * bw - ca;
    std::int32_t* yr = qy + (y - ra) * bw - ca;
    int x = ca;
#if VELMORA_WARP_SSE2
    for (; x + 4 <= cb; x += 4) {
      __m128 gx, gy;
      split_xy(row + 2 * x, gx, gy);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(xr + x), fixed4(patch_coord4(gx, ax4)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(yr + x), fixed4(patch_coord4(gy, ay4)));
    }
#endif
    for (; x < cb; ++x) {
      xr[x] = detail::remap_fixed(patch_coord(row[2 * x], ax));
      yr[x] = detail::remap_fixed(patch_coord(row[2 * x + 1], ay));
    }
  }
  return box_;
}

namespace {

// Blends pixel x of box row `op` (see Compositor::blend), sampling at the quantised point (qx, qy): the colour
// of `rgb` (h x w texels RS floats apart) and the mask `mask` (mh x mw texels MS floats apart).
template <int RS, int MS>
inline void blend_pixel(float* op, int x, std::int32_t qx, std::int32_t qy, const float* rgb, int h, int w, const float* mask,
                        int mh, int mw) {
  float m, wv[3];
  detail::sample_zero<1, MS>(mask, mh, mw, qx, qy, &m);
  detail::sample_replicate<3, RS>(rgb, h, w, qx, qy, wv);
  const float t2 = 1.0f - m;
  for (int c = 0; c < 3; ++c) {
    const float t1 = m * wv[c];
    const float t3 = t2 * op[c * PIXELS + x];
    op[c * PIXELS + x] = t1 + t3;
  }
}

#if VELMORA_WARP_SSE2
// For each validity code of a point's four taps (bit k: tap k lies inside the mask), per tap: all bits for the
// colour lanes, and for the mask lane all bits or none, so that a tap outside the mask counts 0.
struct alignas(16) LaneMasks {
  std::uint32_t m[16][4][4];
};
constexpr LaneMasks make_lane_masks() {
  LaneMasks t{};
  for (int code = 0; code < 16; ++code)
    for (int k = 0; k < 4; ++k) {
      t.m[code][k][0] = t.m[code][k][1] = t.m[code][k][2] = 0xffffffffu;
      t.m[code][k][3] = (code >> k) & 1 ? 0xffffffffu : 0u;
    }
  return t;
}
alignas(16) constexpr LaneMasks LANE_MASKS = make_lane_masks();

// R, G, B and mask of one point of an interleaved patch: ((t00 w0 + t01 w1) + t10 w2) + t11 w3 per lane, the
// colour with replicated edges and the mask with taps outside it 0. `at`: the four taps' float offsets.
[[gnu::always_inline]] inline __m128 rgbm_point(const float* rgbm, const std::int32_t (&at)[4], std::int32_t wrow, int code) {
  const __m128 w = _mm_load_ps(detail::LINEAR_WEIGHTS[wrow].w);
  const auto tap = [&](int k) {
    return _mm_and_ps(_mm_loadu_ps(rgbm + at[k]), _mm_load_ps(reinterpret_cast<const float*>(LANE_MASKS.m[code][k])));
  };
  __m128 v = _mm_add_ps(_mm_mul_ps(tap(0), _mm_shuffle_ps(w, w, 0x00)), _mm_mul_ps(tap(1), _mm_shuffle_ps(w, w, 0x55)));
  v = _mm_add_ps(v, _mm_mul_ps(tap(2), _mm_shuffle_ps(w, w, 0xaa)));
  return _mm_add_ps(v, _mm_mul_ps(tap(3), _mm_shuffle_ps(w, w, 0xff)));
}

// o = m wv + (1 - m) o for four pixels from op on, each channel a plane apart.
[[gnu::always_inline]] inline void blend4(float* op, __m128 r, __m128 g, __m128 b, __m128 m) {
  const __m128 t2 = _mm_sub_ps(_mm_set1_ps(1.0f), m);
  const __m128 c[3] = {r, g, b};
  for (int k = 0; k < 3; ++k) {
    float* p = op + k * PIXELS;
    _mm_storeu_ps(p, _mm_add_ps(_mm_mul_ps(m, c[k]), _mm_mul_ps(t2, _mm_loadu_ps(p))));
  }
}

// Compositor::blend_rgbm's loop, four pixels at a time; compiled for the baseline and for AVX2 (whose
// three-operand forms it gains from), with the same operations per lane.
[[gnu::always_inline]] inline void blend_rgbm_kernel(float* o, const Box& box, const std::int32_t* qx, const std::int32_t* qy,
                                                     const float* rgbm, int h, int w) {
  const int bw = box.width();
  const __m128i f31 = _mm_set1_epi32(31), one = _mm_set1_epi32(1), none = _mm_set1_epi32(-1);
  const __m128i wv = _mm_set1_epi32(w), hv = _mm_set1_epi32(h), wmax = _mm_set1_epi32(w - 1), hmax = _mm_set1_epi32(h - 1);
  const __m128i row = _mm_set1_epi32(static_cast<std::int32_t>((static_cast<std::uint32_t>(w) << 16) | 1u));
  // min(max(v, 0), hi) without SSE4.1.
  const auto clamp = [](__m128i v, __m128i hi) {
    v = _mm_and_si128(v, _mm_cmpgt_epi32(v, _mm_setzero_si128()));
    return _mm_xor_si128(hi, _mm_and_si128(_mm_xor_si128(v, hi), _mm_cmpgt_epi32(hi, v)));
  };
  const auto inside = [&](__m128i v, __m128i n) { return _mm_and_si128(_mm_cmpgt_epi32(v, none), _mm_cmpgt_epi32(n, v)); };
  for (int y = 0; y < box.height(); ++y) {
    float* op = o + std::int64_t{box.ra + y} * FRAME + box.ca;
    const std::int32_t* rx = qx + std::int64_t{y} * bw;
    const std::int32_t* ry = qy + std::int64_t{y} * bw;
    int x = 0;
    for (; x + 4 <= bw; x += 4) {
      const __m128i QX = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rx + x));
      const __m128i QY = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ry + x));
      const __m128i SX = _mm_srai_epi32(QX, 5), SY = _mm_srai_epi32(QY, 5);
      const __m128i SX1 = _mm_add_epi32(SX, one), SY1 = _mm_add_epi32(SY, one);
      // Texels as x + y w through 16-bit products (clamped coordinates stay below 32768), then 4 floats each.
      const __m128i X0 = clamp(SX, wmax), X1 = clamp(SX1, wmax), Y0 = clamp(SY, hmax), Y1 = clamp(SY1, hmax);
      const __m128i Y0s = _mm_slli_epi32(Y0, 16), Y1s = _mm_slli_epi32(Y1, 16);
      alignas(16) std::int32_t at[4][4], wrow[4], code[4];
      const __m128i texel[4] = {_mm_or_si128(X0, Y0s), _mm_or_si128(X1, Y0s), _mm_or_si128(X0, Y1s), _mm_or_si128(X1, Y1s)};
      for (int k = 0; k < 4; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(at[k]), _mm_slli_epi32(_mm_madd_epi16(texel[k], row), 2));
      _mm_store_si128(reinterpret_cast<__m128i*>(wrow),
                      _mm_or_si128(_mm_slli_epi32(_mm_and_si128(QY, f31), 5), _mm_and_si128(QX, f31)));
      const __m128i IX0 = inside(SX, wv), IX1 = inside(SX1, wv), IY0 = inside(SY, hv), IY1 = inside(SY1, hv);
      const __m128i bits = _mm_or_si128(
          _mm_or_si128(_mm_and_si128(_mm_and_si128(IY0, IX0), one), _mm_and_si128(_mm_and_si128(IY0, IX1), _mm_set1_epi32(2))),
          _mm_or_si128(_mm_and_si128(_mm_and_si128(IY1, IX0), _mm_set1_epi32(4)), _mm_and_si128(_mm_and_si128(IY1, IX1), _mm_set1_epi32(8))));
      _mm_store_si128(reinterpret_cast<__m128i*>(code), bits);
      __m128 p[4];
      for (int j = 0; j < 4; ++j) {
        const std::int32_t a[4] = {at[0][j], at[1][j], at[2][j], at[3][j]};
        p[j] = rgbm_point(rgbm, a, wrow[j], code[j]);
      }
      _MM_TRANSPOSE4_PS(p[0], p[1], p[2], p[3]);  // now R, G, B, mask of the four pixels
      blend4(op + x, p[0], p[1], p[2], p[3]);
    }
    for (; x < bw; ++x) blend_pixel<4, 4>(op, x, rx[x], ry[x], rgbm, h, w, rgbm + 3, h, w);
  }
}

void blend_rgbm_baseline(float* o, const Box& box, const std::int32_t* qx, const std::int32_t* qy, const float* rgbm, int h, int w) {
  blend_rgbm_kernel(o, box, qx, qy, rgbm, h, w);
}

__attribute__((target("avx2"))) void blend_rgbm_avx2(float* o, const Box& box, const std::int32_t* qx, const std::int32_t* qy,
                                                     const float* rgbm, int h, int w) {
  blend_rgbm_kernel(o, box, qx, qy, rgbm, h, w);
}
#endif

}  // namespace

void Compositor::blend(float* o, const float* rgb_hwc, const float* mask, int mh, int mw) const {
  if (box_.empty()) return;
  if (std::int64_t{mh} * mw > INT32_MAX) throw std::invalid_argument("mask too large to sample");
  const std::int32_t* qx = qx_.span().data();
  const std::int32_t* qy = qy_.span().data();
  const int bw = box_.width();
  for (int y = 0; y < box_.height(); ++y) {
    float* op = o + std::int64_t{box_.ra + y} * FRAME + box_.ca;
    const std::int64_t i0 = std::int64_t{y} * bw;
    for (int x = 0; x < bw; ++x) blend_pixel<3, 1>(op, x, qx[i0 + x], qy[i0 + x], rgb_hwc, h_, w_, mask, mh, mw);
  }
}

void Compositor::blend_rgbm(float* o, const float* rgbm) const {
  if (box_.empty()) return;
  const std::int32_t* qx = qx_.span().data();
  const std::int32_t* qy = qy_.span().data();
#if VELMORA_WARP_SSE2
  (simd_ == Simd::Baseline ? blend_rgbm_baseline : blend_rgbm_avx2)(o, box_, qx, qy, rgbm, h_, w_);  // place() bounds h_, w_
#else
  const int bw = box_.width();
  for (int y = 0; y < box_.height(); ++y) {
    float* op = o + std::int64_t{box_.ra + y} * FRAME + box_.ca;
    const std::int64_t i0 = std::int64_t{y} * bw;
    for (int x = 0; x < bw; ++x) blend_pixel<4, 4>(op, x, qx[i0 + x], qy[i0 + x], rgbm, h_, w_, rgbm + 3, h_, w_);
  }
#endif
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
  const PatchSet patch(rgb.reshaped(rgb.shape().prepend(1)), mask.reshaped(mask.shape().prepend(1)));
  Compositor comp;
  comp.place(gm.data<float>(), roi, patch.height(), patch.width());
  patch.blend(comp, o.data<float>(), 0);
}

PatchSet::PatchSet(const NdArray& rgb, const NdArray& mask) {
  if (rgb.dtype() != DType::Float32 || rgb.rank() != 4 || rgb.dim(1) != 3 || rgb.dim(2) < 1 || rgb.dim(3) < 1)
    throw std::invalid_argument("patches must be float32 (entries, 3, h, w), not " + shape_text(rgb));
  if (mask.dtype() != DType::Float32 || mask.rank() != 4 || mask.dim(1) < 1 || mask.dim(2) < 1 || mask.dim(3) < 1)
    throw std::invalid_argument("masks must be float32 (entries, channels, h, w), not " + shape_text(mask));
  const std::int64_t E = std::min(rgb.dim(0), mask.dim(0)), hw = rgb.dim(2) * rgb.dim(3);
  if (rgb.dim(2) > 32767 || rgb.dim(3) > 32767 || hw * 4 > INT32_MAX || mask.dim(2) * mask.dim(3) > INT32_MAX)
    throw std::invalid_argument("patches " + shape_text(rgb) + " with masks " + shape_text(mask) + " are too large to sample");
  h_ = static_cast<int>(rgb.dim(2));
  w_ = static_cast<int>(rgb.dim(3));
  const float* c = rgb.data<float>();
  if (mask.dim(2) == rgb.dim(2) && mask.dim(3) == rgb.dim(3)) {
    texels_ = NdArray::uninitialized(DType::Float32, {E, h_, w_, 4});
    float* d = texels_.data<float>();
    for (std::int64_t e = 0; e < E; ++e) {
      const float* m = mask.data<float>() + e * mask.dim(1) * hw;
      for (std::int64_t i = 0; i < hw; ++i, d += 4) {
        for (int k = 0; k < 3; ++k) d[k] = c[(e * 3 + k) * hw + i];
        d[3] = m[i];
      }
    }
    return;
  }
  texels_ = NdArray::uninitialized(DType::Float32, {E, h_, w_, 3});
  float* d = texels_.data<float>();
  for (std::int64_t e = 0; e < E; ++e)
    for (std::int64_t i = 0; i < hw; ++i, d += 3)
      for (int k = 0; k < 3; ++k) d[k] = c[(e * 3 + k) * hw + i];
  mask_ = mask;
}

void PatchSet::blend(const Compositor& comp, float* o, std::int64_t e) const {
  if (e < 0 || e >= entries())
    throw std::out_of_range("index " + std::to_string(e) + " is out of bounds for axis 0 with size " + std::to_string(entries()));
  const std::int64_t texel = std::int64_t{h_} * w_;
  if (texels_.dim(3) == 4) {
    comp.blend_rgbm(o, texels_.data<float>() + e * texel * 4);
    return;
  }
  const int mh = static_cast<int>(mask_.dim(2)), mw = static_cast<int>(mask_.dim(3));
  comp.blend(o, texels_.data<float>() + e * texel * 3, mask_.data<float>() + e * mask_.dim(1) * mh * mw, mh, mw);
}

#if VELMORA_WARP_SSE2
namespace {

// The bytes of channel c of 16 pixels from i on: clip to [-1, 1], add 1, times 127.5, round half to even.
[[gnu::always_inline]] inline __m128i bytes16(const float* o, std::int64_t i) {
  const __m128 lo = _mm_set1_ps(-1.0f), hi = _mm_set1_ps(1.0f), scale = _mm_set1_ps(127.5f);
  __m128i q[4];
  for (int k = 0; k < 4; ++k) {
    // max returns its second operand for NaN, so NaN becomes -1 and then 0.
    const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(o + i + 4 * k), lo), hi);
    q[k] = _mm_cvtps_epi32(_mm_mul_ps(_mm_add_ps(v, hi), scale));  // rounds half to even
  }
  return _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
}

void to_rgb8_baseline(const float* o, std::uint8_t* out) {
  alignas(16) std::uint8_t bytes[3][16];
  for (std::int64_t i = 0; i < PIXELS; i += 16) {
    for (int c = 0; c < 3; ++c) _mm_store_si128(reinterpret_cast<__m128i*>(bytes[c]), bytes16(o + c * PIXELS, i));
    std::uint8_t* d = out + i * 3;
    for (int j = 0; j < 16; ++j) {
      d[3 * j] = bytes[0][j];
      d[3 * j + 1] = bytes[1][j];
      d[3 * j + 2] = bytes[2][j];
    }
  }
}

// The same with the interleaving done by byte shuffles.
__attribute__((target("avx2"))) void to_rgb8_avx2(const float* o, std::uint8_t* out) {
  // For each 16 output bytes and each channel: which of the channel's 16 bytes goes where (-1: none).
  alignas(16) static constexpr std::int8_t pick[3][3][16] = {
      {{0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5},
       {-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1},
       {-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1}},
      {{-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1},
       {5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10},
       {-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1}},
      {{-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1},
       {-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1},
       {10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15}}};
  __m128i m[3][3];
  for (int p = 0; p < 3; ++p)
    for (int c = 0; c < 3; ++c) m[p][c] = _mm_load_si128(reinterpret_cast<const __m128i*>(pick[p][c]));
  for (std::int64_t i = 0; i < PIXELS; i += 16) {
    const __m128i r = bytes16(o, i), g = bytes16(o + PIXELS, i), b = bytes16(o + 2 * PIXELS, i);
    for (int p = 0; p < 3; ++p) {
      const __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, m[p][0]), _mm_shuffle_epi8(g, m[p][1])),
                                     _mm_shuffle_epi8(b, m[p][2]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * 3 + 16 * p), v);
    }
  }
}

}  // namespace
#endif

void to_rgb8(const float* o, std::uint8_t* out, Simd simd) {
  simd = usable_simd(simd, Simd::Avx2, "the 8-bit conversion");
#if VELMORA_WARP_SSE2
  (simd == Simd::Baseline ? to_rgb8_baseline : to_rgb8_avx2)(o, out);
#else
  for (std::int64_t i = 0; i < PIXELS; ++i)
    for (int c = 0; c < 3; ++c) out[i * 3 + c] = rgb8(o[c * PIXELS + i]);
#endif
}

}  // namespace velmora::v2u
