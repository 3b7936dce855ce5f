// Renders PCM bytes, float samples, an audio file and a stream through one avatar, one after the other, and
// checks that each render hands over exactly the frames the engine made for it, in order, and that the
// engine got the audio as PCM. Prints one line per render; exits 1 at the first mismatch.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmora/avatar.hpp"
#include "velmora/support/fake_engine.h"
#include "velmora/support/scratch.h"

namespace {

using velmora::AudioInput;
using velmora::AudioItem;
using velmora::Frame;
using velmora::Pcm;

constexpr std::size_t SAMPLES_PER_FRAME = 640;  // 25 fps at 16 kHz

int fail(const std::string& what) {
  std::fprintf(stderr, "render_in_a_row: %s\n", what.c_str());
  return 1;
}

std::vector<std::int16_t> ramp(std::size_t n, std::int16_t start) {
  std::vector<std::int16_t> s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::int16_t>(start + static_cast<int>(i % 1000));
  return s;
}

struct Render {
  const char* name;
  AudioInput audio;
  std::vector<Pcm> chunks;  // what the engine must pull
};

}  // namespace

int main() {
  velmora::testing::TempDir dir;
  const auto wav = dir.path() / "speech.wav";
  const std::vector<std::int16_t> file_samples = ramp(4 * SAMPLES_PER_FRAME, -500);
  velmora::testing::write_wav(wav, 16000, 1, file_samples);

  const std::vector<std::int16_t> pcm_samples = ramp(5 * SAMPLES_PER_FRAME, 7);
  const std::vector<float> floats(3 * SAMPLES_PER_FRAME, 0.5f);
  const Pcm floats_as_pcm = velmora::testing::s16_bytes(std::vector<std::int16_t>(floats.size(), 16383));
  const std::vector<std::int16_t> item_samples = ramp(SAMPLES_PER_FRAME, 100);

  std::vector<Render> renders;
  renders.push_back({"pcm bytes", AudioInput::pcm(velmora::testing::s16_bytes(pcm_samples)),
                     {velmora::testing::s16_bytes(pcm_samples)}});
  renders.push_back({"float samples", AudioInput::samples(std::span<const float>(floats)), {floats_as_pcm}});
  renders.push_back({"audio file", AudioInput(wav), {velmora::testing::s16_bytes(file_samples)}});
  std::vector<AudioItem> items;
  items.push_back(AudioItem::pcm(velmora::testing::s16_bytes(pcm_samples)));
  items.push_back(AudioItem::samples(std::span<const std::int16_t>(item_samples)));
  items.push_back(AudioItem::file(wav));
  renders.push_back({"stream",
                     AudioInput::stream(std::move(items)),
                     {velmora::testing::s16_bytes(pcm_samples), velmora::testing::s16_bytes(item_samples),
                      velmora::testing::s16_bytes(file_samples)}});

  velmora::testing::EngineScript script;
  script.fps = 25;
  auto log = std::make_shared<velmora::testing::EngineLog>();
  velmora::Avatar avatar(std::make_unique<velmora::testing::FakeEngine>(script, log), "vantor2-light");

  for (Render& r : renders) {
    const std::size_t made_before = log->made.size();
    const std::size_t chunks_before = log->chunks.size();
    std::vector<Frame> got;
    try {
      for (Frame& f : avatar.render(std::move(r.audio))) got.push_back(f);
    } catch (const std::exception& e) {
      return fail(std::string(r.name) + ": " + e.what());
    }
    const std::vector<Frame> made(log->made.begin() + static_cast<std::ptrdiff_t>(made_before), log->made.end());
    const std::vector<Pcm> pulled(log->chunks.begin() + static_cast<std::ptrdiff_t>(chunks_before),
                                  log->chunks.end());
    if (pulled != r.chunks) return fail(std::string(r.name) + ": the engine got other audio");
    if (made.empty() || got.size() != made.size()) return fail(std::string(r.name) + ": frame count differs");
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (got[i].data.get() != made[i].data.get() || got[i].index != made[i].index) {
        return fail(std::string(r.name) + ": frame " + std::to_string(i) + " is not the engine's");
      }
    }
    const auto stats = avatar.render_stats();
    if (!stats || stats->frames != static_cast<std::int64_t>(got.size())) {
      return fail(std::string(r.name) + ": no statistics for the render");
    }
    std::printf("%s: frames %lld to %lld\n", r.name, static_cast<long long>(got.front().index),
                static_cast<long long>(got.back().index));
  }
  avatar.close();
  if (log->count("close") != 1 || log->count("interrupt") != 0) return fail("the engine was not released once");
  std::printf("ok\n");
  return 0;
}
