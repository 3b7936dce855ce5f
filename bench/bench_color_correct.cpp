// Colour correction of one 416 x 720 RGB888 frame (table and gain/bias forms), and reading a model-sized member
// from each bundle form.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "common/bundle.h"
#include "mirel2/ostrand/color_correct.h"
#include "mirel2/ostrand/constants.h"
#include "support/bundle_fixture.h"

namespace {

using namespace velmora::ostrand;

std::vector<std::uint8_t> frame() {
  std::vector<std::uint8_t> f(FRAME_BYTES);
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i * 31 + i / 7);
  return f;
}

void apply_frames(benchmark::State& state, const ColorCorrect& cc) {
  const auto in = frame();
  std::vector<std::uint8_t> out(in.size());
  for (auto _ : state) {
    cc.apply(in, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_ApplyLut(benchmark::State& state) {
  LutRows rows{};
  for (int k = 0; k < 3; ++k)
    for (int v = 0; v < 256; ++v) rows[k][v] = static_cast<std::uint8_t>(255 - v);
  apply_frames(state, ColorCorrect{.kind = "lut", .lut = rows, .gain = {}, .bias = {}, .source = ""});
}
BENCHMARK(BM_ApplyLut);

void BM_ApplyGainBias(benchmark::State& state) {
  apply_frames(state, ColorCorrect{.kind = "gain_bias", .lut = {}, .gain = ChannelValues{1.1f, 0.9f, 1.0f},
                                   .bias = ChannelValues{-3.0f, 2.5f, 0.0f}, .source = ""});
}
BENCHMARK(BM_ApplyGainBias);

void BM_MemberBytes(benchmark::State& state) {
  const auto root = std::filesystem::temp_directory_path() / "bench_color_correct_bundles";
  std::string model(16 << 20, '\0');
  for (std::size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>(i * 13 + i / 4099);
  const auto paths = velmora::testing::BundleFixture{{"x/combined_litert.tflite", model}}.write_forms(root);
  const std::string which[] = {paths.directory + "/x", paths.imx, paths.zip};
  const std::string& p = which[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(velmora::member_bytes(p, {"combined_litert.tflite"}));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * model.size()));
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_MemberBytes)->Arg(0)->Arg(1)->Arg(2)->ArgNames({"dir|imx|zip"})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
