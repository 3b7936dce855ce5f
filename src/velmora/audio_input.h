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
// installed (or /proc, through which the program reads it, is not there, or the program's exit status cannot
// be known). The file is opened once, by this name, and only that descriptor is read from then on, by either
// decoder: never the name again, and never another file or address, whatever the file's content names. Throws
// FileNotFound "no audio at <path>" when nothing is there, and FileNotFound "<path> is a folder, not an audio
// file" (a FIFO, a device, a socket) for what is no regular file, without starting anything; Failed "could not
// read that audio" when it cannot be decoded, or when it is a playlist, a list of files, an image or another
// kind that is no single audio or video file (see AUDIO_DEMUXERS). `path` is always read as that file (never
// as a URL of the libraries, whatever it looks like). A stop asked on `stop` ends the decode at once (the
// program with time for its clean-up) with Cancelled.
Pcm decode_path(const std::string& path, const std::stop_token& stop = {});

// The demuxers an audio file is read with: single-file audio and video containers, each of which reads the
// file it is given and nothing else. Playlists, lists of files, image sequences and network formats are left
// out.
inline constexpr const char* AUDIO_DEMUXERS =
    "wav,w64,mp3,flac,ogg,mov,matroska,aac,aiff,caf,au,amr,ac3,eac3,dts,truehd,mlp,ape,wv,tta,mpc,mpc8,dsf,asf,"
    "avi,flv,mpeg,mpegts";

// What a look at the start of the audio file at `fd` (by its content and the extension of `path`) takes it
// for: the name of a demuxer of AUDIO_DEMUXERS, or "" when it is of no kind the libraries know (the decoder
// then says what it can). Throws Failed "could not read that audio", with a line that says what the file is,
// for any other kind. Reads from the descriptor's offset and leaves it anywhere.
std::string audio_demuxer(int fd, const std::string& path);

// The audio file at `fd` (read from its start; `path` names it in messages) to PCM through the FFmpeg
// libraries; every failure is Failed "could not read that audio" with the cause as detail, and a stop asked on
// `stop` is Cancelled.
Pcm decode_file(int fd, const std::string& path, const std::stop_token& stop = {});

// Whether the libraries find the audio file at `fd` readable but without an audio stream.
bool lacks_audio_stream(int fd, const std::string& path);

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
