// The interpreter chain's own cost around inference: decoder rows for a steady chunk, and run_dec_frames with
// decoders that compute nothing (the LiteRT stand-in's noop kernel), so what is measured is our copying of rows
// into the decoder inputs and of outputs into the reused frame buffer.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mirel2/ostrand/dec_inputs.h"
#include "mirel2/ostrand/litert_chain.h"
#include "standins/litert/standin_models.h"

namespace {

using velmora::ReusableBuffer;
using namespace velmora::ostrand;
namespace standin = velmora::testing::standin;

std::vector<std::vector<float>> latents(int count) {
  std::vector<std::vector<float>> out;
  for (int j = 0; j < count; ++j) out.emplace_back(CANON_SIZE, static_cast<float>(j) / 8.0f);
  return out;
}

void BM_BuildDecInputsSteadyChunk(benchmark::State& state) {
  const auto store = latents(9);
  std::vector<LatentView> lats(store.begin() + 1, store.end());
  const LatentView prev = store[0];
  ReusableBuffer<float> xs;
  for (auto _ : state) {
    benchmark::DoNotOptimize(build_dec_inputs(lats, STEADY_LAT, prev, xs));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 32 * DEC_ROW_VALUES * 4);
}
BENCHMARK(BM_BuildDecInputsSteadyChunk)->Unit(benchmark::kMillisecond);

void BM_RunDecFramesZeroCostDecoder(benchmark::State& state) {
  const auto dir = std::filesystem::temp_directory_path() / "velmora-bench-litert-chain";
  std::filesystem::create_directories(dir);
  const std::string path = standin::write_model((dir / "noop.json").string(), standin::combined_signatures("noop"));
  LitertChain chain({path}, std::vector<float>(CANON_SIZE, 0.0f), 1);
  std::filesystem::remove_all(dir);

  const int n = static_cast<int>(state.range(0));
  const std::vector<float> xs(static_cast<std::size_t>(n) * DEC_ROW_VALUES, 0.5f);
  DecodedFrames frames;
  chain.run_dec_frames(xs, n, frames);  // the first chunk sizes the buffers
  for (auto _ : state) {
    chain.run_dec_frames(xs, n, frames);
    benchmark::DoNotOptimize(frames.values().data());
    benchmark::ClobberMemory();
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RunDecFramesZeroCostDecoder)->Arg(32)->Arg(21)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
