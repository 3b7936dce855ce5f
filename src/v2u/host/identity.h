#pragma once
// One avatar's identity assets: its NPZ identity archive read whole into typed copies, three optional members
// (empty means absent), and the plane texture that the frame renderer warps.
#include <memory>
#include <optional>
#include <string>

#include "common/json.h"
#include "common/ndarray.h"
#include "common/npy.h"

namespace velmora::v2u {

// The plane texture of P (items N, channels Q, rows H, columns W): float32 (N, 4Q, H, W) holding P, its second
// difference across the columns, its second difference down the rows, and the second difference across of the
// one down, edges clamped, computed in P's element type in the order (a - 2b) + c. Throws std::invalid_argument
// unless P has four axes with at least one row and one column.
NdArray cone(const NdArray& P);

// The source keypoint record that keypoint composition reads.
struct SourceKeypoints {
  NdArray kp_c;      // float64: canonical keypoints (21 x 3)
  NdArray R;         // float64: source rotation (3 x 3)
  NdArray exp;       // float64: keypoint offsets (63 values)
  NdArray t;         // float64: translation (items 0 and 1 used)
  double scale = 1;  // scale factor
  NdArray x_s;       // float32: source keypoints fed to the stitching network
};

// The renderer's tensors, float32 row-major copies of the members of the same names.
struct RendererTensors {
  NdArray g_src, g_f32, g_f128, x_s_t, b_rgb, b_mask, b_x, b_f32, e_rgb, e_mL, e_mR, e_x;
};

class Identity {
 public:
  // Reads the identity archive. Every listed member must be present (KeyError naming the first missing one);
  // `xcal_m`, `bank_proj` and `bank_mu` stored with no elements become nothing. `src_scale` and `shift` must hold
  // exactly one number (std::invalid_argument otherwise). A missing file throws std::system_error, a damaged
  // archive or an object array NpyError. `doc` is only kept.
  Identity(const NpzFile& archive, json::Value doc);
  static Identity load(const std::string& path, json::Value doc = {});
  static Identity load_bytes(std::shared_ptr<const std::string> bytes, json::Value doc = {});

  json::Value doc;
  SourceKeypoints src;
  NdArray idv, pose;  // float64, for the engine adapter
  double shift = 0;   // hazard offset of the eye-event scheduler
  NdArray e_img;      // float64: eye measure per eye level and eye
  std::optional<NdArray> xcal_m;  // float64 eye calibration, or nothing
  NdArray bank_key, bank_sd;      // float64
  std::optional<NdArray> bank_proj, bank_mu;  // float64, or nothing
  NdArray roi_m, roi_e;  // float32 region tuples of the bank patch and the eye patches
  RendererTensors r;
  NdArray planes;  // cone(r.g_src)
};

}  // namespace velmora::v2u
