#include "velmora/avatar.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/py_float.h"
#include "velmora/audio_input.h"
#include "velmora/engine.hpp"
#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/module.h"
#include "velmora/outside.h"
#include "velmora/render_clock.h"

namespace velmora {
namespace detail {

// What an Avatar and its live streams share. The last owner to go releases the engine.
struct AvatarState {
  AvatarState(std::unique_ptr<Engine> e, std::string id) : engine(std::move(e)), engine_id(std::move(id)) {}
  AvatarState(const AvatarState&) = delete;
  AvatarState& operator=(const AvatarState&) = delete;
  ~AvatarState() {
    try {
      release();
    } catch (...) {
    }
  }

  // The flag is set before close() runs, so a close() that throws is never tried again.
  void release() {
    if (closed.exchange(true)) return;
    engine->close();
  }

  std::unique_ptr<Engine> engine;
  const std::string engine_id;
  std::atomic<bool> closed{false};  // atomic: Avatar::closed() may read it while another thread closes
  std::optional<RenderStats> render_stats;
  ClockFn now = steady_seconds;
  std::string source;  // where velmora::open found the avatar, absolute; empty when not opened from a path
  std::shared_ptr<const HeldFile> source_file;  // what was there then

  // The engine serves one render at a time: the latest render to start it. Used by the avatar's one thread.
  std::uint64_t turns = 0;    // renders that have started the engine; the latest holds turn `turns`
  bool turn_live = false;     // the latest render still owes the engine its end (a last frame or an interrupt)
  bool in_engine = false;     // a render is inside the engine's iteration (its audio source may be running)
};

void AvatarAccess::set_clock(Avatar& avatar, ClockFn now) { avatar.state_->now = std::move(now); }

void AvatarAccess::set_source(Avatar& avatar, std::string absolute_path, std::shared_ptr<const HeldFile> file) {
  avatar.state_->source = std::move(absolute_path);
  avatar.state_->source_file = std::move(file);
}

const std::string& AvatarAccess::source(const Avatar& avatar) {
  static const std::string none;
  return avatar.state_ ? avatar.state_->source : none;
}

std::shared_ptr<const HeldFile> AvatarAccess::source_file(const Avatar& avatar) {
  return avatar.state_ ? avatar.state_->source_file : nullptr;
}

}  // namespace detail

namespace {

using detail::AvatarState;

constexpr const char* CLOSED = "this avatar is closed";
constexpr const char* SUPERSEDED = "this render was interrupted by a later render of the same avatar";
constexpr const char* ENGINE_BUSY = "a render of this avatar cannot start while its engine is busy with another one";
constexpr const char* RENDER_LINE =
    "velmora: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last frame; model load "
    "excluded)";

// A number as Python's str() shows it: whole values as integers ("25"), others in shortest form.
std::string number_text(double v) {
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.2e18) {
    return std::to_string(static_cast<std::int64_t>(v));
  }
  return py_float_repr(v);
}

// Refuses a render that gave fewer frames than its audio implies (or none, when it implies no count).
void check_full_run(const AvatarState& state, std::int64_t delivered, std::optional<std::size_t> clip_bytes) {
  const std::optional<double> fps = state.engine->frames_per_second();
  const std::optional<std::int64_t> expected = detail::expected_frames(clip_bytes, fps);
  std::int64_t floor = 0;
  bool short_render = false;
  if (!expected) {
    short_render = delivered == 0;
  } else {
    // Multiplied in double and truncated, as the tolerance is defined.
    const auto slack = static_cast<std::int64_t>(static_cast<double>(*expected) * detail::SHORT_FRAC);
    floor = *expected - std::max<std::int64_t>(slack, 2);
    short_render = delivered < floor;
  }
  if (!short_render) return;
  if (delivered == 0) {
    throw refuse<Failed>(
        "no frames came out of that render \u2014 check that the audio has speech in it, then try again",
        "engine=" + state.engine_id + " delivered 0 frames");
  }
  const std::optional<std::string> reason = state.engine->stop_reason();
  throw refuse<Failed>("that render stopped early \u2014 " + std::to_string(delivered) + " frames came out of the " +
                           std::to_string(*expected) +
                           " this audio should produce, so the video would be short. Render it again.",
                       "engine=" + state.engine_id + " delivered " + std::to_string(delivered) +
                           " frames, expected >= " + std::to_string(floor) + " (audio implies " +
                           std::to_string(*expected) + " at " + (fps ? number_text(*fps) : std::string("?")) +
                           " fps); the render ended on: " + reason.value_or("not recorded"));
}

// Passes every chunk on unchanged after showing it to `tap`.
Generator<Pcm> tapped(Generator<Pcm> source, detail::PcmTap tap) {
  while (auto chunk = source.next()) {
    tap(*chunk);
    Pcm pcm = std::move(*chunk);
    co_yield std::move(pcm);
  }
}

// The engine's next frame, with the state marked as inside the engine meanwhile.
std::optional<Frame> pull(AvatarState& state, Generator<Frame>& gen) {
  struct Inside {
    bool& flag;
    explicit Inside(bool& f) : flag(f) { flag = true; }
    ~Inside() { flag = false; }
  } inside(state.in_engine);
  return gen.next();
}

// One render. Everything before the frame loop (the closed test, converting a whole clip, starting the
// engine) fails unmapped at the first next(); what fails inside the loop is interrupted, then mapped.
Generator<Frame> render_frames(std::shared_ptr<AvatarState> state, AudioInput audio, std::stop_token stop,
                               detail::PcmTap tap) {
  if (!state || state->closed) throw Failed(CLOSED);
  std::optional<Pcm> clip = detail::whole_clip(std::move(audio), stop);  // chunks() then takes `clip`
  const std::optional<std::size_t> clip_bytes = clip ? std::optional<std::size_t>(clip->size()) : std::nullopt;
  detail::RenderClock clock(state->now);  // outlives `gen`, which pulls through it
  Generator<Pcm> pcm = detail::chunks(std::move(audio), std::move(clip), stop);
  if (tap) pcm = tapped(std::move(pcm), std::move(tap));
  // The engine is this render's from here on. A render still live on it is interrupted now, on its behalf, so
  // this one starts from a clean stream; that render then never drives the engine again.
  if (state->in_engine) throw Failed(ENGINE_BUSY);
  const std::uint64_t turn = ++state->turns;  // the earlier render gives way, whatever its interrupt does
  const auto mine = [&state, turn] { return state->turns == turn; };
  if (state->turn_live) {
    state->turn_live = false;
    try {
      state->engine->interrupt();
    } catch (const AvatarError&) {
      throw;
    } catch (const std::exception&) {
      // As the earlier render would have reported it: the engine may not be clean, so this one fails.
      throw refuse<Failed>("the render stopped", Detail::current());
    }
  }
  Generator<Frame> gen = state->engine->frames(clock.chunks(std::move(pcm)), stop);
  state->turn_live = true;
  bool done = false;
  std::int64_t delivered = 0;
  try {
    try {
      while (!stop.stop_requested()) {
        std::optional<Frame> frame = pull(*state, gen);
        if (!frame) break;
        ++delivered;  // a frame counts once the engine has made it
        clock.frame();
        Frame out = std::move(*frame);
        co_yield std::move(out);
        // A closed engine is never driven again, whoever still holds this stream; nor one a later render took.
        if (state->closed) throw Failed(CLOSED);
        if (!mine()) throw Failed(SUPERSEDED);
      }
      if (stop.stop_requested()) throw Cancelled();
      done = true;
      if (mine()) state->turn_live = false;
      state->render_stats = clock.stats();
      if (const auto& st = state->render_stats) {
        velmora_log().info(RENDER_LINE, {st->frames, st->render_seconds, st->render_fps});
      }
    } catch (...) {
      // Stopped early or failed: leave the engine with a clean stream for the next render, unless a later
      // render has taken it over (and interrupted it for this one).
      if (!done && mine() && state->turn_live) {
        state->turn_live = false;
        if (!state->closed) state->engine->interrupt();
      }
      throw;
    }
    check_full_run(*state, delivered, clip_bytes);
  } catch (const GeneratorExit&) {
    throw;
  } catch (const Cancelled&) {
    throw;
  } catch (const AvatarError&) {
    throw;
  } catch (const std::exception&) {
    detail::rethrow_engine_failure();
    throw refuse<Failed>("the render stopped", Detail::current());
  }
}

}  // namespace

Avatar::Avatar(std::unique_ptr<Engine> engine, std::string engine_id) {
  if (!engine) throw std::invalid_argument("an Avatar needs an engine");
  state_ = std::make_shared<AvatarState>(std::move(engine), std::move(engine_id));
}

Avatar::Avatar(Avatar&&) noexcept = default;
Avatar& Avatar::operator=(Avatar&&) noexcept = default;
Avatar::~Avatar() = default;

FrameStream Avatar::render(AudioInput audio, std::stop_token stop) {
  return detail::AvatarAccess::stream(render_frames(state_, std::move(audio), std::move(stop), {}));
}

FrameStream detail::AvatarAccess::render(Avatar& avatar, AudioInput audio, std::stop_token stop, PcmTap tap) {
  return stream(render_frames(avatar.state_, std::move(audio), std::move(stop), std::move(tap)));
}

std::optional<double> detail::AvatarAccess::frames_per_second(const Avatar& avatar) {
  if (!avatar.state_ || avatar.state_->closed) return std::nullopt;
  return avatar.state_->engine->frames_per_second();
}

std::int64_t Avatar::render(AudioInput audio, const std::filesystem::path& out_mp4, std::stop_token stop,
                            ProgressFn progress) {
  const auto services = detail::outside();
  const auto& write = detail::need(services->mp4_writer, detail::NO_VIDEO_WRITER);
  return write(*this, std::move(audio), out_mp4.string(), std::move(stop), progress);
}

void Avatar::close() {
  if (state_) state_->release();
}

bool Avatar::closed() const { return !state_ || state_->closed; }

std::optional<RenderStats> Avatar::render_stats() const {
  return state_ ? state_->render_stats : std::nullopt;
}

const std::string& Avatar::engine_id() const {
  static const std::string none;
  return state_ ? state_->engine_id : none;
}

}  // namespace velmora
