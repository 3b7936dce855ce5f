// The MP4 writer's own cost and its memory over a long render:
//   BM_Mp4Encode/<width>/<height>/<threads>  pre-rendered RGB frames (a smooth moving face-like picture with
//                  a little noise, cycled) and their 16 kHz audio through Mp4Output at 25 fps: colour
//                  conversion, H.264 and AAC encoding and muxing into a file. "frames/s" on one encoder thread
//                  and with the encoder's default threads (0);
//   BM_Mp4RenderMemory/<minutes>/<stream>    the demo avatar (scripts/demo.py's bundle on the LiteRT stand-in,
//                  through the real tarnhost) rendered into an MP4 through the API, in a child process:
//                  "peak_MiB" is that process's peak resident memory, "host_peak_MiB" tarnhost's. The audio is
//                  10 s of the demo's speech-like sound repeated, as a WAV file or as a stream of 1 s items
//                  (stream=1). A stream's peak must stay flat from 1 to 10 minutes; a file's grows by twice its
//                  PCM (32 KB a second): the whole clip the API converts before the engine starts, and the
//                  writer's copy of it for the audio track.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/run_captured.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "velmora/outside/mp4_output.h"
#include "velmora/support/scratch.h"
#include "velmora/velmora.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::Frame;

constexpr int FPS = 25;
constexpr int SR = 16000;

// A picture a little like a face on a backdrop: smooth gradients, an oval, and a mouth whose opening moves
// with `t`, plus low noise, so the encoder sees motion and texture but not static.
Frame picture(int width, int height, int t) {
  auto pixels = std::make_shared<std::vector<std::byte>>(static_cast<std::size_t>(width) * height * 3);
  std::uint32_t noise = 12345u + static_cast<std::uint32_t>(t) * 7919u;
  const double open = 0.04 + 0.03 * std::sin(t * 0.7);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = (x - width * 0.5) / (width * 0.32), v = (y - height * 0.5) / (height * 0.4);
      const bool face = u * u + v * v <= 1.0;
      const bool mouth = std::fabs(v - 0.45) < open && std::fabs(u) < 0.35;
      double r = 60 + 80.0 * y / height, g = 70 + 40.0 * x / width, b = 110;
      if (face) r = 205 - 30 * v, g = 160 - 25 * v, b = 130 - 20 * v;
      if (mouth) r = 90, g = 30, b = 40;
      noise = noise * 1664525u + 1013904223u;
      const int n = static_cast<int>(noise >> 29) - 4;
      std::byte* px = pixels->data() + (static_cast<std::size_t>(y) * width + x) * 3;
      px[0] = static_cast<std::byte>(std::clamp(static_cast<int>(r) + n, 0, 255));
      px[1] = static_cast<std::byte>(std::clamp(static_cast<int>(g) + n, 0, 255));
      px[2] = static_cast<std::byte>(std::clamp(static_cast<int>(b) + n, 0, 255));
    }
  }
  Frame f;
  f.data = std::shared_ptr<const std::byte>(pixels, pixels->data());
  f.bytes = pixels->size();
  f.shape = {static_cast<std::size_t>(height), static_cast<std::size_t>(width), 3};
  return f;
}

void BM_Mp4Encode(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  std::vector<Frame> frames;
  for (int t = 0; t < 50; ++t) frames.push_back(picture(width, height, t));
  std::vector<std::uint8_t> pcm(SR / FPS * 2);
  for (std::size_t i = 0; i < pcm.size() / 2; ++i) {
    const auto s = static_cast<std::int16_t>(6000 * std::sin(0.09 * static_cast<double>(i)));
    std::memcpy(pcm.data() + 2 * i, &s, 2);
  }
  velmora::testing::TempDir dir;
  velmora::detail::Mp4Settings settings;
  settings.threads = static_cast<int>(state.range(2));
  velmora::detail::Mp4Output out((dir.path() / "bench.mp4").string(), settings);
  std::size_t i = 0;
  for (auto _ : state) {
    out.add_pcm(pcm);
    out.add_frame(frames[i++ % frames.size()], FPS);
  }
  out.commit();  // after the timed loop
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["KiB/frame"] =
      static_cast<double>(fs::file_size(dir.path() / "bench.mp4")) / 1024.0 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Mp4Encode)
    ->ArgNames({"width", "height", "threads"})
    ->Args({416, 720, 1})
    ->Args({416, 720, 0})
    ->Args({512, 512, 1})
    ->Args({512, 512, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- memory over a long render, in a child process -------------------------------------------------------

std::string self_path;

struct DemoAvatar {
  velmora::testing::TempDir dir;
  std::string bundle, speech_f32;
};

const DemoAvatar& demo_avatar() {
  static DemoAvatar d;
  static const bool made = [] {
    d.bundle = (d.dir.path() / "bundle").string();
    d.speech_f32 = (d.dir.path() / "speech.f32").string();
    const std::string script = "import sys; sys.path.insert(0, sys.argv[1]); import demo; demo.make_bundle(sys.argv[2]); "
                               "demo.speech_like(10.0).tofile(sys.argv[3])";
    const auto r = velmora::run_captured({"/usr/bin/python3", "-c", script, std::string(VELMORA_SOURCE_DIR) + "/scripts",
                                          d.bundle, d.speech_f32});
    if (r.status != 0) std::fprintf(stderr, "making the demo avatar failed: %s\n", r.err.c_str());
    return r.status == 0;
  }();
  (void)made;
  return d;
}

// The demo's float32 speech as s16 samples.
std::vector<std::int16_t> speech_samples(const std::string& f32) {
  std::ifstream in(f32, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> s(bytes.size() / 4);
  for (std::size_t i = 0; i < s.size(); ++i) {
    float v;
    std::memcpy(&v, bytes.data() + 4 * i, 4);
    s[i] = static_cast<std::int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767);
  }
  return s;
}

velmora::Generator<velmora::AudioItem> repeated(std::vector<std::int16_t> base, std::int64_t seconds) {
  for (std::int64_t s = 0; s < seconds; ++s) {
    const std::size_t at = static_cast<std::size_t>(s % static_cast<std::int64_t>(base.size() / SR)) * SR;
    velmora::AudioItem item = velmora::AudioItem::samples(std::span<const std::int16_t>(base).subspan(at, SR));
    co_yield std::move(item);
  }
}

// The child: renders `seconds` of the demo speech through the avatar into `out`, then prints the frame count,
// its own peak memory and tarnhost's (KiB). (The child's peak as its parent sees it would include tarnhost's.)
int render_child(const std::string& bundle, const std::string& f32, std::int64_t seconds, bool stream,
                 const std::string& wav, const std::string& out) try {
  velmora::Avatar avatar = velmora::open(bundle);
  std::int64_t frames = 0;
  if (stream) {
    frames = avatar.render(velmora::AudioInput::stream(repeated(speech_samples(f32), seconds)), out);
  } else {
    frames = avatar.render(velmora::AudioInput::file(wav), out);
  }
  avatar.close();  // the host has ended and been waited for
  rusage self{}, children{};
  ::getrusage(RUSAGE_SELF, &self);
  ::getrusage(RUSAGE_CHILDREN, &children);
  std::printf("%lld %ld %ld\n", static_cast<long long>(frames), self.ru_maxrss, children.ru_maxrss);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "%s\n", e.what());
  return 1;
}

void BM_Mp4RenderMemory(benchmark::State& state) {
  const std::int64_t seconds = state.range(0) * 60;
  const bool stream = state.range(1) != 0;
  const DemoAvatar& demo = demo_avatar();
  velmora::testing::TempDir dir;
  const std::string wav = (dir.path() / "speech.wav").string();
  if (!stream) {
    const auto base = speech_samples(demo.speech_f32);
    std::vector<std::int16_t> all;
    all.reserve(static_cast<std::size_t>(seconds) * SR);
    while (static_cast<std::int64_t>(all.size()) < seconds * SR) all.insert(all.end(), base.begin(), base.end());
    all.resize(static_cast<std::size_t>(seconds) * SR);
    velmora::testing::write_wav(wav, SR, 1, all);
  }
  velmora::testing::ProcessResult r;
  for (auto _ : state) {
    r = velmora::testing::run_process({self_path, "--render-child", demo.bundle, demo.speech_f32, std::to_string(seconds),
                                       stream ? "1" : "0", wav, (dir.path() / "out.mp4").string()},
                                      "");
  }
  long long frames = 0;
  long self_kb = 0, host_kb = 0;
  if (r.status != 0 || std::sscanf(r.out.c_str(), "%lld %ld %ld", &frames, &self_kb, &host_kb) != 3) {
    state.SkipWithError(("render failed: " + r.err).c_str());
    return;
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["peak_MiB"] = static_cast<double>(self_kb) / 1024.0;
  state.counters["host_peak_MiB"] = static_cast<double>(host_kb) / 1024.0;
}
BENCHMARK(BM_Mp4RenderMemory)
    ->ArgNames({"minutes", "stream"})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({1, 1})
    ->Args({10, 1})
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 8 && std::string(argv[1]) == "--render-child") {
    return render_child(argv[2], argv[3], std::stoll(argv[4]), std::string(argv[5]) == "1", argv[6], argv[7]);
  }
  self_path = fs::read_symlink("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
