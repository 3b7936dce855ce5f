// RGB888 conversion of one 32-frame chunk (decoded planes to interleaved bytes with the colour correction), on
// 1 and 2 workers, beside the NumPy reference's px_to_rgb888_chunk (tests/fixtures/render_stream) timed in the
// same run through Debian's /usr/bin/python3, once before the first timed loop: "numpy_ms" per chunk (median of
// 20 calls) and "x_numpy", how many times faster we are.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_captured.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/rgb888.h"

namespace {

using namespace velmora::ostrand;

constexpr int FRAMES = STEADY_PX;
const char* const KINDS[] = {"none", "lut", "gain_bias"};

// Median seconds of one chunk conversion per (kind, workers), on frames like ours (values leave [0, 1]).
const char* NUMPY_TIMING = R"(
import sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import pipeline_reference as pr
frames = [((np.arange(3 * 720 * 416, dtype=np.int64) * 37 + k * 1009) % 1400 - 200).astype(np.float32).reshape(3, 720, 416) / np.float32(1000) for k in range(32)]
ccs = {"none": None,
       "lut": pr.ColorCorrect("lut", lut=np.stack([255 - np.arange(256), np.arange(256), np.full(256, 7)])),
       "gain_bias": pr.ColorCorrect("gain_bias", gain=[1.1, 0.9, 1.0], bias=[-3.0, 2.5, 0.0])}
for workers in (1, 2):
    for kind, cc in ccs.items():
        times = []
        for _ in range(21):
            px = [f.copy() for f in frames]  # the fast path scales its input in place
            t0 = time.perf_counter()
            pr.px_to_rgb888_chunk(px, cc, workers)
            times.append(time.perf_counter() - t0)
        times = sorted(times[1:])
        print(kind, workers, times[len(times) // 2])
)";

const std::map<std::string, double>& numpy_seconds() {
  static const std::map<std::string, double> seconds = [] {
    std::map<std::string, double> out;
    const auto r = velmora::run_captured(
        {"/usr/bin/python3", "-c", NUMPY_TIMING, std::string(VELMORA_SOURCE_DIR) + "/tests/fixtures/render_stream"});
    if (r.status != 0) {
      std::fprintf(stderr, "NumPy timing failed (status %d): %s\n", r.status, r.err.c_str());
      return out;
    }
    std::istringstream lines(std::string(r.out.begin(), r.out.end()));
    std::string kind;
    int workers;
    double s;
    while (lines >> kind >> workers >> s) out[kind + "/" + std::to_string(workers)] = s;
    return out;
  }();
  return seconds;
}

ColorCorrect correction(const std::string& kind) {
  if (kind == "lut") {
    LutRows rows{};
    for (int v = 0; v < 256; ++v) {
      rows[0][v] = static_cast<std::uint8_t>(255 - v);
      rows[1][v] = static_cast<std::uint8_t>(v);
      rows[2][v] = 7;
    }
    return {.kind = "lut", .lut = rows, .gain = {}, .bias = {}, .source = ""};
  }
  return {.kind = "gain_bias", .lut = {}, .gain = ChannelValues{1.1f, 0.9f, 1.0f},
          .bias = ChannelValues{-3.0f, 2.5f, 0.0f}, .source = ""};
}

void BM_RgbChunk(benchmark::State& state) {
  const std::string kind = KINDS[state.range(0)];
  const int workers = static_cast<int>(state.range(1));
  const auto& numpy = numpy_seconds();

  std::vector<float> values(std::size_t{FRAMES} * 3 * FH * FW);
  const std::size_t per_frame = std::size_t{3} * FH * FW;
  for (std::size_t k = 0; k < FRAMES; ++k)
    for (std::size_t i = 0; i < per_frame; ++i)
      values[k * per_frame + i] = static_cast<float>(static_cast<long>((i * 37 + k * 1009) % 1400) - 200) / 1000.0f;
  std::vector<std::span<const float>> frames;
  for (std::size_t k = 0; k < FRAMES; ++k) frames.emplace_back(values.data() + k * per_frame, per_frame);
  std::vector<std::uint8_t> out(std::size_t{FRAMES} * FRAME_BYTES);
  const ColorCorrect cc = correction(kind);
  const ColorCorrect* ccp = kind == "none" ? nullptr : &cc;
  RgbPoolSlot pool;
  px_to_rgb888_chunk(frames, ccp, workers, out, pool);  // the pool and the pages, before timing

  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    px_to_rgb888_chunk(frames, ccp, workers, out, pool);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  // Wall time: with workers, the calling thread mostly waits.
  const double ours = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                      static_cast<double>(state.iterations());
  state.counters["frames/s"] = FRAMES / ours;
  if (auto it = numpy.find(kind + "/" + std::to_string(workers)); it != numpy.end()) {
    state.counters["numpy_ms"] = it->second * 1e3;
    state.counters["x_numpy"] = it->second / ours;
  }
}
BENCHMARK(BM_RgbChunk)
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->ArgNames({"none|lut|gain_bias", "workers"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
