// The frame renderer's own per-frame stages beside its two graphs, on a 512 x 512 frame with a 512 x 512
// plane texture, a 256 x 256 bank patch and two 64 x 96 eye patches: grid resizing, the plane warp, the
// three composites, the 8-bit conversion, all of them together (each on one thread), and a whole
// block through the renderer on the fixture's exact test graphs (which cost next to nothing) with a thread
// budget of 1 (Arg 1) and of one thread per hardware thread (Arg 0).
#include <benchmark/benchmark.h>
#include <cmath>
#include <memory>
#include <vector>

#include "v2u/host/bilinear.h"
#include "v2u/host/frame_renderer.h"
#include "v2u/host/identity.h"
#include "v2u/host/warp.h"

namespace velmora::v2u {
namespace {

constexpr std::int64_t N = std::int64_t{FRAME} * FRAME;
const std::string FIX = VELMORA_SOURCE_DIR "/tests/fixtures/v2u/render/";

NdArray filled(Shape s, float (*f)(std::int64_t)) {
  NdArray a = NdArray::uninitialized(DType::Float32, s);
  for (std::int64_t i = 0; i < a.size(); ++i) a.data<float>()[i] = f(i);
  return a;
}

// A gently rotated and scaled grid of h x w points over the source space.
NdArray small_grid(int h, int w) {
  NdArray g = NdArray::uninitialized(DType::Float32, {h, w, 2});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double u = 2.0 * x / (w - 1) - 1, v = 2.0 * y / (h - 1) - 1;
      g.data<float>()[(y * w + x) * 2] = static_cast<float>(0.97 * u + 0.05 * v + 0.01 * std::sin(7 * v));
      g.data<float>()[(y * w + x) * 2 + 1] = static_cast<float>(-0.05 * u + 0.97 * v);
    }
  return g;
}

// A small grid resized to the frame, as the renderer resizes the motion graph's grids.
struct GridResize {
  LinearResize r{64, 64, FRAME, FRAME, 2};
  std::vector<float> scratch = std::vector<float>(static_cast<std::size_t>(r.scratch_size()));
  void operator()(const NdArray& small, float* out) { r.rows(small.data<float>(), 0, FRAME, out, scratch.data()); }
};

NdArray frame_grid() {
  NdArray g = NdArray::uninitialized(DType::Float32, {FRAME, FRAME, 2});
  GridResize()(small_grid(64, 64), g.data<float>());
  return g;
}

float wave(std::int64_t i) { return 0.5f + 0.4f * std::sin(static_cast<float>(i % 9973) * 0.01f); }
float unit(std::int64_t i) { return static_cast<float>((i * 7919) % 1000) / 1000.0f; }

const NdArray& texture() {
  static const NdArray t = cone(filled({1, 3, FRAME, FRAME}, wave));
  return t;
}

void BM_grid_resize(benchmark::State& st) {
  const NdArray s = small_grid(64, 64);
  GridResize resize;
  std::vector<float> out(static_cast<std::size_t>(N * 2));
  for (auto _ : st) {
    resize(s, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_grid_resize)->Unit(benchmark::kMillisecond);

void BM_warp_cone(benchmark::State& st) {
  const PlaneWarp w(texture());
  const NdArray g = frame_grid();
  std::vector<float> out(static_cast<std::size_t>(N * 3));
  for (auto _ : st) {
    w.warp(g.data<float>(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_warp_cone)->Unit(benchmark::kMillisecond);

// As the renderer holds them: one bank entry, one eye entry with a left and a right mask.
struct Patches {
  PatchSet bank{filled({1, 3, 256, 256}, unit), filled({1, 1, 256, 256}, unit)};
  PatchSet eye_l{filled({1, 3, 64, 96}, unit), filled({1, 1, 64, 96}, unit)};
  PatchSet eye_r{filled({1, 3, 64, 96}, unit), filled({1, 1, 64, 96}, wave)};
  Region roi_m{128, 384, 128, 384}, roi_e{200, 264, 150, 246};
};

void composite_all(Compositor& comp, const Patches& p, const float* gm, float* o) {
  comp.place(gm, p.roi_m, 256, 256);
  p.bank.blend(comp, o, 0);
  comp.place(gm, p.roi_e, 64, 96);
  p.eye_l.blend(comp, o, 0);
  p.eye_r.blend(comp, o, 0);
}

void BM_composite_bank_and_eyes(benchmark::State& st) {
  const Patches p;
  const NdArray gm = frame_grid();
  NdArray o = filled({3, FRAME, FRAME}, unit);
  Compositor comp;
  for (auto _ : st) {
    composite_all(comp, p, gm.data<float>(), o.data<float>());
    benchmark::DoNotOptimize(o.raw_data());
  }
}
BENCHMARK(BM_composite_bank_and_eyes)->Unit(benchmark::kMillisecond);

void BM_to_rgb8(benchmark::State& st) {
  const NdArray o = filled({3, FRAME, FRAME}, [](std::int64_t i) { return unit(i) * 2.2f - 1.1f; });
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(N * 3));
  for (auto _ : st) {
    to_rgb8(o.data<float>(), rgb.data());
    benchmark::DoNotOptimize(rgb.data());
  }
}
BENCHMARK(BM_to_rgb8)->Unit(benchmark::kMillisecond);

// Everything the renderer does per frame besides the graphs.
void BM_frame_stages(benchmark::State& st) {
  const PlaneWarp w(texture());
  const Patches p;
  const NdArray s = small_grid(64, 64);
  GridResize resize;
  std::vector<float> g(static_cast<std::size_t>(N * 2)), wrgb(static_cast<std::size_t>(N * 3));
  NdArray o = filled({3, FRAME, FRAME}, unit);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(N * 3));
  Compositor comp;
  for (auto _ : st) {
    resize(s, g.data());
    w.warp(g.data(), wrgb.data());
    resize(s, g.data());
    composite_all(comp, p, g.data(), o.data<float>());
    to_rgb8(o.data<float>(), rgb.data());
    benchmark::DoNotOptimize(rgb.data());
  }
}
BENCHMARK(BM_frame_stages)->Unit(benchmark::kMillisecond);

// A block of 4 frames through Renderer::run on the fixture's graphs, with a 512 x 512 texture.
void BM_renderer_block(benchmark::State& st) {
  auto idn = std::make_shared<Identity>(Identity::load(FIX + "identity.npz"));
  idn->planes = texture();
  const auto shared = std::shared_ptr<const Identity>(idn);
  Renderer rd(FIX + "motion.onnx", FIX + "lite.onnx", shared, static_cast<int>(st.range(0)));
  const NdArray xd(DType::Float32, {4, 21, 3});
  const NdArray sel = NdArray::of<std::int64_t>({0, 1, 2, 1}), sL = NdArray::of<std::int64_t>({0, 2, 0, 0}),
                sR = NdArray::of<std::int64_t>({0, 0, 3, 0});
  const Feeds f = rd.inputs(xd, sel, sL, sR);
  for (auto _ : st) {
    NdArray frames = rd.run(f);
    benchmark::DoNotOptimize(frames.raw_data());
  }
  st.SetItemsProcessed(st.iterations() * 4);
}
BENCHMARK(BM_renderer_block)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora::v2u

BENCHMARK_MAIN();
