#include "mirel2/ostrand/wsola.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {

namespace {

constexpr std::int64_t OV = SR_WSOLA_OVERLAP;            // crossfade length
constexpr std::int64_t HOP = SR_WSOLA_SEGMENT - OV;      // output samples per block
constexpr std::int64_t HALF = (SR_WSOLA_SEARCH - 1) / 2;  // search radius
constexpr std::int64_t PAD = HALF + SR_WSOLA_SEGMENT + 1;  // zero margin on each side of the input copy

// The copy ends in SLACK extra zeros past its right margin, which the unused lanes of the last candidate group
// read.
constexpr std::int64_t SLACK = 64;

inline float to_buf(double x) {
  if (std::isnan(x)) return 0.0f;
  // Clipping before truncating gives the same whole number (the bounds are whole), and keeps it in int32.
  const double t = std::min(std::max(x * 2147483648.0, -2147483648.0), 2147483647.0);
  const std::int64_t v = static_cast<std::int32_t>(t);
  return static_cast<float>((v + 64) >> 7);  // floor((v + 64) / 128): the shift rounds toward -inf
}

inline float from_buf(float y) {
  double s = static_cast<double>(y) + 0.5;
  if (std::isnan(s)) return 0.0f;
  // Past these whole-number bounds the result clips to full scale anyway; they keep the floor in int32.
  s = std::min(std::max(s, -16777217.0), 16777216.0);
  std::int64_t q = static_cast<std::int32_t>(s);
  if (static_cast<double>(q) > s) --q;
  const std::int64_t v = std::min<std::int64_t>(std::max<std::int64_t>(q * 128, -2147483648LL), 2147483647LL);
  return static_cast<float>(static_cast<double>(v) / 2147483648.0);
}

// cnt samples of the input `buf` (n samples) from position a, zero wherever a position is outside [0, n).
void take(const double* buf, std::int64_t n, std::int64_t a, std::int64_t cnt, float* dst) {
  const std::int64_t i0 = std::clamp<std::int64_t>(-a, 0, cnt);
  const std::int64_t i1 = std::clamp<std::int64_t>(n - a, i0, cnt);
  std::fill(dst, dst + i0, 0.0f);
  for (std::int64_t i = i0; i < i1; ++i) dst[i] = static_cast<float>(buf[a + i]);
  std::fill(dst + i1, dst + cnt, 0.0f);
}

// The hot loops, written once with GCC's generic vectors of W float64 lanes, W the width of the registers:
// 2 for the baseline (SSE2), 4 with AVX2 and 8 with AVX-512. Each lane of the candidate search does the same
// float64 operations in the same order in every form. The conversions work in float32 and int32 lanes by
// steps of their own, each exact for every float32 value, so they give the scalar form's bits.
template <int W>
struct Lanes;
template <>
struct Lanes<2> {
  typedef double D __attribute__((vector_size(16)));
  typedef float F __attribute__((vector_size(8)));
  typedef std::int32_t I __attribute__((vector_size(8)));
};
template <>
struct Lanes<4> {
  typedef double D __attribute__((vector_size(32)));
  typedef float F __attribute__((vector_size(16)));
  typedef std::int32_t I __attribute__((vector_size(16)));
};
template <>
struct Lanes<8> {
  typedef double D __attribute__((vector_size(64)));
  typedef float F __attribute__((vector_size(32)));
  typedef std::int32_t I __attribute__((vector_size(32)));
};

// Every lane of v set to x.
template <class V, class T, std::size_t... L>
[[gnu::always_inline]] inline void splat(V& v, T x, std::index_sequence<L...>) {
  V one = {x};
  v = __builtin_shufflevector(one, one, ((void)L, 0)...);
}

// Runs lanes(i, v), v = src[i .. i + W - 1], for i = 0, W, 2 W, ... while W values are left, then one(i) for
// each value after them; for the baseline, whose lanes would be too few to pay, one(i) for every value.
template <int W, class ByLanes, class One>
[[gnu::always_inline]] inline void by_lanes(const float* src, std::int64_t n, ByLanes lanes, One one) {
  std::int64_t i = 0;
  if constexpr (W > 2)
    for (; i + W <= n; i += W) {
      typename Lanes<W>::F v;
      load_vector(v, src + i);
      lanes(i, v);
    }
  for (; i < n; ++i) one(i);
}

// to_buf of x[0 .. n-1] into out. In float32 and int32: x 2^31 is exact in float32 (or infinite where float64
// would clip anyway), its truncation v is exact below 2^31, and floor((v + 64) / 128) = (v >> 7) +
// (((v & 127) + 64) >> 7) without overflow.
template <int W>
[[gnu::always_inline]] inline void to_buf_lanes(const float* x, std::int64_t n, double* out) {
  using L = Lanes<W>;
  const auto lanes = [&](std::int64_t i, const typename L::F& xv) __attribute__((always_inline)) {
    typename L::F t = xv * 2147483648.0f;
    const typename L::I top = t >= 2147483648.0f;  // at or past the clip: the largest code, set below
    t = t != t || top ? 0.0f : t;                  // NaN reads as 0; the conversion stays in range
    t = t < -2147483648.0f ? -2147483648.0f : t;
    const typename L::I v = __builtin_convertvector(t, typename L::I);
    const typename L::D d = __builtin_convertvector(top ? 16777216 : (v >> 7) + (((v & 127) + 64) >> 7), typename L::D);
    store_vector(out + i, d);
  };
  by_lanes<W>(x, n, lanes, [&](std::int64_t i) { out[i] = to_buf(x[i]); });
}

// from_buf of y[0 .. n-1] in place, in float32 and int32. The add of floor(y + 0.5) is not exact in float32
// (0.5 - 2^-25 plus 0.5 rounds up to 1, a code too high), so the floor is taken without it: with t = trunc(y)
// and f = y - t, floor(y + 0.5) is t + 1 where f >= 0.5, t - 1 where f < -0.5, else t. f is exact, as t is 0
// or within a factor of 2 of y, and 0 once y is whole (from 2^23 on). Clipping y to [-2^24, 2^24] first
// keeps t in int32 and changes no result (beyond it the result is full scale anyway); the floor q then comes
// back as q 2^-24, exact, as the clip of q 128 to int32 gives after rounding to float32.
template <int W>
[[gnu::always_inline]] inline void from_buf_lanes(float* y, std::int64_t n) {
  using F = typename Lanes<W>::F;
  using I = typename Lanes<W>::I;
  const auto lanes = [&](std::int64_t i, const F& yv) __attribute__((always_inline)) {
    F s = yv != yv ? 0.0f : yv;  // NaN gives 0
    s = s < -16777216.0f ? -16777216.0f : s;
    s = s > 16777216.0f ? 16777216.0f : s;
    const I t = __builtin_convertvector(s, I);
    const F f = s - __builtin_convertvector(t, F);
    const I q = t - (f >= 0.5f) + (f < -0.5f);  // a true comparison is -1
    store_vector(y + i, __builtin_convertvector(q, F) * 0x1p-24f);
  };
  by_lanes<W>(y, n, lanes, [&](std::int64_t i) { y[i] = from_buf(y[i]); });
}

// Index of the candidate window (rows[j] to rows[j + OV - 1], j = 0 to SR_WSOLA_SEARCH - 1) whose squared
// difference from ref is smallest; the first one on a tie. Candidates are scored W K at a time, one
// accumulator lane each, so the sums run side by side while each still adds its squared differences one
// after another from the first sample to the last, as the reference does: only that order gives the same
// float64 sums for loud audio.
//
// A running sum never decreases (its terms are squares, and rounding is monotone), so a group whose every sum
// already exceeds the best error found so far cannot hold the answer and is left. To find a small error
// early, every group first sums its first samples, and the group holding the smallest of those sums is
// finished first; the others follow in order. Ties go to the lower index whatever the order.
template <int W, int K>
[[gnu::always_inline]] inline std::int64_t best_candidate(const double* rows, const double* ref) {
  using D = typename Lanes<W>::D;
  constexpr std::int64_t GROUP = W * K;
  constexpr int GROUPS = (SR_WSOLA_SEARCH + GROUP - 1) / GROUP;
  constexpr std::int64_t FIRST = 32;  // samples summed by every group before any is finished
  constexpr std::int64_t CHECK = 32;  // samples between two looks at a group's sums
  static_assert(GROUPS * GROUP - SR_WSOLA_SEARCH <= SLACK && OV % CHECK == 0 && FIRST % CHECK == 0);
  // Adds samples i0 .. i1-1 to the sums of the group starting at candidate g.
  const auto add = [&](std::int64_t g, std::int64_t i0, std::int64_t i1, D (&sums)[K]) __attribute__((always_inline)) {
    D acc[K];
    for (int k = 0; k < K; ++k) acc[k] = sums[k];  // in registers while they run
    for (std::int64_t i = i0; i < i1; ++i) {
      D r;
      splat(r, ref[i], std::make_index_sequence<W>());
      for (int k = 0; k < K; ++k) {
        D c;
        load_vector(c, rows + g + i + W * k);
        const D d = c - r;
        acc[k] += d * d;
      }
    }
    for (int k = 0; k < K; ++k) sums[k] = acc[k];
  };
  const auto lanes = [&](std::int64_t g) { return std::min<std::int64_t>(GROUP, SR_WSOLA_SEARCH - g); };
  D sums[GROUPS][K];
  int first = 0;
  double first_min = std::numeric_limits<double>::infinity();
  for (int gi = 0; gi < GROUPS; ++gi) {
    for (int k = 0; k < K; ++k) sums[gi][k] = D{};
    add(gi * GROUP, 0, FIRST, sums[gi]);
    for (std::int64_t l = 0; l < lanes(gi * GROUP); ++l)
      if (sums[gi][l / W][l % W] < first_min) first_min = sums[gi][l / W][l % W], first = gi;
  }
  double best_err = std::numeric_limits<double>::infinity();
  std::int64_t best = 0;
  for (int step = 0; step < GROUPS; ++step) {
    const int gi = step == 0 ? first : (step <= first ? step - 1 : step);
    const std::int64_t g = gi * GROUP, n = lanes(g);
    bool beaten = false;
    for (std::int64_t i = FIRST; i < OV && !beaten; i += CHECK) {
      beaten = true;
      for (std::int64_t l = 0; l < n && beaten; ++l) beaten = sums[gi][l / W][l % W] > best_err;
      if (!beaten) add(g, i, i + CHECK, sums[gi]);
    }
    if (beaten) continue;
    for (std::int64_t l = 0; l < n; ++l) {
      const double err = sums[gi][l / W][l % W];
      if (err < best_err || (err == best_err && g + l < best)) {
        best_err = err;
        best = g + l;
      }
    }
  }
  return best;
}

// The stretch itself, for one instruction set: vectors of W lanes, K of them per candidate group.
template <int W, int K>
[[gnu::always_inline]] inline void tempo_kernel(std::span<const float> x, std::span<float> out, double factor,
                                               ReusableBuffer<double>& ext_buffer, std::vector<std::int64_t>& positions) {
  const auto out_len = static_cast<std::int64_t>(out.size());
  const auto n = static_cast<std::int64_t>(x.size());
  const double step = factor * static_cast<double>(HOP);

  const std::span<double> ext = ext_buffer.resize(static_cast<std::size_t>(n + 2 * PAD + SLACK));
  std::fill(ext.begin(), ext.begin() + PAD, 0.0);
  to_buf_lanes<W>(x.data(), n, ext.data() + PAD);
  std::fill(ext.begin() + PAD + n, ext.end(), 0.0);
  const double* buf = ext.data() + PAD;
  positions.clear();

  float w_in[OV];
  float w_out[OV];
  const float inc = 1.0f / static_cast<float>(OV);
  for (std::int64_t i = 0; i < OV; ++i) {
    w_in[i] = static_cast<float>(i) * inc;
    w_out[i] = 1.0f - w_in[i];
  }

  float ref[OV];
  double ref64[OV];
  float seg[OV];
  std::int64_t prev = 0;
  for (std::int64_t k = 0; k * HOP < out_len; ++k) {
    const std::int64_t o0 = k * HOP;
    const std::int64_t cnt = std::min(HOP, out_len - o0);
    float* dst = out.data() + o0;
    if (k == 0) {
      take(buf, n, 0, cnt, dst);
      positions.push_back(0);
      continue;
    }
    // The samples that continue the previous block's source without a seam, and the input window near the
    // nominal position that resembles them most.
    take(buf, n, prev + HOP, OV, ref);
    for (std::int64_t i = 0; i < OV; ++i) ref64[i] = ref[i];
    const auto nom = static_cast<std::int64_t>(std::floor(static_cast<double>(k) * step + 0.5));
    const std::int64_t row0 = PAD + nom - HALF;
    if (row0 < 0 || row0 + SR_WSOLA_SEARCH + SLACK + OV - 1 > static_cast<std::int64_t>(ext.size())) {
      throw std::logic_error("tempo search outside its margins");  // a positive factor never gets here
    }
    const std::int64_t best = nom - HALF + best_candidate<W, K>(ext.data() + row0, ref64);
    take(buf, n, best, OV, seg);
    const std::int64_t fade = std::min(OV, cnt);
    for (std::int64_t i = 0; i < fade; ++i) dst[i] = ref[i] * w_out[i] + seg[i] * w_in[i];
    if (cnt > OV) take(buf, n, best + OV, cnt - OV, dst + OV);
    positions.push_back(best);
    prev = best;
  }
  from_buf_lanes<W>(out.data(), out_len);
}

// The stretch for each instruction set, with the candidate groups that fill its registers.
void tempo_baseline(std::span<const float> x, std::span<float> out, double factor, ReusableBuffer<double>& ext,
                    std::vector<std::int64_t>& positions) {
  tempo_kernel<2, 8>(x, out, factor, ext, positions);  // 16 candidates a group: 8 registers
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void tempo_avx2(std::span<const float> x, std::span<float> out, double factor,
                                                ReusableBuffer<double>& ext, std::vector<std::int64_t>& positions) {
  tempo_kernel<4, 12>(x, out, factor, ext, positions);  // 48 candidates a group: 12 registers
}
__attribute__((target("avx512f"))) void tempo_avx512(std::span<const float> x, std::span<float> out, double factor,
                                                     ReusableBuffer<double>& ext, std::vector<std::int64_t>& positions) {
  tempo_kernel<8, 6>(x, out, factor, ext, positions);  // 48 candidates a group: 6 registers
}
#endif

// to_buf of x into to (when x is given), else from_buf of y in place.
template <int W>
[[gnu::always_inline]] inline void convert(const float* x, double* to, float* y, std::int64_t n) {
  if (x)
    to_buf_lanes<W>(x, n, to);
  else
    from_buf_lanes<W>(y, n);
}
void convert_baseline(const float* x, double* to, float* y, std::int64_t n) { convert<2>(x, to, y, n); }
#if defined(__x86_64__)
__attribute__((target("avx2"))) void convert_avx2(const float* x, double* to, float* y, std::int64_t n) {
  convert<4>(x, to, y, n);
}
__attribute__((target("avx512f"))) void convert_avx512(const float* x, double* to, float* y, std::int64_t n) {
  convert<8>(x, to, y, n);
}
#endif

void convert_with(Simd simd, const float* x, double* to, float* y, std::int64_t n) {
  simd = usable_simd(simd, Simd::Avx512, "the tempo stretch");
#if defined(__x86_64__)
  if (simd == Simd::Avx512) return convert_avx512(x, to, y, n);
  if (simd == Simd::Avx2) return convert_avx2(x, to, y, n);
#endif
  convert_baseline(x, to, y, n);
}

}  // namespace

WsolaScratch::WsolaScratch(Simd simd) : simd_(usable_simd(simd, Simd::Avx512, "the tempo stretch")) {}

std::size_t tempo_output_length(std::size_t n, double factor) {
  if (factor == 0.0) throw std::invalid_argument("float division by zero");
  if (std::isnan(factor)) throw std::invalid_argument("cannot convert float NaN to integer");
  const double v = std::floor(static_cast<double>(n) / factor + 0.5);
  if (!(v > 0.0)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float))) {
    throw std::length_error("tempo stretch output too long");
  }
  return static_cast<std::size_t>(v);
}

void tempo_wsola(std::span<const float> x, std::span<float> out, WsolaScratch& scratch, double factor) {
  const auto out_len = tempo_output_length(x.size(), factor);
  if (out.size() != out_len) {
    throw std::invalid_argument("tempo stretch output of " + std::to_string(out.size()) + " samples given, " +
                                std::to_string(out_len) + " needed");
  }
#if defined(__x86_64__)
  if (scratch.simd_ == Simd::Avx512) return tempo_avx512(x, out, factor, scratch.ext_, scratch.positions_);
  if (scratch.simd_ == Simd::Avx2) return tempo_avx2(x, out, factor, scratch.ext_, scratch.positions_);
#endif
  tempo_baseline(x, out, factor, scratch.ext_, scratch.positions_);
}

std::vector<float> tempo_wsola(std::span<const float> x, double factor) {
  std::vector<float> out(tempo_output_length(x.size(), factor));
  WsolaScratch scratch;
  tempo_wsola(x, out, scratch, factor);
  return out;
}

namespace detail {

float wsola_to_buf(double x) { return to_buf(x); }
float wsola_from_buf(float y) { return from_buf(y); }

void wsola_to_buf(std::span<const float> x, std::span<double> out, Simd simd) {
  if (out.size() != x.size()) throw std::invalid_argument("wsola_to_buf: output of another length");
  convert_with(simd, x.data(), out.data(), nullptr, static_cast<std::int64_t>(x.size()));
}

void wsola_from_buf(std::span<float> y, Simd simd) {
  convert_with(simd, nullptr, nullptr, y.data(), static_cast<std::int64_t>(y.size()));
}

}  // namespace detail

}  // namespace velmora::ostrand
