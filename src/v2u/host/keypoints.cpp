#include "v2u/host/keypoints.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/py_error.h"
#include "v2u/host/constants.h"
#include "v2u/host/numerics.h"

namespace velmora::v2u {

namespace {

constexpr int OFFSETS = 3 * KEYPOINTS;  // keypoint offset columns of a motion row

void check_rows(const NdArray& m) {
  if (m.rank() != 2 || m.dim(1) < ROT[2] + 1 || m.dtype() == DType::Bool)
    throw std::invalid_argument("motion rows must be real numbers of shape (T, >= 66), not " + std::string(dtype_name(m.dtype())) +
                                " " + m.shape().str());
}

void check_size(const NdArray& a, std::int64_t n, const char* name) {
  if (a.size() != n)
    throw std::invalid_argument(std::string("source record ") + name + " must hold " + std::to_string(n) + " values, not shape " +
                                a.shape().str());
}

// Element (i, j) of a (rows, cols) array of any real type as a double.
template <class T>
double at(const T* p, std::int64_t cols, std::int64_t i, std::int64_t j) {
  return widen(p[i * cols + j]);
}

}  // namespace

NdArray compose(const Pack& pk, const SourceKeypoints& src, const NdArray& m) {
  check_rows(m);
  check_size(src.kp_c, OFFSETS, "kp_c");
  check_size(src.R, 9, "R");
  check_size(src.exp, OFFSETS, "exp");
  if (src.t.size() < 2)
    throw std::out_of_range("index 1 is out of bounds for axis 0 with size " + std::to_string(src.t.size()));
  if (src.kp_c.rank() != 2 || src.kp_c.dim(1) != 3 || src.R.rank() != 2 || src.R.dim(0) != 3)
    throw std::invalid_argument("source record kp_c must be 21 x 3 and R 3 x 3, not " + src.kp_c.shape().str() + " and " +
                                src.R.shape().str());

  // The listed columns; a negative entry would silently name a rotation column, so it is refused like one
  // beyond the offsets.
  std::array<bool, OFFSETS> listed{};
  for (const NdArray* dims : {&pk.DRIVEN, &pk.EYE_DIMS})
    for (std::int64_t i = 0; i < dims->size(); ++i) {
      const double v = dims->as_double(i);
      if (!(v >= 0 && v < OFFSETS))
        throw std::out_of_range("index " + std::to_string(static_cast<std::int64_t>(v)) + " is out of bounds for axis 1 with size 63");
      listed[static_cast<std::size_t>(v)] = true;
    }

  double kp[OFFSETS], R[9], exp[OFFSETS];
  for (int i = 0; i < OFFSETS; ++i) {
    kp[i] = src.kp_c.as_double(i);
    exp[i] = src.exp.as_double(i);
  }
  for (int i = 0; i < 9; ++i) R[i] = src.R.as_double(i);
  const double scale = src.scale, t0 = src.t.as_double(0), t1 = src.t.as_double(1);

  const std::int64_t T = m.dim(0), cols = m.dim(1);
  NdArray xd = NdArray::uninitialized(DType::Float64, {T, KEYPOINTS, 3});
  double* out = xd.data<double>();
  visit_dtype(m.dtype(), [&](auto tag) {
    using E = decltype(tag);
    const E* p = static_cast<const E*>(m.raw_data());
    for (std::int64_t i = 0; i < T; ++i) {
      const double w[3] = {at(p, cols, i, ROT[0]), at(p, cols, i, ROT[1]), at(p, cols, i, ROT[2])};
      double rot[9], Rn[9];
      rotvec_to_rotmat(w, rot);
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) Rn[a * 3 + b] = (rot[a * 3] * R[b] + rot[a * 3 + 1] * R[3 + b]) + rot[a * 3 + 2] * R[6 + b];
      double* o = out + i * OFFSETS;
      for (int k = 0; k < KEYPOINTS; ++k) {
        for (int d = 0; d < 3; ++d) {
          const int col = 3 * k + d;
          // Each keypoint as a row vector times the row's matrix.
          const double K = (kp[3 * k] * Rn[d] + kp[3 * k + 1] * Rn[3 + d]) + kp[3 * k + 2] * Rn[6 + d];
          const double delta = listed[col] ? exp[col] + at(p, cols, i, col) : exp[col];
          o[col] = scale * (K + delta) + (d == 0 ? t0 : d == 1 ? t1 : 0.0);
        }
      }
    }
  });

  // x_s repeated once per row.
  const NdArray& xs1 = src.x_s;
  NdArray xs = NdArray::uninitialized(xs1.dtype(), xs1.shape().prepend(T));
  for (std::int64_t i = 0; i < T; ++i)
    std::memcpy(static_cast<std::byte*>(xs.raw_data()) + i * xs1.nbytes(), xs1.raw_data(), xs1.nbytes());
  return pk.stitch(xs, xd);
}

NdArray pose_track(const Pack& pk, const Identity& idn, const NdArray& rows_m, const PoseFn& pose_T) {
  if (!pose_T) throw PyError("ImportError", "cannot import name 'pose_T' from 'velmora._v2u.fullbody'");
  check_rows(rows_m);
  const std::int64_t T = rows_m.dim(0);
  NdArray rig(DType::Float64, {T, MOTION_COLUMNS});
  double* r = rig.data<double>();
  for (std::int64_t i = 0; i < T; ++i)
    for (int c : ROT) r[i * MOTION_COLUMNS + c] = rows_m.as_double(i * rows_m.dim(1) + c);
  return pose_T(idn.src.x_s, compose(pk, idn.src, rig));
}

}  // namespace velmora::v2u
