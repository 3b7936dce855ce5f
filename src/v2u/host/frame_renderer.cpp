#include "v2u/host/frame_renderer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include "v2u/host/bilinear.h"
#include "v2u/host/constants.h"

namespace velmora::v2u {

namespace {

constexpr std::int64_t PIXELS = std::int64_t{FRAME} * FRAME;

const Identity& need(const std::shared_ptr<const Identity>& idn) {
  if (!idn) throw std::invalid_argument("Renderer needs an identity");
  return *idn;
}

bool is_integer(DType t) {
  switch (t) {
    case DType::Int8: case DType::UInt8: case DType::Int16: case DType::UInt16: case DType::Int32:
    case DType::UInt32: case DType::Int64: case DType::UInt64: return true;
    default: return false;
  }
}

// A per-frame index array: integers along one axis of length n.
void check_indices(const NdArray& a, std::int64_t n, const char* name) {
  if (!is_integer(a.dtype()) || a.rank() != 1)
    throw std::invalid_argument(std::string(name) + " must be one axis of integers, not " + std::string(dtype_name(a.dtype())) +
                                " " + a.shape().str());
  if (a.dim(0) != n)
    throw std::invalid_argument(std::string(name) + " holds " + std::to_string(a.dim(0)) + " indices for " + std::to_string(n) + " frames");
}

// Element i of an integer array, checked against the entry count of the bank it picks from.
std::int64_t index_at(const NdArray& a, std::int64_t i, std::int64_t size) {
  const std::int64_t v = visit_dtype(a.dtype(), [&](auto t) -> std::int64_t {
    using T = decltype(t);
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      const T x = static_cast<const T*>(a.raw_data())[i];
      if constexpr (std::is_same_v<T, std::uint64_t>)
        if (x > static_cast<std::uint64_t>(INT64_MAX)) return INT64_MAX;
      return static_cast<std::int64_t>(x);
    } else {
      return 0;  // callers check the element type first
    }
  });
  if (v < 0 || v >= size)
    throw std::out_of_range("index " + std::to_string(v) + " is out of bounds for axis 0 with size " + std::to_string(size));
  return v;
}

void check_all(const NdArray& a, std::int64_t size) {
  for (std::int64_t i = 0; i < a.size(); ++i) index_at(a, i, size);
}

// Entries picked by `idx` from the first axis of `bank`, in order.
NdArray gather(const NdArray& bank, const NdArray& idx) {
  const std::int64_t n = idx.dim(0);
  const std::size_t entry = bank.dim(0) ? bank.nbytes() / static_cast<std::size_t>(bank.dim(0)) : 0;
  NdArray out = NdArray::uninitialized(bank.dtype(), bank.shape().drop_first().prepend(n));
  auto* dst = static_cast<std::byte*>(out.raw_data());
  const auto* src = static_cast<const std::byte*>(bank.raw_data());
  for (std::int64_t i = 0; i < n; ++i)
    std::memcpy(dst + static_cast<std::size_t>(i) * entry, src + static_cast<std::size_t>(index_at(idx, i, bank.dim(0))) * entry, entry);
  return out;
}

void check_patches(const NdArray& rgb, const char* name) {
  if (rgb.dtype() != DType::Float32 || rgb.rank() != 4 || rgb.dim(1) != 3 || rgb.dim(2) < 1 || rgb.dim(3) < 1)
    throw std::invalid_argument(std::string("identity tensor ") + name + " must be float32 (entries, 3, h, w), not " + rgb.shape().str());
}

void check_masks(const NdArray& m, const char* name) {
  if (m.dtype() != DType::Float32 || m.rank() != 4 || m.dim(1) < 1 || m.dim(2) < 1 || m.dim(3) < 1)
    throw std::invalid_argument(std::string("identity tensor ") + name + " must be float32 (entries, channels, h, w), not " + m.shape().str());
}

// A motion grid output: float32 (n, h, w, 2).
void check_grid(const NdArray& g, std::int64_t n, const char* name) {
  if (g.dtype() != DType::Float32 || g.rank() != 4 || g.dim(0) != n || g.dim(1) < 1 || g.dim(2) < 1 || g.dim(3) != 2 ||
      g.dim(1) > 32767 || g.dim(2) > 32767)
    throw std::invalid_argument(std::string("motion graph output ") + name + " must be float32 (" + std::to_string(n) +
                                ", h, w, 2), not " + std::string(dtype_name(g.dtype())) + " " + g.shape().str());
}

constexpr int BAND = 32;  // rows of a frame warped as one piece of work
constexpr int BANDS = FRAME / BAND;

// A worker pool for a budget of `threads` (0: one thread per hardware thread); none for one thread.
std::unique_ptr<WorkerPool> pool_for(int threads) {
  if (threads == 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (threads <= 1) return nullptr;
  return std::make_unique<WorkerPool>(threads, "v2u-render");
}

}  // namespace

Renderer::Renderer(const Pack& pk, std::shared_ptr<const Identity> idn, int threads)
    : Renderer(pk.motion_path, pk.lite_path, std::move(idn), threads) {}

Renderer::Renderer(const std::string& motion_path, const std::string& lite_path, std::shared_ptr<const Identity> idn,
                   int threads)
    : idn_(std::move(idn)),
      s_mot_(ort_session(motion_path, threads)),
      s_lite_(ort_session(lite_path, threads)),
      warp_(need(idn_).planes),
      pool_(pool_for(threads)) {
  scratch_.resize(static_cast<std::size_t>(this->threads()));
  const RendererTensors& r = idn_->r;
  roi_m_ = region_of(idn_->roi_m);
  roi_e_ = region_of(idn_->roi_e);
  check_patches(r.b_rgb, "b_rgb");
  check_patches(r.e_rgb, "e_rgb");
  check_masks(r.b_mask, "b_mask");
  check_masks(r.e_mL, "e_mL");
  check_masks(r.e_mR, "e_mR");
  bank_ = PatchSet(r.b_rgb, r.b_mask);
  eye_l_ = PatchSet(r.e_rgb, r.e_mL);
  eye_r_ = PatchSet(r.e_rgb, r.e_mR);
}

Feeds Renderer::inputs(const NdArray& xd, const NdArray& sel, const NdArray& sL, const NdArray& sR) const {
  const RendererTensors& r = idn_->r;
  if (sel.rank() != 1) throw std::invalid_argument("sel must be one axis of integers, not shape " + sel.shape().str());
  const std::int64_t T = sel.dim(0);
  check_indices(sel, T, "sel");
  check_indices(sL, T, "sL");
  check_indices(sR, T, "sR");
  if (xd.rank() < 1 || xd.dim(0) != T)
    throw std::invalid_argument("xd of shape " + xd.shape().str() + " does not hold " + std::to_string(T) + " frames");
  const NdArray& bx = r.b_x;
  const NdArray& ex = r.e_x;
  if (bx.rank() < 2 || ex.rank() < 2 || bx.dtype() != DType::Float32 || ex.dtype() != DType::Float32)
    throw std::invalid_argument("identity keypoint sets b_x and e_x must be float32 (entries, keypoints, ...)");
  // The eye keypoints must exist in both sets (checked in the order they are read).
  for (const NdArray* a : {&ex, &bx})
    for (int k : {ROWS_L[0], ROWS_L[1], ROWS_R[0], ROWS_R[1]})
      if (k >= a->dim(1))
        throw std::out_of_range("index " + std::to_string(k) + " is out of bounds for axis 1 with size " + std::to_string(a->dim(1)));
  check_all(sL, ex.dim(0));
  check_all(sR, ex.dim(0));
  Feeds f;
  f.xk = gather(bx, sel);
  std::vector<bool> act(static_cast<std::size_t>(T));
  for (std::int64_t i = 0; i < T; ++i) {
    act[i] = index_at(sL, i, ex.dim(0)) > 0 || index_at(sR, i, ex.dim(0)) > 0;
    f.eyes = f.eyes || act[i];
  }
  if (f.eyes) {
    if (bx.shape().drop_first() != ex.shape().drop_first())
      throw std::invalid_argument("eye keypoint sets " + ex.shape().str() + " do not match the bank's " + bx.shape().str());
    const std::int64_t P = bx.dim(1), kp = bx.size() / bx.dim(0) / P;  // values per keypoint
    float* xk = f.xk.data<float>();
    const float* e = ex.data<float>();
    for (std::int64_t i = 0; i < T; ++i) {
      if (!act[i]) continue;
      const std::int64_t l = index_at(sL, i, ex.dim(0)), rr = index_at(sR, i, ex.dim(0));
      for (int k : ROWS_L) std::copy_n(e + (l * P + k) * kp, kp, xk + (i * P + k) * kp);
      for (int k : ROWS_R) std::copy_n(e + (rr * P + k) * kp, kp, xk + (i * P + k) * kp);
    }
  }
  f.x_d = xd.dtype() == DType::Float32 ? xd : xd.astype(DType::Float32);
  f.sel = sel;
  f.sL = sL;
  f.sR = sR;
  return f;
}

NdArray Renderer::warp_cone(const NdArray& g512) {
  if (g512.dtype() != DType::Float32 || g512.shape() != Shape{FRAME, FRAME, 2})
    throw std::invalid_argument("warp_cone: grid must be float32 (512, 512, 2), not " + g512.shape().str());
  NdArray out = NdArray::uninitialized(DType::Float32, {3, FRAME, FRAME});
  warp_.warp(g512.data<float>(), out.data<float>());
  return out;
}

template <class Work>
void Renderer::on_workers(std::int64_t count, Work& work) {
  const int workers = static_cast<int>(std::min<std::int64_t>(count, threads()));
  if (workers <= 1) {
    work(scratch_[0]);
    return;
  }
  auto task = [&](int i) { work(scratch_[static_cast<std::size_t>(i)]); };
  pool_->run(workers, task);
}

NdArray Renderer::run(const Feeds& feeds) {
  const RendererTensors& r = idn_->r;
  if (feeds.sel.rank() != 1) throw std::invalid_argument("sel must be one axis of integers, not shape " + feeds.sel.shape().str());
  const std::int64_t n = feeds.sel.dim(0);
  check_indices(feeds.sel, n, "sel");
  check_indices(feeds.sL, n, "sL");
  check_indices(feeds.sR, n, "sR");
  for (const auto& [a, name] : {std::pair{&feeds.x_d, "x_d"}, std::pair{&feeds.xk, "xk"}})
    if (a->dtype() != DType::Float32 || a->rank() < 1 || a->dim(0) != n)
      throw std::invalid_argument(std::string("feed ") + name + " must be float32 with " + std::to_string(n) + " frames, not " +
                                  std::string(dtype_name(a->dtype())) + " " + a->shape().str());
  if (n == 0) return NdArray(DType::UInt8, {0, FRAME, FRAME, 3});
  check_all(feeds.sel, std::min({r.b_f32.dim(0), r.b_rgb.dim(0), r.b_mask.dim(0)}));
  if (feeds.eyes) {
    check_all(feeds.sL, std::min(r.e_rgb.dim(0), r.e_mL.dim(0)));
    check_all(feeds.sR, std::min(r.e_rgb.dim(0), r.e_mR.dim(0)));
  }

  const NdArray bf32 = gather(r.b_f32, feeds.sel);
  std::vector<NdArray> mot = s_mot_.run(
      {{"f32", r.g_f32}, {"x_s", r.x_s_t}, {"x_d", feeds.x_d}, {"bf32", bf32}, {"xk", feeds.xk}});
  if (mot.size() < 5)
    throw std::invalid_argument("not enough values to unpack (expected 5, got " + std::to_string(mot.size()) + ")");
  if (mot.size() > 5) throw std::invalid_argument("too many values to unpack (expected 5)");
  const NdArray &grid64 = mot[0], &occ = mot[1], &z = mot[2], &y0 = mot[3], &gm64 = mot[4];
  check_grid(grid64, n, "grid64");
  check_grid(gm64, n, "gm64");

  if (wrgb_.shape() != Shape{n, 3, FRAME, FRAME}) wrgb_ = NdArray::uninitialized(DType::Float32, {n, 3, FRAME, FRAME});
  const LinearResize grid_resize(static_cast<int>(grid64.dim(1)), static_cast<int>(grid64.dim(2)), FRAME, FRAME, 2);
  const std::int64_t grid_frame = grid64.size() / n;
  // Pieces of work: bands of rows of every frame, each resized from the small grid and warped.
  {
    std::atomic<std::int64_t> next{0};
    auto work = [&](Scratch& sc) {
      float* band = sc.grid.resize(std::size_t{BAND} * FRAME * 2).data();
      float* tmp = sc.resize.resize(static_cast<std::size_t>(grid_resize.scratch_size())).data();
      for (std::int64_t item; (item = next++) < n * BANDS;) {
        const std::int64_t b = item / BANDS;
        const int r0 = static_cast<int>(item % BANDS) * BAND;
        grid_resize.rows(grid64.data<float>() + b * grid_frame, r0, r0 + BAND, band, tmp);
        warp_.warp_rows(band, r0, r0 + BAND, wrgb_.data<float>() + b * 3 * PIXELS);
      }
    };
    on_workers(n * BANDS, work);
  }

  std::vector<NdArray> lo = s_lite_.run(
      {{"wrgb", wrgb_}, {"grid64", grid64}, {"occ", occ}, {"y0", y0}, {"z", z}, {"f128", r.g_f128}});
  NdArray& o = lo.at(0);
  if (o.dtype() != DType::Float32 || o.shape() != Shape{n, 3, FRAME, FRAME})
    throw std::invalid_argument("lite graph output must be float32 (" + std::to_string(n) + ", 3, 512, 512), not " +
                                std::string(dtype_name(o.dtype())) + " " + o.shape().str());

  // Regions are checked here, where compositing would first divide by them, so that no failure is left to
  // raise on the workers.
  check_region(roi_m_);
  if (feeds.eyes) check_region(roi_e_);
  NdArray frames = NdArray::uninitialized(DType::UInt8, {n, FRAME, FRAME, 3});
  const LinearResize gm_resize(static_cast<int>(gm64.dim(1)), static_cast<int>(gm64.dim(2)), FRAME, FRAME, 2);
  // Frames are independent from here on: one frame is one piece of work.
  std::atomic<std::int64_t> next{0};
  auto work = [&](Scratch& sc) {
    float* gm = sc.grid.resize(static_cast<std::size_t>(PIXELS * 2)).data();
    float* tmp = sc.resize.resize(static_cast<std::size_t>(gm_resize.scratch_size())).data();
    for (std::int64_t b; (b = next++) < n;) {
      float* ob = o.data<float>() + b * 3 * PIXELS;
      gm_resize.rows(gm64.data<float>() + b * (gm64.size() / n), 0, FRAME, gm, tmp);
      const std::int64_t s = index_at(feeds.sel, b, r.b_rgb.dim(0));
      sc.comp.place(gm, roi_m_, bank_.height(), bank_.width());
      bank_.blend(sc.comp, ob, s);
      if (feeds.eyes) {
        const std::int64_t l = index_at(feeds.sL, b, r.e_rgb.dim(0)), rr = index_at(feeds.sR, b, r.e_rgb.dim(0));
        sc.comp.place(gm, roi_e_, eye_l_.height(), eye_l_.width());
        eye_l_.blend(sc.comp, ob, l);
        eye_r_.blend(sc.comp, ob, rr);
      }
      to_rgb8(ob, frames.data<std::uint8_t>() + b * PIXELS * 3);
    }
  };
  on_workers(n, work);
  return frames;
}

}  // namespace velmora::v2u
