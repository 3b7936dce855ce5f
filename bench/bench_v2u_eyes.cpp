// The unified renderer's eye events per frame: the schedulers' add and pop of whole blocks (hazard, draws,
// event track, eye columns, level choice) on a long stream, and the eye map and calibration lookups alone.
// Items are frames.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "common/json_convert.h"
#include "common/support/fixture.h"
#include "v2u/host/scheduler.h"

namespace velmora::v2u {
namespace {

// The first stream of the reference fixture: 40 events, 3 windows, 3 driving columns, 3 noise channels,
// 9 levels, a delta path of 6 knots.
struct Stream {
  json::Value k = json::parse(testing::read_fixture("v2u_eyes/eyes.json")).find("traces")->as_array()[0];
  E3Params g{*k.find("e3fit"), "eo"};
  NdArray P = json::to_array(*k.find("P"), DType::Float64);
  EyeMap emap{json::to_array(*k.find("e_img"), DType::Float64), P};
  NdArray d = json::to_array(*k.find("d"), DType::Float64), c = json::to_array(*k.find("c"), DType::Float64);
  NdArray EYE4 = json::to_array(*k.find("EYE4"), DType::Int64);
  XCal xc{NdArray::of<double>({0.8, 2.1, 3.0, 3.9, 5.2, 6.0, 6.8, 8.0}), P};

  std::unique_ptr<E3COpen> make(bool calibrated) const {
    AR2Noise noise(g.res, 77);
    if (calibrated) return std::make_unique<E3XBOpen>(g, emap, P, d, c, 12345, 0.3, std::move(noise), xc);
    return std::make_unique<E3COpen>(g, emap, P, d, c, 12345, 0.3, std::move(noise));
  }
};

NdArray ramp(Shape s, int salt) {
  NdArray a(DType::Float64, s);
  for (std::int64_t i = 0; i < a.size(); ++i) a.data<double>()[i] = ((i * 7919 + salt) % 2001 - 1000) / 4000.0;
  return a;
}

void blocks(benchmark::State& st, bool calibrated) {
  const Stream sm;
  const std::int64_t B = st.range(0);
  const NdArray rows = ramp({B, 69}, 1).astype(DType::Float32), fp = ramp({B, 2}, 2), fe = ramp({B}, 3);
  auto s = sm.make(calibrated);
  for (auto _ : st) {
    s->add(rows, fp, fe);
    benchmark::DoNotOptimize(s->pop(sm.EYE4));
  }
  st.SetItemsProcessed(st.iterations() * B);
}

void BM_e3copen_block(benchmark::State& st) { blocks(st, false); }
BENCHMARK(BM_e3copen_block)->Arg(4)->Arg(32)->Arg(256);

void BM_e3xbopen_block(benchmark::State& st) { blocks(st, true); }
BENCHMARK(BM_e3xbopen_block)->Arg(32);

void BM_eyemap_key_frame(benchmark::State& st) {
  const Stream sm;
  std::vector<double> f(256), out(512);
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = (i % 17) / 16.0;
  for (auto _ : st) {
    sm.emap.key(f, out);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetItemsProcessed(st.iterations() * 256);
}
BENCHMARK(BM_eyemap_key_frame);

void BM_xcal_keys_frame(benchmark::State& st) {
  const Stream sm;
  std::vector<double> kfl(512), out(512);
  for (std::size_t i = 0; i < kfl.size(); ++i) kfl[i] = (i % 23) / 22.0;
  for (auto _ : st) {
    sm.xc.keys(kfl, out);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetItemsProcessed(st.iterations() * 256);
}
BENCHMARK(BM_xcal_keys_frame);

}  // namespace
}  // namespace velmora::v2u
BENCHMARK_MAIN();
