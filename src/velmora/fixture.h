#pragma once
// The fixture engine: "vantor1" avatars rendered by the native fixture runtime, which lies outside the API and
// is reached through the outside-module registry (its `fixture_runtime`).
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "velmora/engine.hpp"
#include "velmora/frame.hpp"
#include "velmora/generator.hpp"

namespace velmora::detail {

// The native runtime's execution-provider choice that lets it pick for itself.
inline constexpr int EP_AUTO = 0;

// An avatar loaded by the native runtime.
class NativeFixture {
 public:
  virtual ~NativeFixture() = default;
};

// The native runtime's stream on one fixture: float32 audio in, frames out as they become ready.
class NativeRuntime {
 public:
  virtual ~NativeRuntime() = default;
  // Takes mono float32 samples at 16 kHz into the stream.
  virtual void push_audio(std::span<const float> samples) = 0;
  // Greater than 0 while a frame can be pulled.
  virtual std::int64_t ticks_available() = 0;
  // One frame: rows x columns x channels, channels in blue, green, red order.
  virtual Frame pull_frame() = 0;
  // Drops the stream state, so that a new stream can start.
  virtual void reset_stream() = 0;
};

// What the fixture engine needs of the native module and its two helper modules.
class FixtureRuntime {
 public:
  virtual ~FixtureRuntime() = default;
  // True for a build of the native module that cannot run fixture avatars.
  virtual bool engine_only() const { return false; }
  // Registers the loader's default audio encoder; called before every fixture is loaded.
  virtual void register_default_audio_encoder() = 0;
  // The thread count for a "vantor1" runtime.
  virtual int default_threads() = 0;
  // Loads the avatar at `source`; throws when it is not a usable avatar.
  virtual std::shared_ptr<NativeFixture> load_fixture(const std::string& source, int preferred_ep,
                                                      int intra_op_threads) = 0;
  // A runtime on `fixture`.
  virtual std::unique_ptr<NativeRuntime> make_runtime(std::shared_ptr<NativeFixture> fixture) = 0;
};

// Whether this process can run "vantor1" avatars: false only for an installed native module that declares
// itself engine-only (a missing one answers true, and its absence shows when the engine is built).
bool vantor1_runtime_present();

class FixtureEngine : public Engine {
 public:
  // Loads the avatar at `source` into a fixture of the installed runtime and builds its stream. Throws
  // ImportError when no fixture runtime is installed, InvalidAvatar "that is not a usable avatar" (detail: the
  // runtime's error) when the runtime refuses the file, and what making the runtime throws, unchanged.
  explicit FixtureEngine(const std::string& source);
  FixtureEngine(const std::string& source, std::shared_ptr<FixtureRuntime> runtime);

  // Resets the runtime's stream, then pushes each non-empty chunk as float32 (s16 / 32768) and yields every
  // frame the runtime has ready after it, turned to red, green, blue in a buffer of its own, so every render
  // counts its frames from 0. Nothing is asked for after the last chunk. ValueError for a chunk of odd length.
  Generator<Frame> frames(Generator<Pcm> chunks) override;
  // Resets the runtime's stream; never throws (also after close).
  void interrupt() override;
  // Releases the runtime, then the fixture.
  void close() override;

 private:
  std::shared_ptr<NativeFixture> fx_;
  std::shared_ptr<NativeRuntime> rt_;
};

// `image` with the order of its channels (last axis) reversed, in a new contiguous buffer.
Frame reversed_channels(const Frame& image);

}  // namespace velmora::detail
