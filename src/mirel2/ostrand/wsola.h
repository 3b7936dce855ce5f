#pragma once
// Tempo stretch of mono 16 kHz audio by waveform-similarity overlap-add (WSOLA), without a pitch change: with
// a factor above 1 the result is shorter (a 44,000-sample window becomes 35,200 samples at the default 1.25).
//
// The work runs on a copy of the audio in a 24-bit fixed-point scale (whole numbers in [-2^24, 2^24], held
// exactly by float32), so the result is quantised as if it had passed through 24-bit integer PCM. Results
// equal, bit for bit, the same steps done in NumPy's float32/float64 arithmetic.
//
// Input that is not finite is read as 24-bit PCM would hold it: +inf and anything at or above full scale as
// the largest code, -inf and anything at or below -1 as the smallest, NaN as silence (0).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/reusable_buffer.h"
#include "common/simd.h"

namespace velmora::ostrand {

inline constexpr double DEFAULT_TEMPO_FACTOR = 1.25;

// Samples a stretch of `n` samples by `factor` gives: floor(n / factor + 0.5), at least 0 (in float64, so
// 44,000 at 1.25 gives 35,200; a negative or infinite factor gives 0). Throws std::invalid_argument for a
// zero or NaN factor, std::length_error when the result would not fit in memory.
std::size_t tempo_output_length(std::size_t n, double factor = DEFAULT_TEMPO_FACTOR);

// The per-call arrays of the stretch, kept between calls so that stretching windows of one size allocates
// only the first time. One scratch serves one thread at a time.
class WsolaScratch {
 public:
  // `simd`: the widest instruction set the stretch may use (the results are the same with each). Throws
  // std::invalid_argument for a set the processor lacks.
  explicit WsolaScratch(Simd simd = best_simd());

  // The input position of the segment each block of the last stretch copied (0 for block 0), in block order;
  // for diagnostics and tests.
  std::span<const std::int64_t> positions() const { return positions_; }

 private:
  friend void tempo_wsola(std::span<const float>, std::span<float>, WsolaScratch&, double);
  Simd simd_;
  ReusableBuffer<double> ext_;  // the input in the fixed-point scale between zero margins
  std::vector<std::int64_t> positions_;
};

// Stretches `x` into `out`, whose size must be tempo_output_length(x.size(), factor) (else
// std::invalid_argument); `out` must not overlap `x`. Throws as tempo_output_length does. `x` is not changed.
void tempo_wsola(std::span<const float> x, std::span<float> out, WsolaScratch& scratch,
                 double factor = DEFAULT_TEMPO_FACTOR);

// The same into a new array.
std::vector<float> tempo_wsola(std::span<const float> x, double factor = DEFAULT_TEMPO_FACTOR);

namespace detail {

// One sample into the fixed-point scale: trunc(x * 2^31) clipped to [-2^31, 2^31 - 1], then floor((v + 64) /
// 128); NaN gives 0.
float wsola_to_buf(double x);
// One sample back: floor(y + 0.5) * 128 clipped to [-2^31, 2^31 - 1], divided by 2^31, as float32.
float wsola_from_buf(float y);
// The same over arrays, as tempo_wsola converts with `simd` (the results are the same with each); from_buf in
// place. Throw std::invalid_argument for arrays of different lengths or a set the processor lacks.
void wsola_to_buf(std::span<const float> x, std::span<double> out, Simd simd);
void wsola_from_buf(std::span<float> y, Simd simd);

}  // namespace detail

}  // namespace velmora::ostrand
