#pragma once
// The frame renderer's two per-frame image routines: the plane warp, which samples the identity's plane
// texture at a grid of points and corrects the bilinear result by the sampled second differences, and patch
// compositing, which blends a patch defined over a region of the source space into a frame through a grid.
//
// Grids are float32 FRAME x FRAME x 2, x then y per pixel, normalised so that -1 and 1 are the outer edges
// of the FRAME x FRAME source space (pixel coordinate ((g + 1) * FRAME - 1) / 2, pixel centres at integers).
// Frames are float32 3 x FRAME x FRAME, channel-first. Sampling follows OpenCV's remap with linear
// interpolation (coordinates quantised to 1/32 pixel) bit for bit, without calling it (see bilinear.h); its
// exact results are part of the frames. Every float32 formula is evaluated operation by operation in the
// order written. Nothing here starts or uses other threads.
#include <cmath>
#include <cstdint>
#include <optional>

#include "common/ndarray.h"
#include "common/reusable_buffer.h"
#include "common/simd.h"

namespace velmora::v2u {

inline constexpr int FRAME = 512;  // frame side, and side of the source space the grids address

// A patch's region: top, bottom, left and right edge in continuous pixel coordinates of the source space.
struct Region {
  double y0 = 0, y1 = 0, x0 = 0, x1 = 0;
};

// The four values of `roi` (one axis) as doubles. Throws std::invalid_argument with Python's unpacking text
// unless it holds exactly four.
Region region_of(const NdArray& roi);

// The warp of one plane texture. Warping only reads the instance, so any number of threads may warp at once.
class PlaneWarp {
 public:
  // `planes`: float32 (N, 12, H, W), of which the first stack is used; channels 0-2 texture, 3-5 second
  // difference along x, 6-8 along y, 9-11 mixed. `simd`: the widest instruction set to use (the results are
  // the same with each; tests cover every one). Throws std::invalid_argument for another shape or a set the
  // processor lacks.
  explicit PlaneWarp(const NdArray& planes, Simd simd = best_simd());

  // out (3 x FRAME x FRAME) = p - ax dx - ay dy + ax ay dxy, with p, dx, dy, dxy the channel groups sampled
  // at the grid point (replicated edges) and ax = fx (1 - fx) / 2 from the fraction fx of the x coordinate
  // (ay likewise). `g512` holds FRAME x FRAME x 2 values. Allocates nothing.
  void warp(const float* g512, float* out) const;
  // The same for rows r0 .. r1-1 of `out` only, from the grid values of those rows (`rows` points at row r0's).
  void warp_rows(const float* rows, int r0, int r1, float* out) const;

  std::int64_t height() const { return H_; }
  std::int64_t width() const { return W_; }

 private:
  Simd simd_;
  NdArray hwc_;  // the 12 channels channel-last, (H, W, 12)
  std::int64_t H_ = 0, W_ = 0;
};

// Throws PyError (ZeroDivisionError) for a region of zero width or height, as compositing through it would.
void check_region(const Region& roi);

// Pixel rows ra .. rb-1 and columns ca .. cb-1 of a frame.
struct Box {
  int ra = 0, rb = 0, ca = 0, cb = 0;
  bool empty() const { return rb <= ra; }
  int height() const { return rb - ra; }
  int width() const { return cb - ca; }
};

// Patch compositing with reusable scratch. `place` finds where a patch of h x w pixels over a region lands
// through a grid; `blend` then pastes patches of that size there (the two eye patches share one placement).
class Compositor {
 public:
  // `simd`: the widest instruction set to use (the results are the same with each). Throws
  // std::invalid_argument for a set the processor lacks.
  explicit Compositor(Simd simd = best_simd());

  // The bounding box of the frame pixels whose sample point touches a patch pixel (-1 < ix < w and
  // -1 < iy < h, with ix, iy the point's patch coordinates), and those coordinates over the box. Returns the
  // box, empty when no pixel is inside. Throws PyError (ZeroDivisionError) for a region of zero width or
  // height, std::invalid_argument for a patch size PatchSet refuses (a side of 0 or over 32767, or 2^29
  // pixels or more).
  Box place(const float* gm, const Region& roi, int h, int w);

  // Blends into frame `o` over the last placed box: o = m wv + (1 - m) o per channel, with m channel 0 of the
  // mask sampled at the patch coordinates (taps outside count 0) and wv the patch sampled there (edges
  // replicated). `rgb_hwc`: h x w x 3 float32 of the placed size; `mask`: mh x mw float32. Does nothing for
  // an empty box; throws std::invalid_argument for a mask of 2^31 values or more.
  void blend(float* o, const float* rgb_hwc, const float* mask, int mh, int mw) const;
  // The same for a patch whose mask has its size, given interleaved: h x w texels of R, G, B and mask.
  void blend_rgbm(float* o, const float* rgbm) const;

 private:
  Simd simd_;
  Box box_;
  int h_ = 0, w_ = 0;
  ReusableBuffer<std::int32_t> qx_, qy_;  // the patch coordinates over the box, quantised as remap does
};

// Patches of one kind (bank entries, or eye-bank entries with their left or right masks) laid out once for
// blending: colour and mask channel 0 interleaved per texel when the masks have the patches' size, else the
// colour channel-last beside the masks as given.
class PatchSet {
 public:
  // `rgb`: float32 (E, 3, h, w); `mask`: float32 (E', channels, h', w'); the entries are the first
  // min(E, E'). Throws std::invalid_argument for other shapes or sizes of 32768 and more a side.
  PatchSet(const NdArray& rgb, const NdArray& mask);
  PatchSet() = default;  // no entries

  int height() const { return h_; }
  int width() const { return w_; }
  std::int64_t entries() const { return texels_.dim(0); }

  // Blends entry `e` into frame `o` at the last placement of `comp`, which placed a patch of this size (see
  // Compositor::blend). Throws std::out_of_range for an entry outside the set.
  void blend(const Compositor& comp, float* o, std::int64_t e) const;

 private:
  int h_ = 0, w_ = 0;
  NdArray texels_;  // (E, h, w, 4) interleaved, or (E, h, w, 3) colour
  NdArray mask_;    // the masks, when not interleaved
};

// Blends patch `rgb` (3, h, w) with mask channel 0 of `mask` (cm, h', w') into frame `o` (3, FRAME, FRAME)
// through grid `gm` (FRAME, FRAME, 2) over region `roi`; all float32. A mask of another size than the patch
// is sampled with the patch's coordinates. Throws std::invalid_argument for other shapes and PyError
// (ZeroDivisionError) for a degenerate region, before `o` is touched.
void composite(NdArray& o, const NdArray& gm, const Region& roi, const NdArray& rgb, const NdArray& mask);

// One frame (3 x FRAME x FRAME float32) to 8-bit RGB (FRAME x FRAME x 3): clip to [-1, 1], add 1, times
// 127.5, round half to even, in float32; NaN gives 0. `simd`: the widest instruction set to use (the bytes
// are the same with each); throws std::invalid_argument for a set the processor lacks.
void to_rgb8(const float* o, std::uint8_t* out, Simd simd = best_simd());

namespace detail {
// floor of a float32 exactly as std::floor, without a library call (signed zeros, NaN and large values kept).
inline float floor_f32(float v) {
  // Beyond 2^23 every float is an integer already; NaN passes through.
  if (!(std::fabs(v) < 8388608.0f)) return v;
  float t = static_cast<float>(static_cast<std::int32_t>(v));
  if (t > v) t -= 1.0f;
  return std::copysign(t, v);  // floor(-0.0) is -0.0; a negative v has a negative floor anyway
}

// The grid values g whose patch coordinate ((((g k + c) - 1) + 1) n / 2) - 1/2, each step rounded to float32,
// lies strictly between -1 and n: as every step rounds monotonically, they are the closed interval
// [lo, hi] (empty when lo > hi). Nothing for a zero or non-finite k or c, where the coordinate is not
// monotone over all floats.
struct InsideSpan {
  float lo, hi;
};
std::optional<InsideSpan> inside_span(float k, float c, float n);

}  // namespace detail

}  // namespace velmora::v2u
