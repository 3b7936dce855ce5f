// Throughput of our NumPy-exact normals and uniforms beside NumPy's own, measured in the same run: NumPy is
// timed once at start-up through Debian's /usr/bin/python3, and each benchmark reports NumPy's nanoseconds per
// draw ("numpy_ns") and how many times faster than NumPy we are ("x_numpy", above 1 when faster).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/numpy_random.h"
#include "common/run_captured.h"
#include "v2u/host/noise.h"

namespace {

constexpr std::size_t N = 1 << 20;

// Best-of-many seconds for one fill of N values by each method, in NumPy (into a preallocated array, so
// only drawing is timed, as below).
const char* NUMPY_TIMING = R"(
import sys, time
import numpy as np
n = int(sys.argv[1])
g = np.random.default_rng(1)
out = np.empty(n)
for name, fill in (("standard_normal", lambda: g.standard_normal(out=out)), ("random", lambda: g.random(out=out))):
    fill()
    best = min((lambda t0: (fill(), time.perf_counter() - t0)[1])(time.perf_counter()) for _ in range(30))
    print(name, best)
)";

std::map<std::string, double> numpy_seconds;

void measure_numpy() {
  const velmora::ProgramResult r = velmora::run_captured({"/usr/bin/python3", "-c", NUMPY_TIMING, std::to_string(N)});
  if (r.status != 0) {
    std::fprintf(stderr, "NumPy timing failed (status %d): %s\n", r.status, r.err.c_str());
    return;
  }
  const std::string out(r.out.begin(), r.out.end());
  char name[64];
  double seconds;
  for (const char* p = out.c_str(); std::sscanf(p, "%63s %lf", name, &seconds) == 2;) {
    numpy_seconds[name] = seconds;
    p = std::strchr(p, '\n');
    if (!p) break;
    ++p;
  }
}

template <class Fill>
void run_fill(benchmark::State& state, const char* numpy_name, Fill fill) {
  std::vector<double> out(N);
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    fill(out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  const double ours = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                      static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(N));
  state.counters["ns_per_draw"] = ours * 1e9 / N;
  if (auto it = numpy_seconds.find(numpy_name); it != numpy_seconds.end()) {
    state.counters["numpy_ns"] = it->second * 1e9 / N;
    state.counters["x_numpy"] = it->second / ours;
  }
}

void BM_StandardNormalFill(benchmark::State& state) {
  velmora::Generator g = velmora::default_rng(1);
  run_fill(state, "standard_normal", [&](std::vector<double>& out) { g.standard_normal(out); });
}
BENCHMARK(BM_StandardNormalFill)->Unit(benchmark::kMillisecond);

void BM_RandomFill(benchmark::State& state) {
  velmora::Generator g = velmora::default_rng(1);
  run_fill(state, "random", [&](std::vector<double>& out) { g.random(out); });
}
BENCHMARK(BM_RandomFill)->Unit(benchmark::kMillisecond);

// The eye scheduler's per-frame cost: 12 channels of AR(2) noise read a frame at a time.
void BM_AR2NoisePerFrame(benchmark::State& state) {
  std::vector<velmora::v2u::Ar2Channel> ar(12, {0.9, 0.05, 0.1});
  velmora::v2u::AR2Noise noise(ar, 5);
  std::int64_t t = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(noise.rows(t, t + 1));
    ++t;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AR2NoisePerFrame);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  measure_numpy();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
