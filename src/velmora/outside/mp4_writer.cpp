#include "velmora/outside/mp4_writer.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "common/file_tree.h"
#include "velmora/audio_input.h"
#include "velmora/errors.hpp"
#include "velmora/module.h"
#include "velmora/outside/mp4_output.h"
#include "velmora/render_clock.h"

namespace velmora::detail {
namespace {

constexpr const char* AUDIO_FILE = "the audio file of this render";
constexpr const char* AVATAR_FILE = "the file of the avatar being rendered";
constexpr const char* AVATAR_FOLDER = "the folder of the avatar being rendered";

// The audio file an item names, kept from being what the video replaces; nothing for an item of samples.
std::optional<KeptFile> kept_audio(const AudioItem& item) {
  const auto* path = std::get_if<std::filesystem::path>(&AudioAccess::value(item));
  if (!path) return std::nullopt;
  return KeptFile{path->string(), AUDIO_FILE};
}

// The items of a stream, each audio file refused as the video's target before it is read. `out` outlives
// the generator.
Generator<AudioItem> kept_from(Generator<AudioItem> items, Mp4Output* out) {
  while (std::optional<AudioItem> item = items.next()) {
    if (std::optional<KeptFile> kept = kept_audio(*item)) out->keep(std::move(*kept));
    AudioItem next = std::move(*item);
    co_yield std::move(next);
  }
}

}  // namespace

std::int64_t write_mp4(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                       const ProgressFn& progress, const Mp4Settings& settings) {
  const auto t0 = std::chrono::steady_clock::now();
  const bool whole_clip = !audio.is_stream();
  // The files this render reads are never what the video replaces.
  std::vector<KeptFile> keep;
  if (const auto& item = AudioAccess::item(audio)) {
    if (std::optional<KeptFile> kept = kept_audio(*item)) keep.push_back(std::move(*kept));
  }
  // A folder avatar keeps everything inside it. The avatar is kept as open() found it, too.
  if (const std::string& source = AvatarAccess::source(avatar); !source.empty()) {
    std::shared_ptr<const HeldFile> opened = AvatarAccess::source_file(avatar);
    std::error_code ec;
    const bool folder = opened ? opened->is_folder() : std::filesystem::is_directory(source, ec);
    keep.push_back({source, folder ? AVATAR_FOLDER : AVATAR_FILE, std::move(opened)});
  }
  Mp4Output out(out_path, settings, std::move(keep));
  if (!whole_clip) audio = AudioAccess::make_stream(kept_from(std::move(AudioAccess::stream(audio)), &out));
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
      progress(WriteProgress{out.frames(), total ? std::min(out.seconds(), *total) : out.seconds(), total, elapsed});
    }
  }
  if (stop.stop_requested()) throw Cancelled();
  out.commit(stop);
  return out.frames();
}

std::int64_t default_mp4_writer(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                                const ProgressFn& progress) {
  return write_mp4(avatar, std::move(audio), out_path, std::move(stop), progress, Mp4Settings{});
}

}  // namespace velmora::detail
