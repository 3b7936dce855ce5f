#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "velmora/errors.hpp"
#include "velmora/fixture.h"
#include "velmora/module.h"
#include "velmora/outside.h"

namespace velmora::detail {
namespace {

std::shared_ptr<FixtureRuntime> installed_runtime() {
  const auto services = outside();
  return need(services->fixture_runtime, FIXTURE);
}

Generator<Frame> fixture_frames(std::shared_ptr<NativeRuntime> rt, Generator<Pcm> chunks) {
  if (!rt) throw std::logic_error("the fixture engine is closed");
  // Every render starts clean: the runtime keeps the samples short of a frame, and its frame numbers, from the
  // stream before, which ended without an interrupt when it ran to its end.
  rt->reset_stream();
  std::vector<float> samples;  // reused for every chunk
  while (std::optional<Pcm> chunk = chunks.next()) {
    if (chunk->empty()) continue;
    if (chunk->size() % 2 != 0) throw ValueError("buffer size must be a multiple of element size");
    samples.resize(chunk->size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      std::int16_t s;
      std::memcpy(&s, chunk->data() + 2 * i, 2);
      samples[i] = static_cast<float>(s) / 32768.0f;
    }
    rt->push_audio(samples);
    while (rt->ticks_available() > 0) {
      Frame rgb = reversed_channels(rt->pull_frame());
      co_yield std::move(rgb);
    }
  }
}

}  // namespace

bool vantor1_runtime_present() {
  const auto services = outside();
  return !services->fixture_runtime || !services->fixture_runtime->engine_only();
}

Frame reversed_channels(const Frame& image) {
  const std::size_t rows = image.shape[0], cols = image.shape[1], channels = image.shape[2];
  const std::size_t item = element_size(image.type);
  const std::size_t pixel = channels * item;
  const std::size_t bytes = rows * cols * pixel;
  if (bytes > image.bytes || (bytes > 0 && !image.data)) {
    throw ValueError("a frame of " + std::to_string(image.bytes) + " bytes is too small for its shape");
  }
  std::shared_ptr<std::byte[]> out(new std::byte[bytes]);
  const std::byte* src = image.data.get();
  std::byte* dst = out.get();
  for (std::size_t p = 0; p < rows * cols; ++p, src += pixel, dst += pixel) {
    for (std::size_t c = 0; c < channels; ++c) std::memcpy(dst + c * item, src + (channels - 1 - c) * item, item);
  }
  Frame f;
  f.data = std::shared_ptr<const std::byte>(out, out.get());
  f.bytes = bytes;
  f.shape = image.shape;
  f.type = image.type;
  f.index = image.index;
  return f;
}

FixtureEngine::FixtureEngine(const std::string& source) : FixtureEngine(source, installed_runtime()) {}

FixtureEngine::FixtureEngine(const std::string& source, std::shared_ptr<FixtureRuntime> runtime) {
  if (!runtime) throw ImportError(no_engine_message(FIXTURE));
  runtime->register_default_audio_encoder();
  const int threads = runtime->default_threads();
  try {
    fx_ = runtime->load_fixture(source, EP_AUTO, threads);
  } catch (...) {
    throw refuse<InvalidAvatar>(NOT_USABLE, Detail::current());
  }
  rt_ = runtime->make_runtime(fx_);
}

Generator<Frame> FixtureEngine::frames(Generator<Pcm> chunks) { return fixture_frames(rt_, std::move(chunks)); }

void FixtureEngine::interrupt() {
  try {
    if (!rt_) throw std::logic_error("the fixture engine is closed");
    rt_->reset_stream();
  } catch (const std::exception&) {
  }
}

void FixtureEngine::close() {
  rt_.reset();
  fx_.reset();
}

}  // namespace velmora::detail
