#pragma once
// Per-identity eye lookups of the eye-event scheduler: EyeMap turns event amounts (0 = eye at rest, 1 = full
// event) into eye keys on the level table P, per eye; XCal converts eye keys and fractional level indices into
// one another and replaces a pair of eye keys by the calibrated pair with the same mean level. Both are built
// once per stream and never change; copies share their arrays.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/ndarray.h"

namespace velmora::v2u {

class EyeMap {
 public:
  // `e_img`: (E, >= 2) eye measures per level (rows, in the order of P) and eye (column 0 left, 1 right; more
  // columns are not read); `P`: the E levels; both of any real type, read as float64. `a_ref` caps the full
  // event measure. Throws std::invalid_argument when e_img has no rows or fewer than 2 columns, or P is not
  // one axis of e_img's row count.
  EyeMap(const NdArray& e_img, const NdArray& P, double a_ref = 0.73);

  // The eye keys of T event amounts `f` (one axis, any real type): float64 (T, 2), left then right. Amounts
  // below 0 count as 0; there is no upper bound. An eye with a single knot gets 0.0 on every frame.
  // Throws std::invalid_argument unless f has exactly one axis.
  NdArray key(const NdArray& f) const;
  // The same into `out` (2 values per amount, row-major); allocates nothing.
  void key(std::span<const double> f, std::span<double> out) const;

  struct Knots {
    std::vector<double> ek;  // running-maximum measures at the kept levels, strictly rising
    std::vector<double> pk;  // P at the same levels
  };

  NdArray P;                   // float64 (E)
  std::array<Knots, 2> knots;  // per eye
  std::array<double, 2> A{};   // per eye: the last running-maximum measure, capped at a_ref
  std::array<double, 2> rest{};  // per eye: the measure at level 0
};

class XCal {
 public:
  // `m`: for left-eye levels 1 .. E-1 the fractional right-eye level that belongs with each; `P`: the E
  // levels (one axis, increasing). Throws std::invalid_argument("xcal_m must hold {E-1} finite floats") when
  // m is absent, not exactly one axis of E-1 values, or holds a NaN or an infinity (the shape is tested first).
  XCal(const std::optional<NdArray>& m, const NdArray& P);

  // Eye keys to fractional level indices, and back; float64 of the argument's shape. Keys outside P clamp to
  // level 0 or E-1; levels outside 0 .. E-1 clamp to the first or last key.
  NdArray lev(const NdArray& p) const;
  NdArray par(const NdArray& lv) const;
  double lev(double p) const;
  double par(double lv) const;

  // Calibrated keys of T pairs of raw keys `kfl` (T, >= 2; columns 0 and 1 are read): float64 (T, 2), the
  // left and right keys of the calibration step whose mean level is the mean level of the pair (clamped to
  // the kept steps). Throws std::invalid_argument for another shape.
  NdArray keys(const NdArray& kfl) const;
  // The same for row-major pairs into `out` (both 2T values); allocates nothing.
  void keys(std::span<const double> kfl, std::span<double> out) const;

  NdArray P;  // float64 (E)
  std::int64_t E = 0;
  NdArray a;  // float64 (E): 0, 1, .., E-1, the left-eye level of each calibration step
  NdArray b;  // float64 (E): 0 then m, the right-eye level of each step
  NdArray s;  // float64 (E): 0.5 * (a + b), the mean level of each step

 private:
  std::vector<double> s_keep_, a_keep_;  // the steps keys() interpolates over
};

}  // namespace velmora::v2u
