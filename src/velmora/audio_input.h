#pragma once
// Turning audio for a render into PCM chunks (the module's private functions).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "velmora/audio.hpp"
#include "velmora/generator.hpp"

namespace velmora::detail {

// One item to PCM. Throws TypeError for a refused item, FileNotFound for a path that is not a regular file,
// Failed "could not read that audio" when the file cannot be decoded, std::system_error when the ffmpeg
// program exists but cannot be started, Cancelled when `stop` is asked while a file is decoded.
Pcm pcm_of(const AudioItem& item, const std::stop_token& stop = {});
Pcm pcm_of(AudioItem&& item, const std::stop_token& stop = {});

// An audio file to PCM: through the ffmpeg program, or through the FFmpeg libraries when the program is not
// installed. `path` must name a regular file, and is always read as that file (never as a URL of the
// libraries, whatever it looks like). A stop asked on `stop` ends the decode at once (the program with time
// for its clean-up) with Cancelled.
Pcm decode_path(const std::string& path, const std::stop_token& stop = {});

// An audio file to PCM through the FFmpeg libraries; every failure is Failed "could not read that audio"
// with the cause as detail, and a stop asked on `stop` is Cancelled.
Pcm decode_file(const std::string& path, const std::stop_token& stop = {});

// The whole clip of `audio`, converted now; nothing for a stream. Throws what pcm_of throws.
std::optional<Pcm> whole_clip(const AudioInput& audio, const std::stop_token& stop = {});
// The same, moving PCM bytes out of `audio` instead of copying them (a render converts its audio once).
std::optional<Pcm> whole_clip(AudioInput&& audio, const std::stop_token& stop = {});

// The chunks handed to an engine: `clip` (or the whole clip of `audio` when none is given) as one chunk,
// even when empty; for a stream, one chunk per item, converted when it is pulled (watching `stop` while a
// file is decoded). Nothing runs before the first pull.
Generator<Pcm> chunks(AudioInput audio, std::optional<Pcm> clip = std::nullopt, std::stop_token stop = {});

// A chunk as whole samples. Stream items may split a sample anywhere: `carry` holds the odd last byte of the
// chunk before, if any, which with the chunk's first byte makes the sample `joined`; `whole` is the whole
// samples after it, within the chunk, and the chunk's own odd last byte, if any, goes into `carry`. Nothing
// else is copied. Engines and outputs take stream items through this.
struct WholeSamples {
  std::optional<std::array<std::uint8_t, 2>> joined;
  std::span<const std::uint8_t> whole;
};
WholeSamples whole_samples(std::span<const std::uint8_t> chunk, std::optional<std::uint8_t>& carry);

// The same in place: `chunk` becomes its whole samples, the joined one first.
void whole_samples(Pcm& chunk, std::optional<std::uint8_t>& carry);

// The frame count a whole clip of `clip_bytes` implies at `fps` frames per second, or nothing when there is
// no clip, no rate (nothing or 0) or less than one frame. Throws ValueError for a rate that is not finite.
std::optional<std::int64_t> expected_frames(std::optional<std::size_t> clip_bytes, std::optional<double> fps);

// Reaches into the audio types for the functions above.
struct AudioAccess {
  static const std::variant<Pcm, std::filesystem::path, AudioItem::Refused>& value(const AudioItem& item) {
    return item.v_;
  }
  static std::variant<Pcm, std::filesystem::path, AudioItem::Refused>& value(AudioItem& item) { return item.v_; }
  // The message of a refused item; null for any other item.
  static const std::string* refusal(const AudioItem& item) {
    const auto* r = std::get_if<AudioItem::Refused>(&item.v_);
    return r ? &r->message : nullptr;
  }
  static const std::optional<AudioItem>& item(const AudioInput& audio) { return audio.item_; }
  static std::optional<AudioItem>& item(AudioInput& audio) { return audio.item_; }
  static Generator<AudioItem>& stream(AudioInput& audio) { return audio.stream_; }
  static AudioInput make_stream(Generator<AudioItem> items) {
    AudioInput a;
    a.stream_ = std::move(items);
    return a;
  }
  static AudioItem refused(std::string message) { return AudioItem(AudioItem::Refused{std::move(message)}); }
  static AudioItem of(Pcm pcm) { return AudioItem(std::move(pcm)); }
  static AudioItem of(std::filesystem::path path) { return AudioItem(std::move(path)); }
};

}  // namespace velmora::detail
