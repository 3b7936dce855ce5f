#pragma once
// Audio for a render. Every form becomes 16 kHz mono signed 16-bit PCM, the one form engines take.
//
// An AudioItem is one whole clip: PCM bytes, an audio file, or samples. An AudioInput is what a render takes:
// one item (a whole clip, converted completely before the render starts) or a stream of items (each
// converted only when the engine asks for the next chunk, so a live source is never read ahead; see
// velmora/generator.hpp for how to write one).
//
// A path, given as std::filesystem::path, std::string or C string, is always an audio file; PCM bytes are
// always given explicitly (AudioInput::pcm), so the two can never be taken for one another.
//
// Thread safety: AudioItem and AudioInput are values owned by one thread at a time; a render takes its
// AudioInput over and converts it on the thread that pulls the frames. Every factory copies or converts the
// samples it is given before it returns, so the caller's buffer (an ArrayRef's too) is free again then.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "velmora/export.hpp"
#include "velmora/generator.hpp"

namespace velmora {

// 16 kHz mono s16 samples, two bytes each in the machine's byte order.
using Pcm = std::vector<std::uint8_t>;

// An array handed over by a language binding: its element type as NumPy names it ("int16", "float32", ...)
// and its elements' bytes in row-major order.
struct ArrayRef {
  std::string dtype;
  std::span<const std::byte> data;
};

namespace detail {
struct AudioAccess;
}

class VELMORA_API AudioItem {
 public:
  // PCM bytes, taken as they are (no check of length or content). The span is copied. The items of a stream
  // may split a sample anywhere for the session and mirel-2 families: their engines keep an odd last byte
  // for the next item, so a stream renders as its bytes joined would, and a byte left over at the end of the
  // audio is dropped. The vantor1 fixture family takes whole samples only: an item that ends inside a sample
  // stops its render (Failed "the render stopped", the ValueError as detail).
  static AudioItem pcm(std::span<const std::uint8_t> bytes);
  static AudioItem pcm(Pcm bytes);
  // The audio file at `path`, decoded when the item is converted. A missing file or one that is not a
  // regular file gives FileNotFound "no audio at <path>"; a file that cannot be decoded gives Failed
  // "could not read that audio".
  static AudioItem file(std::filesystem::path path);
  // Samples of any shape, flattened in row-major order. Float samples are clipped to [-1, 1], scaled by
  // 32767 in their own precision and truncated toward zero; NaN gives 0.
  static AudioItem samples(std::span<const std::int16_t> samples);
  static AudioItem samples(std::span<const float> samples);
  static AudioItem samples(std::span<const double> samples);
  // An array of dtype int16, float32 or float64, converted as samples() does. Any other dtype is refused
  // with TypeError when the item is converted. Throws ValueError when the data is not whole elements.
  static AudioItem array(const ArrayRef& array);
  // Something a binding cannot turn into audio; refused with TypeError naming `type_name` when converted.
  static AudioItem unsupported(std::string type_name);

 private:
  friend struct detail::AudioAccess;
  struct Refused {
    std::string message;
  };
  explicit AudioItem(std::variant<Pcm, std::filesystem::path, Refused> v) : v_(std::move(v)) {}
  std::variant<Pcm, std::filesystem::path, Refused> v_;
};

class VELMORA_API AudioInput {
 public:
  // A whole clip.
  AudioInput(AudioItem item) : item_(std::move(item)) {}
  // A whole clip: the audio file at `path` (a path is always a file, never PCM), so that
  // `avatar.render("speech.wav")` renders that file. A null C string is a ValueError.
  AudioInput(std::filesystem::path path) : item_(AudioItem::file(std::move(path))) {}
  AudioInput(const std::string& path) : AudioInput(std::filesystem::path(path)) {}
  AudioInput(const char* path);

  static AudioInput pcm(std::span<const std::uint8_t> bytes) { return AudioItem::pcm(bytes); }
  static AudioInput pcm(Pcm bytes) { return AudioItem::pcm(std::move(bytes)); }
  static AudioInput file(std::filesystem::path path) { return AudioItem::file(std::move(path)); }
  static AudioInput samples(std::span<const std::int16_t> s) { return AudioItem::samples(s); }
  static AudioInput samples(std::span<const float> s) { return AudioItem::samples(s); }
  static AudioInput samples(std::span<const double> s) { return AudioItem::samples(s); }
  static AudioInput array(const ArrayRef& a) { return AudioItem::array(a); }

  // A stream: one chunk per item, each converted when it is pulled. Errors of an item (its conversion, or
  // the generator itself) surface at that pull.
  static AudioInput stream(Generator<AudioItem> items);
  static AudioInput stream(std::vector<AudioItem> items);

  bool is_stream() const { return !item_.has_value(); }

 private:
  friend struct detail::AudioAccess;
  AudioInput() = default;
  std::optional<AudioItem> item_;
  Generator<AudioItem> stream_;
};

}  // namespace velmora
