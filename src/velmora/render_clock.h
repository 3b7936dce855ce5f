#pragma once
// Timing of one render: from the moment the engine pulls its first audio chunk to the moment its last frame
// arrives, so loading the model and converting a whole clip are left out.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "velmora/audio.hpp"
#include "velmora/avatar.hpp"
#include "velmora/generator.hpp"

namespace velmora {
class HeldFile;
}

namespace velmora::detail {

// Seconds on a monotonic clock.
using ClockFn = std::function<double()>;
double steady_seconds();

// One clock serves one render; it is never reset. Not thread-safe: the render's own thread uses it.
class RenderClock {
 public:
  explicit RenderClock(ClockFn now = steady_seconds) : now_(std::move(now)) {}
  // chunks() hands out a generator that points at this clock.
  RenderClock(const RenderClock&) = delete;
  RenderClock& operator=(const RenderClock&) = delete;

  // Passes every chunk of `source` on unchanged. The start is stamped after the first chunk has been
  // obtained (converting a stream's first item is not timed) and before the engine receives it.
  Generator<Pcm> chunks(Generator<Pcm> source);

  // A frame arrived: moves the end of the span and counts the frame.
  void frame();

  // Nothing without a first chunk, without a frame, or when no frame was counted; else the frames, the
  // span (at least 1e-9 s) and their ratio.
  std::optional<RenderStats> stats() const;

 private:
  ClockFn now_;
  std::optional<double> t0_;
  std::optional<double> t1_;
  std::int64_t n_ = 0;
};

// Sees every PCM chunk of a render as the engine pulls it, before the engine gets it.
using PcmTap = std::function<void(const Pcm& chunk)>;

// Reaches into Avatar and FrameStream for the render loop, the package's video writer and the tests.
struct AvatarAccess {
  // The clock of every later render of `avatar` (tests inject one).
  static void set_clock(Avatar& avatar, ClockFn now);
  static FrameStream stream(Generator<Frame> frames) { return FrameStream(std::move(frames)); }
  // Avatar::render(audio, stop), with `tap` shown each chunk the engine pulls (an exception from it fails
  // the pull, as a stream item that cannot be converted does).
  static FrameStream render(Avatar& avatar, AudioInput audio, std::stop_token stop, PcmTap tap);
  // The frame rate of the avatar's engine; nothing when it states none or the avatar is closed.
  static std::optional<double> frames_per_second(const Avatar& avatar);
  // The file or folder `avatar` was opened from: its path, absolute, and what it was when open() found it, held
  // so that it is known wherever its names move. Empty and nullptr for an avatar built on an engine directly (or
  // a source that could not be held). The video writer never replaces it.
  static void set_source(Avatar& avatar, std::string absolute_path, std::shared_ptr<const HeldFile> file);
  static const std::string& source(const Avatar& avatar);
  static std::shared_ptr<const HeldFile> source_file(const Avatar& avatar);
};

}  // namespace velmora::detail
