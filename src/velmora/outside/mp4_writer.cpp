#include "velmora/outside/mp4_writer.h"

#include <chrono>
#include <optional>

#include "velmora/errors.hpp"
#include "velmora/module.h"
#include "velmora/render_clock.h"

namespace velmora::detail {

std::int64_t write_mp4(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                       const ProgressFn& progress, const Mp4Settings& settings) {
  const auto t0 = std::chrono::steady_clock::now();
  const bool whole_clip = !audio.is_stream();
  Mp4Output out(out_path, settings);
  std::optional<double> total;
  // Declared after `out`, so the render (which tees into it) is closed first.
  FrameStream frames = AvatarAccess::render(avatar, std::move(audio), stop, [&](const Pcm& chunk) {
    if (whole_clip && !total) total = static_cast<double>(chunk.size()) / (2.0 * SAMPLE_RATE);
    out.add_pcm(chunk);
  });
  std::optional<double> fps;
  while (std::optional<Frame> frame = frames.next()) {
    if (!fps) fps = AvatarAccess::frames_per_second(avatar).value_or(settings.default_fps);
    out.add_frame(*frame, *fps);
    if (progress) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      progress(WriteProgress{out.frames(), out.seconds(), total, elapsed});
    }
  }
  if (stop.stop_requested()) throw Cancelled();
  out.commit();
  return out.frames();
}

std::int64_t default_mp4_writer(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                                const ProgressFn& progress) {
  return write_mp4(avatar, std::move(audio), out_path, std::move(stop), progress, Mp4Settings{});
}

}  // namespace velmora::detail
