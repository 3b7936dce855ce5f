#pragma once
// Keypoint composition: motion rows become the driven 3-D keypoints the frame renderer warps by. Each row's
// head rotation, combined with the identity's source rotation, turns the canonical keypoints; the identity's
// own keypoint offsets, with the pack's driven and eye columns of the row laid onto them, are added; the sum
// is scaled and translated, and the pack's stitching network corrects it.
#include <functional>

#include "common/ndarray.h"
#include "v2u/host/identity.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {

// (T, 21, 3) float32 keypoints of the T motion rows `m` (any real element type, at least 66 columns:
// keypoint offsets in columns 3k + c, the rotation vector in 63..65). Only the columns the pack lists in
// DRIVEN and EYE_DIMS are taken from the rows, a column listed twice once; translation z is always 0.
// Stateless; changes nothing. Throws std::invalid_argument for rows of another shape or a source record of
// other shapes (kp_c 21 x 3, R 3 x 3, exp 63 values, t at least 2), std::out_of_range for a listed column
// outside 0 .. 62, and the stitching network's errors.
NdArray compose(const Pack& pk, const SourceKeypoints& src, const NdArray& m);

// The outside full-body pose helper: takes the identity's source keypoints x_s as stored and the (T, 21, 3)
// float32 keypoints composed from the rows' rotations alone; what it returns is passed on unchanged.
using PoseFn = std::function<NdArray(const NdArray& x_s, const NdArray& keypoints)>;

// pose_T(idn.src.x_s, compose(pk, idn.src, rows with every column but 63..65 zero)). `rows_m`: at least 66
// columns of any real type. Throws PyError (ImportError) when no pose helper is given; errors of `pose_T`
// pass through.
NdArray pose_track(const Pack& pk, const Identity& idn, const NdArray& rows_m, const PoseFn& pose_T);

}  // namespace velmora::v2u
