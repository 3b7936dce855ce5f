// What the Avatar's render loop adds per frame (counter, clock reading, closed test, hand-over), beside
// iterating the engine's own generator directly. Frames share one buffer, so only the loop is measured.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "velmora/avatar.hpp"
#include "velmora/engine.hpp"

namespace {

using velmora::Frame;
using velmora::Generator;
using velmora::Pcm;

constexpr std::size_t FRAMES = 10000;

// FRAMES frames for every chunk, whatever its size: the audio costs nothing here.
Generator<Frame> frames_of(Frame frame, Generator<Pcm> chunks) {
  while (auto chunk = chunks.next()) {
    for (std::size_t i = 0; i < FRAMES; ++i) {
      Frame f = frame;
      co_yield std::move(f);
    }
  }
}

class LoopEngine : public velmora::Engine {
 public:
  LoopEngine() {
    auto pixels = std::make_shared<std::vector<std::byte>>(512 * 512 * 3);
    frame_.data = std::shared_ptr<const std::byte>(pixels, pixels->data());
    frame_.bytes = pixels->size();
    frame_.shape = {512, 512, 3};
  }
  Generator<Frame> frames(Generator<Pcm> chunks) override { return frames_of(frame_, std::move(chunks)); }
  void interrupt() override {}
  void close() override {}
  std::optional<double> frames_per_second() const override { return 25; }  // 1 frame expected

 private:
  Frame frame_;
};

Generator<Pcm> one_chunk(Pcm pcm) { co_yield std::move(pcm); }

void BM_EngineAlone(benchmark::State& state) {
  LoopEngine engine;
  const Pcm clip(1280);
  for (auto _ : state) {
    Generator<Frame> g = engine.frames(one_chunk(clip));
    std::size_t n = 0;
    while (auto f = g.next()) n += f->bytes != 0;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * FRAMES));
}
BENCHMARK(BM_EngineAlone);

void BM_ThroughTheAvatar(benchmark::State& state) {
  velmora::Avatar avatar(std::make_unique<LoopEngine>(), "vantor2-light");
  const Pcm clip(1280);
  for (auto _ : state) {
    velmora::FrameStream s = avatar.render(velmora::AudioInput::pcm(clip));
    std::size_t n = 0;
    while (auto f = s.next()) n += f->bytes != 0;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * FRAMES));
}
BENCHMARK(BM_ThroughTheAvatar);

}  // namespace

BENCHMARK_MAIN();
