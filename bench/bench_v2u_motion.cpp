// The motion stages' own work beside their inference runs: each stage's full call on the fixture packs, and
// the same graph runs alone with inputs of the same shapes. The fixture graphs are tiny, so the difference of
// the two is the stage's own cost (window slides, feed building, interpolation, group means, splines).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "v2u/host/detector.h"
#include "v2u/host/encoder.h"
#include "v2u/host/head.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {
namespace {

const std::string MOTION = VELMORA_SOURCE_DIR "/tests/fixtures/v2u/motion/";

const Pack& pack(const std::string& name) {
  static std::map<std::string, std::unique_ptr<Pack>> packs;
  auto& p = packs[name];
  if (!p) p = std::make_unique<Pack>(MOTION + name);
  return *p;
}

NdArray ramp(DType t, Shape s) {
  NdArray a(DType::Float64, s);
  for (std::int64_t i = 0; i < a.size(); ++i) a.data<double>()[i] = ((i * 7919) % 10007) / 10007.0 - 0.5;
  return a.astype(t);
}

// One prepared window, handed out as it is (the adapter's audio buffer is outside the stage).
class FixedAudio : public AudioWindow {
 public:
  NdArray window(std::int64_t, std::int64_t) override { return w_; }

 private:
  NdArray w_ = ramp(DType::Float32, {32000});
};

constexpr std::int64_t BLOCK = 16, AHEAD = 4;

void BM_enc_block(benchmark::State& st) {
  Enc enc(pack("main"));
  FixedAudio aud;
  std::int64_t b0 = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(enc.block(aud, b0, BLOCK, AHEAD));
    b0 = (b0 + BLOCK) % 4000;
  }
  st.SetItemsProcessed(st.iterations() * BLOCK);
}
BENCHMARK(BM_enc_block)->Unit(benchmark::kMicrosecond);

void BM_enc_graphs_only(benchmark::State& st) {
  const Pack& pk = pack("main");
  const NdArray z = ramp(DType::Float32, {1, 32000}), x = ramp(DType::Float32, {BLOCK, 640});
  for (auto _ : st) {
    benchmark::DoNotOptimize(pk.s_trunk.run({{pk.trunk_in.c_str(), z}}, {pk.trunk_out.c_str()}));
    benchmark::DoNotOptimize(pk.s_head.run({{"x", x}}, {"emb"}));
  }
  st.SetItemsProcessed(st.iterations() * BLOCK);
}
BENCHMARK(BM_enc_graphs_only)->Unit(benchmark::kMicrosecond);

std::vector<NdArray> tokens() {
  std::vector<NdArray> t;
  for (int k = 0; k < 8; ++k) t.push_back(ramp(DType::Float16, {4, 3, 768}));
  return t;
}

void BM_det_step(benchmark::State& st, const char* name) {
  const Pack& pk = pack(name);
  DetS det(pk, ramp(DType::Float64, {126}));
  const std::vector<NdArray> feats = tokens();
  std::size_t k = 0;
  for (auto _ : st) benchmark::DoNotOptimize(det.step(feats[k++ % feats.size()]));
}
BENCHMARK_CAPTURE(BM_det_step, main, "main")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_det_step, wide, "wide")->Unit(benchmark::kMicrosecond);

void BM_det_graphs_only(benchmark::State& st, const char* name) {
  const Pack& pk = pack(name);
  const std::int64_t W = pk.W_TOK;
  const NdArray feat = ramp(DType::Float32, {1, W * 4, 3, 768}), hist = ramp(DType::Float32, {1, W, 4 * pk.F});
  const NdArray valid(DType::Bool, {1, W}), tokv(DType::Bool, {1, W}), idv = ramp(DType::Float32, {1, 126});
  const NdArray x0 = ramp(DType::Float32, {1, pk.flow_D});
  for (auto _ : st) {
    std::vector<NdArray> out = pk.s_det.run({{"feat", feat}, {"hist", hist}, {"valid", valid}, {"tokv", tokv}, {"idv", idv}});
    benchmark::DoNotOptimize(pk.s_dflow->run({{"h", out[1]}, {"x0", x0}}, {"fl"}));
  }
}
BENCHMARK_CAPTURE(BM_det_graphs_only, main, "main")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_det_graphs_only, wide, "wide")->Unit(benchmark::kMicrosecond);

constexpr std::int64_t NH = 288;  // the main detector's hidden output

void BM_head_step(benchmark::State& st) {
  NumpyNoise noise(3);
  HeadL head(pack("main"), ramp(DType::Float64, {129}), noise);
  const std::vector<NdArray> feats = tokens();
  const NdArray h = ramp(DType::Float32, {1, NH});
  std::size_t k = 0;
  for (auto _ : st) benchmark::DoNotOptimize(head.step(feats[k++ % feats.size()], h));
}
BENCHMARK(BM_head_step)->Unit(benchmark::kMicrosecond);

void BM_head_graphs_only(benchmark::State& st) {
  const Pack& pk = pack("main");
  const NdArray f = ramp(DType::Float32, {1, 1, 4, 3, 768}), hh = ramp(DType::Float32, {1, 1, NH});
  const NdArray hist = ramp(DType::Float32, {1, 1, 4, 3}), lprev = ramp(DType::Float32, {1, 1});
  const NdArray tok(DType::Int64, {1, 1}), idt = ramp(DType::Float32, {1, 129}), hid = ramp(DType::Float32, {1, 2, 8});
  const NdArray pose = ramp(DType::Float32, {1, 3}), k0(DType::Float32, {1}), code(DType::Int64, {1});
  const NdArray u = ramp(DType::Float32, {1}), x0 = ramp(DType::Float32, {1, 10}), lpn = ramp(DType::Float32, {1});
  for (auto _ : st) {
    std::vector<NdArray> c = pk.s_hctx.run({{"f", f}, {"hh", hh}, {"shist", hist}, {"fhist", hist}, {"lprev", lprev}, {"tok", tok},
                                            {"idt", idt}, {"hid", hid}, {"pose_deg", pose}, {"k0", k0}});
    benchmark::DoNotOptimize(pk.s_hdraw.run({{"g", c[0]}, {"code", code}, {"u", u}, {"x0", x0}, {"lpn", lpn}}));
  }
}
BENCHMARK(BM_head_graphs_only)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora::v2u
BENCHMARK_MAIN();
