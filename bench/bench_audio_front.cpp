// The render host's audio front end: the tempo stretch of one 44,000-sample window beside the NumPy reference
// on the same window, timed in the same run (through Debian's /usr/bin/python3, once before the first timed
// loop: "numpy_best_ms" and "numpy_median_ms" per window, and "x_numpy", how many times faster we are than
// NumPy's median), and the audio store's append-and-window cycle over a 10-minute stream fed in 20 ms steps.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/file_read.h"
#include "common/run_captured.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/sliding_pcm.h"
#include "mirel2/ostrand/wsola.h"

namespace {

const std::string FIXTURES = std::string(VELMORA_SOURCE_DIR) + "/tests/fixtures/wsola";

// Best and median seconds of one call over 30 calls after a warm-up.
const char* NUMPY_TIMING = R"(
import sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
from wsola_reference import tempo_wsola
x = np.fromfile(sys.argv[1] + "/speech.f32", dtype=np.float32)
tempo_wsola(x)
times = []
for _ in range(30):
    t0 = time.perf_counter()
    tempo_wsola(x)
    times.append(time.perf_counter() - t0)
times.sort()
print(times[0], times[len(times) // 2])
)";

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct NumpyTiming {
  double best = 0.0;  // 0 when the timing failed
  double median = 0.0;
};

// Measured once, at the first use (before any timed loop).
const NumpyTiming& numpy_timing() {
  static const NumpyTiming timing = [] {
    NumpyTiming t;
    const velmora::ProgramResult r = velmora::run_captured({"/usr/bin/python3", "-c", NUMPY_TIMING, FIXTURES});
    const std::string out(r.out.begin(), r.out.end());
    if (r.status != 0 || std::sscanf(out.c_str(), "%lf %lf", &t.best, &t.median) != 2) {
      std::fprintf(stderr, "NumPy timing failed (status %d): %s\n", r.status, r.err.c_str());
      t = {};
    }
    return t;
  }();
  return timing;
}

std::vector<float> speech_window() {
  const std::string bytes = velmora::read_file(FIXTURES + "/speech.f32");
  std::vector<float> x(bytes.size() / sizeof(float));
  std::memcpy(x.data(), bytes.data(), x.size() * sizeof(float));
  return x;
}

// One window as the renderer stretches it: into a buffer and a scratch made once.
void BM_TempoWsolaWindow(benchmark::State& state) {
  const std::vector<float> x = speech_window();
  if (x.size() != static_cast<std::size_t>(velmora::ostrand::WIN_SAMPLES)) {
    state.SkipWithError("speech.f32 is not one window");
    return;
  }
  const NumpyTiming& numpy = numpy_timing();
  std::vector<float> out(velmora::ostrand::TEMPO_SAMPLES);
  velmora::ostrand::WsolaScratch scratch;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    velmora::ostrand::tempo_wsola(x, out, scratch);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  const double ours = seconds_since(t0) / static_cast<double>(state.iterations());
  state.counters["ms"] = ours * 1e3;
  if (numpy.best > 0.0) {
    state.counters["numpy_best_ms"] = numpy.best * 1e3;
    state.counters["numpy_median_ms"] = numpy.median * 1e3;
    state.counters["x_numpy"] = numpy.median / ours;
  }
}
BENCHMARK(BM_TempoWsolaWindow)->Unit(benchmark::kMicrosecond);

// A 10-minute stream in 20 ms steps (30,000 appends of 320 samples), reading each chunk's window and dropping
// what the next chunk no longer needs, as the renderer does; one iteration is the whole stream.
void BM_SlidingPcmStream10Min(benchmark::State& state) {
  using namespace velmora::ostrand;
  constexpr int STEPS = 10 * 60 * 50;
  const std::vector<float> step(SR / 50, 0.25f);
  std::vector<float> window(WIN_SAMPLES);
  const auto window_start = [](std::int64_t c) { return (c <= 1 ? 0 : (c - 1) * STEADY_PX) * SPF; };
  std::int64_t allocations = 0;
  std::int64_t moved = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    detail::SlidingPcm pcm;
    std::int64_t ci = 0;
    for (int i = 0; i < STEPS; ++i) {
      pcm.append(step);
      while (pcm.fed() >= std::min((ci + 1) * SPC, window_start(ci) + WIN_SAMPLES)) {
        pcm.read(window_start(ci), window, (ci + 1) * SPC);
        benchmark::DoNotOptimize(window.data());
        ++ci;
        pcm.discard_before(window_start(ci));
      }
    }
    allocations = pcm.counters().allocations;
    moved = pcm.moved_samples();
  }
  state.counters["ns_per_step"] = seconds_since(t0) * 1e9 / static_cast<double>(state.iterations() * STEPS);
  state.counters["allocations"] = static_cast<double>(allocations);
  state.counters["moved_samples"] = static_cast<double>(moved);
}
BENCHMARK(BM_SlidingPcmStream10Min)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
