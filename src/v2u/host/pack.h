#pragma once
// The unified renderer's model pack: host.json, host.npz, e3fit.json and the ONNX graphs that host.json
// names, loaded once and then shared read-only by every stream.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json.h"
#include "common/ndarray.h"
#include "common/npy.h"
#include "v2u/host/e3params.h"
#include "v2u/host/ort_session.h"

namespace velmora::v2u {

// Whether the trunk crop radius is exact at the host radius R and, when given, at R0: the crop (5 when
// `trunk_crop_r` is null, else its integer value, reals truncated) is negative or equals each radius.
// Throws std::invalid_argument when `trunk_crop_r` has no integer value.
bool trunk_exact(const json::Value& trunk_crop_r, std::int64_t R, std::optional<std::int64_t> R0 = std::nullopt);

class Pack {
 public:
  // Loads the pack directory `root`, opening each session with `threads` intra-op threads. In order: host.json;
  // the trunk crop check (std::invalid_argument "shared set: trunk crop R ... is not exact at host R ..."),
  // before host.npz is read; every member of host.npz (object arrays refused); the typed copies; E3Params from
  // e3fit.json; the sessions. Throws std::system_error for a missing file, json::Error or NpyError for one that
  // does not parse, KeyError naming a missing key, graph entry or member, std::invalid_argument for values that
  // do not convert, and the runtime's error for a graph it rejects. A failed load leaves nothing behind.
  explicit Pack(std::string root, int threads = 1);

  Pack(const Pack&) = delete;
  Pack& operator=(const Pack&) = delete;

  // The stitching network on N rows: each row of `xs` (any trailing shape) flattened and joined with the
  // row's 63 values of `xd`, through the layers in float32 (rectified between layers), gives 63 offsets and a
  // shift in x and y that are added to `xd`'s keypoints. Returns float32 (N, 21, 3). Throws
  // std::invalid_argument when the rows or the layer widths do not fit.
  NdArray stitch(const NdArray& xs, const NdArray& xd) const;

  // root joined with the "graphs" entry `key` of j (an absolute entry stands for itself). Throws KeyError.
  std::string graph_path(std::string_view key) const;

  std::string root;
  json::Value j;  // host.json as parsed
  NpzFile a;      // every member of host.npz as stored
  std::int64_t R = 0, F = 0, W_TOK = 0;
  NdArray det_dims, DRV, EYE4, DRIVEN, RKEY, EYE_DIMS;  // int64 copies
  NdArray base69, W, P, d, c;                          // float64 copies
  NdArray pca_mu, pca_V;                               // float32 copies
  json::Value h;                                       // the "head" object of host.json
  std::vector<std::pair<NdArray, NdArray>> stw;        // float32 (weight (out, in), bias (out)) per layer
  E3Params e3;
  Session s_trunk, s_head, s_det, s_hctx, s_hdraw;
  NdArray flow_dims;              // int64 copy of det_flow_dims
  std::optional<Session> s_dflow;  // only when flow_dims holds an index
  std::int64_t flow_D = 0;
  std::string motion_path, lite_path;
  std::string trunk_in, trunk_out;  // first input and first output names of the trunk graph

 private:
  struct Loaded;
  explicit Pack(Loaded&& l);
};

}  // namespace velmora::v2u
