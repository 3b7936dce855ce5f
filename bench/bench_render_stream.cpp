// The render host's own cost around inference, with stand-in decoders that compute nothing (the LiteRT
// stand-in's noop kernel; the encoder, tokenizer and step kernels are cheap formulas):
//   BM_HostThroughput   tarnhost end to end through its pipes: 120 s of audio in 0.5 s steps, then a
//                       flush, every frame record read: "frames/s" from the first record to the last,
//                       "overall_frames/s" from the start of the process, "ready_ms" until the hello line;
//   BM_RendererChunk    the streaming renderer in-process, one steady chunk (32 frames) per iteration.
// Beside them, the NumPy reference of the same pipeline (tests/fixtures/render_stream/pipeline_reference.py)
// on the same audio in the same steps, timed in the same run through Debian's /usr/bin/python3 before the first
// timed loop: "numpy_frames/s" and "numpy_ms_per_chunk", and "x_numpy", how many times faster we are. The
// reference's stages per chunk are printed once on standard error.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_captured.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/litert_chain.h"
#include "mirel2/ostrand/renderer.h"
#include "mirel2/ostrand/rgb888.h"
#include "support/process.h"
#include "mirel2/ostrand/support/render_stream.h"

namespace {

using namespace velmora::ostrand;
namespace t = velmora::ostrand::testing;

constexpr std::int64_t SECONDS = 120;
constexpr std::int64_t STEP = SR / 2;

std::vector<t::Step> session() {
  std::vector<t::Step> steps;
  for (std::int64_t fed = 0; fed < SECONDS * SR; fed += STEP) steps.push_back({t::Step::Feed, STEP});
  steps.push_back({t::Step::Flush, 0});
  return steps;
}

// Frames, seconds and chunks of the reference over the session, then its seconds per stage.
const char* NUMPY_TIMING = R"(
import sys, time
sys.path.insert(0, sys.argv[1])
import pipeline_reference as pr
seconds, step, threads = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
steps = [["feed", step]] * (seconds * pr.SR // step) + [["flush"]]
r = pr.Renderer(pr.StandinChain(pr.canon(), dec_kernel="noop"), None, rgb_threads=threads)
frames = []
t0 = time.perf_counter()
pr.run_session(r, steps, lambda index, view: frames.append(index))
total = time.perf_counter() - t0
print(sum(1 for i in frames if i >= 0), total, r._c_n)
for name, s in r.stage_seconds.items():
    print(name.replace(" ", "_"), s)
)";

struct NumpyTiming {
  double frames = 0, seconds = 0, chunks = 0;
  std::string stages;
};

const NumpyTiming& numpy_timing() {
  static const NumpyTiming timing = [] {
    NumpyTiming n;
    const auto r = velmora::run_captured({"/usr/bin/python3", "-c", NUMPY_TIMING,
                                          std::string(VELMORA_SOURCE_DIR) + "/tests/fixtures/render_stream",
                                          std::to_string(SECONDS), std::to_string(STEP), std::to_string(rgb_threads())});
    std::istringstream out(std::string(r.out.begin(), r.out.end()));
    if (r.status != 0 || !(out >> n.frames >> n.seconds >> n.chunks)) {
      std::fprintf(stderr, "NumPy timing failed (status %d): %s\n", r.status, r.err.c_str());
      return NumpyTiming{};
    }
    std::string name;
    double s;
    while (out >> name >> s) {
      char line[128];
      std::snprintf(line, sizeof line, "  %-16s %8.2f ms per chunk\n", name.c_str(), s * 1e3 / n.chunks);
      n.stages += line;
    }
    std::fprintf(stderr, "NumPy reference, %d RGB workers: %.0f frames in %.2f s (%.1f frames/s)\n%s",
                 rgb_threads(), n.frames, n.seconds, n.frames / n.seconds, n.stages.c_str());
    return n;
  }();
  return timing;
}

std::filesystem::path bench_dir() {
  return std::filesystem::temp_directory_path() / ("velmora-bench-render-stream-" + std::to_string(::getpid()));
}

void BM_HostThroughput(benchmark::State& state) {
  using clock = std::chrono::steady_clock;
  auto seconds_between = [](clock::time_point a, clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
  const NumpyTiming& numpy = numpy_timing();
  const std::string bundle = t::write_standin_bundle(bench_dir() / "bundle", "noop");
  const std::string input = t::session_input(session());
  double steady_frames = 0, steady_seconds = 0, all_frames = 0, all_seconds = 0, ready_seconds = 0;
  for (auto _ : state) {
    t::OutputReader reader(false, false);
    const auto t0 = clock::now();
    clock::time_point ready{}, first{}, last{};
    std::int64_t frames_at_first = 0;
    velmora::testing::ProcessOptions options;
    options.on_out = [&](std::string_view data) {
      const std::int64_t before = reader.frames();
      reader.consume(data);
      const auto now = clock::now();
      if (ready == clock::time_point{} && !reader.hello().empty()) ready = now;
      if (reader.frames() == before) return;
      if (first == clock::time_point{}) first = now, frames_at_first = reader.frames();
      last = now;
    };
    const auto r = velmora::testing::run_process({t::TARNHOST, "render-stream", bundle}, input, options);
    const double elapsed = seconds_between(t0, clock::now());
    if (r.status != 0 || reader.out_of_order() != 0 || first == clock::time_point{}) {
      state.SkipWithError(("host failed: " + r.err).c_str());
      break;
    }
    state.SetIterationTime(elapsed);
    // Steady: from the first frame record to the last (model load and the first chunk's page faults left out).
    steady_frames += static_cast<double>(reader.frames() - frames_at_first);
    steady_seconds += seconds_between(first, last);
    all_frames += static_cast<double>(reader.frames());
    all_seconds += elapsed;
    ready_seconds += seconds_between(t0, ready);
  }
  std::filesystem::remove_all(bench_dir());
  if (steady_seconds <= 0) return;
  const double rate = steady_frames / steady_seconds;
  state.counters["frames/s"] = rate;
  state.counters["x_realtime"] = rate / FPS;
  state.counters["overall_frames/s"] = all_frames / all_seconds;
  state.counters["ready_ms"] = ready_seconds / static_cast<double>(state.iterations()) * 1e3;
  if (numpy.seconds > 0) {
    state.counters["numpy_frames/s"] = numpy.frames / numpy.seconds;
    state.counters["x_numpy"] = rate / (numpy.frames / numpy.seconds);
  }
}
BENCHMARK(BM_HostThroughput)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_RendererChunk(benchmark::State& state) {
  const NumpyTiming& numpy = numpy_timing();
  std::filesystem::create_directories(bench_dir());
  const std::string model = velmora::testing::standin::write_model(
      (bench_dir() / "noop.json").string(), velmora::testing::standin::combined_signatures("noop"));
  LitertChain chain({model}, t::reference_canon(), 1);
  std::filesystem::remove_all(bench_dir());
  Renderer renderer(chain, nullptr);
  std::vector<float> pcm(SPC);
  std::int64_t sent = 0;
  auto next_audio = [&] {
    for (auto& v : pcm) v = t::test_audio(sent++);
  };
  std::int64_t frames = 0;
  const FrameSink sink = [&](std::span<const FramePair> pairs) { frames += static_cast<std::int64_t>(pairs.size()); };
  // Past the first chunks, whose buffers are still growing.
  for (int i = 0; i < 3; ++i) {
    next_audio();
    renderer.feed(pcm);
    renderer.ready_chunks(sink);
  }
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    state.PauseTiming();
    next_audio();
    state.ResumeTiming();
    renderer.feed(pcm);
    renderer.ready_chunks(sink);
  }
  const double per_chunk = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                           static_cast<double>(state.iterations());
  state.counters["ms_per_chunk"] = per_chunk * 1e3;
  state.counters["frames/s"] = STEADY_PX / per_chunk;
  if (numpy.chunks > 0) {
    state.counters["numpy_ms_per_chunk"] = numpy.seconds / numpy.chunks * 1e3;
    state.counters["x_numpy"] = (numpy.seconds / numpy.chunks) / per_chunk;
  }
}
BENCHMARK(BM_RendererChunk)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
