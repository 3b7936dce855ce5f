// The unified renderer's own numeric stages beside inference: per-block standardisation, per-frame float16
// rounding, spline weights, the eye path lookup, rotations, the stitching network and the plane texture.
#include <benchmark/benchmark.h>

#include <vector>

#include "v2u/host/identity.h"
#include "v2u/host/numerics.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {
namespace {

NdArray ramp(DType t, Shape s) {
  NdArray a(DType::Float64, s);
  for (std::int64_t i = 0; i < a.size(); ++i) a.data<double>()[i] = ((i * 7919) % 10007) / 10007.0 - 0.5;
  return a.astype(t);
}

void BM_zscore_window(benchmark::State& st) {
  const NdArray w = ramp(DType::Float32, {32000});
  std::vector<float> out(32000);
  for (auto _ : st) {
    zscore_native(w, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_zscore_window);

void BM_f16rt_head_rows(benchmark::State& st) {
  const NdArray e = ramp(DType::Float32, {12, 768});
  std::vector<float> out(12 * 768);
  for (auto _ : st) {
    f16rt(e.values<float>(), out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_f16rt_head_rows);

void BM_bweights_scalar(benchmark::State& st) {
  double w[4];
  double u = 0.25;
  for (auto _ : st) {
    bweights(u, 3, w);
    benchmark::DoNotOptimize(w);
  }
}
BENCHMARK(BM_bweights_scalar);

void BM_path_delta_frame(benchmark::State& st) {
  const NdArray d = ramp(DType::Float64, {8, 12});
  NdArray c(DType::Float64, {8});
  for (int i = 0; i < 8; ++i) c.data<double>()[i] = i * 0.15;
  const NdArray u = ramp(DType::Float64, {12});
  const NdArray p = NdArray::of<double>({0.4, 0.7});
  std::vector<double> row(12);
  for (auto _ : st) {
    path_delta(0.4, d, c, u, row);
    path_delta(0.7, d, c, u, row);
    benchmark::DoNotOptimize(row.data());
  }
}
BENCHMARK(BM_path_delta_frame);

void BM_rotvec_block(benchmark::State& st) {
  const NdArray w = ramp(DType::Float64, {16, 3});
  for (auto _ : st) benchmark::DoNotOptimize(rotvec_to_rotmat(w));
}
BENCHMARK(BM_rotvec_block);

void BM_stitch_block(benchmark::State& st) {
  const Pack pk(VELMORA_SOURCE_DIR "/tests/fixtures/v2u/pack");
  const NdArray xs = ramp(DType::Float32, {16, 21, 3});
  const NdArray xd = ramp(DType::Float64, {16, 21, 3});
  for (auto _ : st) benchmark::DoNotOptimize(pk.stitch(xs, xd));
}
BENCHMARK(BM_stitch_block);

void BM_cone_identity(benchmark::State& st) {
  const NdArray g = ramp(DType::Float32, {1, 3, 512, 512});
  for (auto _ : st) benchmark::DoNotOptimize(cone(g));
}
BENCHMARK(BM_cone_identity)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora::v2u
BENCHMARK_MAIN();
