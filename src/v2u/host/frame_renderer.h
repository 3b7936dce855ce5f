#pragma once
// The unified frame renderer: per block of frames, driven keypoints and per-frame bank and eye-bank indices
// become 512 x 512 RGB frames. The motion graph turns identity features, the keypoints and the chosen bank
// entries into sampling grids and further tensors; the identity's plane texture is warped by each frame's
// grid; the lite graph turns the warped texture and those tensors into float frames; then the chosen bank
// patch and, when any frame of the block has an eye event, the left and the right eye patch are blended into
// every frame, and the frames are converted to 8-bit RGB.
//
// One Renderer serves one identity and one stream; it is used from one thread at a time. Per block the caller
// calls `inputs` and hands the result (or feeds of its own) to `run`.
//
// Threads: `threads` is the renderer's whole budget. Each graph runs on `threads` intra-op threads of ONNX
// Runtime (0 lets the runtime choose); the renderer's own per-frame work (grid resizing, plane warp,
// compositing, 8-bit conversion) runs on the calling thread when `threads` is 1, and otherwise on `threads`
// worker threads that the renderer starts at construction (one per hardware thread for 0) and joins when it
// is destroyed, while the caller waits. The graphs and the renderer's own work never run at the same time,
// and nothing goes to OpenCV's or any other process-wide pool, so several renderers in one process use at
// most the sum of their budgets. The frames do not depend on the thread count.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ndarray.h"
#include "common/reusable_buffer.h"
#include "common/worker_pool.h"
#include "v2u/host/identity.h"
#include "v2u/host/ort_session.h"
#include "v2u/host/pack.h"
#include "v2u/host/warp.h"

namespace velmora::v2u {

// What `run` takes for a block of n frames.
struct Feeds {
  NdArray x_d;          // float32 (n, 21, 3): driven keypoints
  NdArray xk;           // float32, the shape of the bank keypoint sets with n entries: bank keypoints, eyes substituted
  NdArray sel, sL, sR;  // integers (n): bank index, left-eye and right-eye eye-bank index per frame
  bool eyes = false;    // whether any frame has sL > 0 or sR > 0
};

class Renderer {
 public:
  // Opens the pack's motion and lite graphs with `threads` intra-op threads each (see ort_session) and
  // prepares the identity's plane texture and patches. Throws std::invalid_argument when the identity's
  // plane stack is not (N, 12, H, W), a patch is not (E, 3, h, w), a mask not (E, channels, h, w), or a
  // region does not hold four values; the runtime's error for a missing or rejected graph. The identity is
  // shared, not copied.
  Renderer(const Pack& pk, std::shared_ptr<const Identity> idn, int threads = 1);
  Renderer(const std::string& motion_path, const std::string& lite_path, std::shared_ptr<const Identity> idn,
           int threads = 1);

  // The feeds of one block of T frames: xd (T, ...) as float32, and xk = the bank keypoint sets picked by
  // `sel`, where on every frame with sL > 0 or sR > 0 keypoints 11 and 13 come from eye-bank entry sL and
  // keypoints 15 and 16 from entry sR. sel, sL and sR: integer arrays of one axis, kept as given. Throws
  // std::invalid_argument for lengths other than T or non-integer indices, std::out_of_range for an index
  // outside its bank.
  Feeds inputs(const NdArray& xd, const NdArray& sel, const NdArray& sL, const NdArray& sR) const;

  // The frames of `feeds`: uint8 (n, 512, 512, 3), RGB, n the length of sel; for n = 0 no graph runs.
  // Throws std::invalid_argument for feeds of other lengths or element types, for a motion graph that gives
  // other than five outputs or grids other than float32 (n, h, w, 2), and for a lite output other than
  // float32 (n, 3, 512, 512); std::out_of_range for an index outside its bank; PyError (ZeroDivisionError)
  // for a degenerate region; the runtime's error for a failed run.
  NdArray run(const Feeds& feeds);

  // The warped texture of one grid, float32 (3, 512, 512); `g512` is float32 (512, 512, 2).
  NdArray warp_cone(const NdArray& g512);

  // How many threads do the renderer's own work: 1 (the caller's) or the size of its pool.
  int threads() const { return pool_ ? pool_->size() : 1; }

  const Identity& identity() const { return *idn_; }
  const Region& roi_m() const { return roi_m_; }
  const Region& roi_e() const { return roi_e_; }

 private:
  std::shared_ptr<const Identity> idn_;
  Session s_mot_, s_lite_;
  PlaneWarp warp_;
  Region roi_m_, roi_e_;
  PatchSet bank_, eye_l_, eye_r_;  // the bank patches, and the eye-bank patches with their left and right masks
  // Scratch of one worker: a resized grid (or a band of one) and the compositor's buffers.
  struct Scratch {
    Compositor comp;
    ReusableBuffer<float> grid, resize;
  };
  // Runs work(scratch) on `count` workers at most (count >= 1), each with a scratch of its own.
  template <class Work>
  void on_workers(std::int64_t count, Work& work);

  std::unique_ptr<WorkerPool> pool_;  // none when the budget is one thread
  std::vector<Scratch> scratch_;      // one per worker
  NdArray wrgb_;                      // the warped textures of the last block, reused while blocks keep their size
};

}  // namespace velmora::v2u
