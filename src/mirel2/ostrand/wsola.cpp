#include "mirel2/ostrand/wsola.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {

namespace {

constexpr std::int64_t OV = SR_WSOLA_OVERLAP;            // crossfade length
constexpr std::int64_t HOP = SR_WSOLA_SEGMENT - OV;      // output samples per block
constexpr std::int64_t HALF = (SR_WSOLA_SEARCH - 1) / 2;  // search radius
constexpr std::int64_t PAD = HALF + SR_WSOLA_SEGMENT + 1;  // zero margin on each side of the input copy

// Candidates are scored GROUP at a time, one accumulator each, so the sums run side by side (in vector
// registers, pairs of doubles) while each still adds its squared differences one after another from the first
// sample to the last, as the reference does; only that order gives the same float64 sums for loud audio. The
// last group's unused lanes read SLACK extra zeros at the end of the copy.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
constexpr std::int64_t GROUP = 16;
constexpr std::int64_t PAIRS = GROUP / 2;
constexpr std::int64_t GROUPS = (SR_WSOLA_SEARCH + GROUP - 1) / GROUP;
constexpr std::int64_t SLACK = GROUPS * GROUP - SR_WSOLA_SEARCH;

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

// Index of the candidate window (rows[j] to rows[j + OV - 1], j = 0 to SR_WSOLA_SEARCH - 1) whose squared
// difference from ref is smallest; the first one on a tie.
std::int64_t best_candidate(const double* rows, const double* ref) {
  double best_err = std::numeric_limits<double>::infinity();
  std::int64_t best = 0;
  for (std::int64_t g = 0; g < GROUPS; ++g) {
    Pair acc[PAIRS] = {};
    const double* p = rows + g * GROUP;
    for (std::int64_t i = 0; i < OV; ++i) {
      const Pair r = {ref[i], ref[i]};
      for (std::int64_t l = 0; l < PAIRS; ++l) {
        Pair c;
        std::memcpy(&c, p + i + 2 * l, sizeof c);
        const Pair d = c - r;
        acc[l] += d * d;
      }
    }
    for (std::int64_t l = 0; l < GROUP && g * GROUP + l < SR_WSOLA_SEARCH; ++l) {
      const double err = acc[l / 2][l % 2];
      if (err < best_err) {
        best_err = err;
        best = g * GROUP + l;
      }
    }
  }
  return best;
}

}  // namespace

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
  const auto out_len = static_cast<std::int64_t>(tempo_output_length(x.size(), factor));
  if (static_cast<std::int64_t>(out.size()) != out_len) {
    throw std::invalid_argument("tempo stretch output of " + std::to_string(out.size()) + " samples given, " +
                                std::to_string(out_len) + " needed");
  }
  const auto n = static_cast<std::int64_t>(x.size());
  const double step = factor * static_cast<double>(HOP);

  const std::span<double> ext = scratch.ext_.resize(static_cast<std::size_t>(n + 2 * PAD + SLACK));
  std::fill(ext.begin(), ext.begin() + PAD, 0.0);
  std::transform(x.begin(), x.end(), ext.begin() + PAD, [](float v) { return to_buf(v); });
  std::fill(ext.begin() + PAD + n, ext.end(), 0.0);
  const double* buf = ext.data() + PAD;
  scratch.positions_.clear();

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
      scratch.positions_.push_back(0);
      continue;
    }
    // The samples that continue the previous block's source without a seam, and the input window near the
    // nominal position that resembles them most.
    take(buf, n, prev + HOP, OV, ref);
    for (std::int64_t i = 0; i < OV; ++i) ref64[i] = ref[i];
    const auto nom = static_cast<std::int64_t>(std::floor(static_cast<double>(k) * step + 0.5));
    const std::int64_t row0 = PAD + nom - HALF;
    if (row0 < 0 || row0 + GROUPS * GROUP + OV - 1 > static_cast<std::int64_t>(ext.size())) {
      throw std::logic_error("tempo search outside its margins");  // a positive factor never gets here
    }
    const std::int64_t best = nom - HALF + best_candidate(ext.data() + row0, ref64);
    take(buf, n, best, OV, seg);
    const std::int64_t fade = std::min(OV, cnt);
    for (std::int64_t i = 0; i < fade; ++i) dst[i] = ref[i] * w_out[i] + seg[i] * w_in[i];
    if (cnt > OV) take(buf, n, best + OV, cnt - OV, dst + OV);
    scratch.positions_.push_back(best);
    prev = best;
  }
  std::transform(out.begin(), out.end(), out.begin(), from_buf);
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

}  // namespace detail

}  // namespace velmora::ostrand
