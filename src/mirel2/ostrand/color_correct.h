#pragma once
// Per-avatar colour correction of RGB888 frames, read from the bundle member color.json:
//   {"lut": [[256 ints], [256 ints], [256 ints]]}   one table per channel (red, green, blue), or
//   {"gain": [r, g, b], "bias": [r, g, b]}          v * gain + bias in float32, clamped to 0..255, truncated.
// "lut" wins when present, even when it is refused. Every fault is soft: the frames stay the raw model output.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "mirel2/ostrand/renderer_api.h"

namespace velmora::ostrand {

using LutRows = std::array<std::array<std::uint8_t, 256>, 3>;
using ChannelValues = std::array<float, 3>;

// The record of one correction. Nothing changes it once made; the RGB workers share it read-only, several
// threads at a time. Built field by field (designated initialisers), without checks, like the parser builds it:
// a "lut" record has `lut`, any other has `gain` and `bias`.
struct ColorCorrect {
  std::string kind;                     // "lut" is the table form; any other kind is the gain and bias form
  std::optional<LutRows> lut;           // row k is channel k's table: entry v is what input v becomes
  std::optional<ChannelValues> gain;    // red, green, blue
  std::optional<ChannelValues> bias;    // in the 0..255 scale of a channel value
  std::string source;                   // where it was read: "<bundle>!color.json"

  bool is_lut() const { return kind == "lut"; }

  // Corrects pixels of three channels (R, G, B) each, any number of them: `out[i]` from `in[i]`. The two may be
  // one buffer. Throws std::invalid_argument when the sizes differ or are no multiple of 3, std::logic_error
  // when the record lacks the fields of its form. NaN sums give 0.
  void apply(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) const;
  // The same into a new buffer; `rgb` is not changed.
  std::vector<std::uint8_t> apply(std::span<const std::uint8_t> rgb) const;

  // One line on what the correction does: per channel the largest and mean deviation of the table from the
  // identity, or the gain and bias values.
  std::string describe() const;
};

struct ColorResult {
  std::shared_ptr<const ColorCorrect> cc;  // null when no correction applies
  std::string text;                        // success text, rejection reason, or log line
};

// color.json's content: nothing (the bundle has no such member) or its bytes. Never throws for member content.
ColorResult parse_color_correct(std::optional<std::string_view> raw, std::string_view source = "");
// An already parsed document.
ColorResult parse_color_correct(const json::Value& parsed, std::string_view source = "");

// The bundle's correction and the one line to log: disabled by MIREL2_COLOR_CORRECT (the bundle is then not
// read), not applied (with the reason), or applied (with describe()). Read faults of the bundle are thrown.
ColorResult load_color_correct(const std::string& bundle);

// Kind and SHA-256 of the correction's content: the 768 table bytes (red row first), or the three gains and
// three biases as little-endian float32 (24 bytes). Nothing for no correction.
std::optional<ColorDescriptor> color_descriptor(const ColorCorrect* cc);

}  // namespace velmora::ostrand
