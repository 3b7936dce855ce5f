// How the frames of a live audio source arrive, family by family, through the Avatar API: 10 s of a tone as a
// stream of items of `item` samples (16 kHz), pulled as fast as the engine asks for them, on
//   mirel2   the real tarnhost on the LiteRT stand-in (tests/velmora/outside/support: a stand-in bundle);
//   session  a "vantor2-light" avatar on the session runtime's stand-in;
//   fixture  a "vantor1" fixture avatar of 416 x 720 on the fixture runtime's stand-in.
// A burst is the frames that come after one pull of the source and before the next. Counters:
//   first_samples  audio pulled from the source when the first frame came;
//   first_frames   frames of the first burst;
//   first_ms       time from handing over the item that completed the first frame to that frame;
//   first_last_ms  the same, to the first burst's last frame;
//   burst_frames, burst_samples, burst_ms  for the later bursts before the source ends (the median of each):
//                  their frames, the audio pulled from one burst to the next, and the time from handing over
//                  the item to the burst's last frame;
//   items/s, frames/s  the pace of the whole render.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "velmora/outside/support/standin_avatars.h"
#include "velmora/velmora.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using velmora::AudioItem;
using velmora::Generator;

constexpr double SECONDS = 10.0;
const char* const FAMILIES[] = {"mirel2", "session", "fixture"};

struct Pulls {
  std::vector<std::size_t> samples;  // audio handed over after each pull
  std::vector<Clock::time_point> at;  // when each item was handed over
};

Generator<AudioItem> live(std::shared_ptr<const std::vector<std::int16_t>> audio, std::size_t item,
                          std::shared_ptr<Pulls> pulls) {
  for (std::size_t at = 0; at < audio->size(); at += item) {
    const std::size_t n = std::min(item, audio->size() - at);
    pulls->samples.push_back(at + n);
    pulls->at.push_back(Clock::now());
    AudioItem next = AudioItem::samples(std::span<const std::int16_t>(audio->data() + at, n));
    co_yield std::move(next);
  }
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string avatar_of(int family, const velmora::testing::TempDir& dir) {
  switch (family) {
    case 0:
      return velmora::testing::mirel2_bundle().write_directory(dir.path() / "m2");
    case 1:
      dir.write("light/manifest.json", R"({"engine": "vantor2-light"})");
      return (dir.path() / "light").string();
    default:
      return dir.write("face.v1", "vantor1-fixture 416 720\n");
  }
}

void BM_LiveStream(benchmark::State& state) {
  const int family = static_cast<int>(state.range(0));
  const auto item = static_cast<std::size_t>(state.range(1));
  state.SetLabel(FAMILIES[family]);
  velmora::testing::TempDir dir;
  velmora::testing::ScopedEnv cache("VELMORA_CACHE_DIR", (dir.path() / "cache").string());
  velmora::Avatar avatar = velmora::open(avatar_of(family, dir));
  const auto audio = std::make_shared<const std::vector<std::int16_t>>(velmora::testing::tone(SECONDS));

  std::map<std::string, double> figures;
  std::int64_t frames = 0, items = 0;
  for (auto _ : state) {
    auto pulls = std::make_shared<Pulls>();
    // Per frame: the pulls made when it came, and when it came.
    std::vector<std::size_t> pulls_before;
    std::vector<Clock::time_point> came;
    for (const velmora::Frame& frame : avatar.render(velmora::AudioInput::stream(live(audio, item, pulls)))) {
      benchmark::DoNotOptimize(frame.data.get());
      pulls_before.push_back(pulls->samples.size());
      came.push_back(Clock::now());
    }
    if (came.empty()) {
      state.SkipWithError("no frame came");
      return;
    }
    const auto ms = [](Clock::time_point from, Clock::time_point to) {
      return std::chrono::duration<double, std::milli>(to - from).count();
    };
    std::vector<double> burst_frames, burst_samples, burst_ms;
    std::size_t previous_at = 0;  // audio pulled at the previous burst
    for (std::size_t f = 0; f < came.size();) {
      std::size_t g = f;
      while (g < came.size() && pulls_before[g] == pulls_before[f]) ++g;
      const std::size_t pull = pulls_before[f] - 1;  // the item handed over last
      const double to_last = ms(pulls->at[pull], came[g - 1]);
      if (f == 0) {
        figures["first_samples"] = static_cast<double>(pulls->samples[pull]);
        figures["first_frames"] = static_cast<double>(g);
        figures["first_ms"] = ms(pulls->at[pull], came[0]);
        figures["first_last_ms"] = to_last;
      } else if (pull + 1 < pulls->samples.size()) {
        burst_frames.push_back(static_cast<double>(g - f));
        burst_samples.push_back(static_cast<double>(pulls->samples[pull] - previous_at));
        burst_ms.push_back(to_last);
      }
      previous_at = pulls->samples[pull];
      f = g;
    }
    figures["burst_frames"] = median(burst_frames);
    figures["burst_samples"] = median(burst_samples);
    figures["burst_ms"] = median(burst_ms);
    frames += static_cast<std::int64_t>(came.size());
    items += static_cast<std::int64_t>(pulls->samples.size());
  }
  for (const auto& [name, value] : figures) state.counters[name] = value;
  state.counters["items/s"] = benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  avatar.close();
}
BENCHMARK(BM_LiveStream)
    ->ArgNames({"family", "item"})
    ->ArgsProduct({{0, 1, 2}, {160, 320, 1600, 3200, 16000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
