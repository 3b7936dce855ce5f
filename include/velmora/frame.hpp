#pragma once
// One video frame as an engine delivers it: a row-major image that shares its buffer, passed to the caller
// unchanged (never copied on the way).
//
// Layout by engine family (every family delivers 8-bit RGB: channels 3, red first, rows top to bottom, no
// padding between rows, so row_stride() is width() * 3). Sizes are width x height in pixels; `shape` lists
// them the other way round, as rows (the height) and columns (the width):
//   "mirel2"                         416 x 720 (416 pixels wide, 720 high: shape {720, 416, 3}), 20 frames a
//                                    second; frame_index() is the render host's frame number, rising by one
//                                    per frame within a render
//   "vantor2-light", "vantor2-golden" the avatar's size (on the stand-in runtime of this build: the manifest's
//                                    "width" x "height", 64 x 64 by default), 25 frames a second;
//                                    frame_index() counts the session's frames from 0 at each render
//   "vantor1"                        the fixture's width x height; frame_index() counts frames from 0 at each
//                                    render
//   "vantor2-unified"                512 x 512 (no engine for it in this build)
//
// Thread safety: a Frame is a value; its pixels never change once delivered, so frames (and copies of them,
// which share the pixels) may be read from any number of threads at once.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace velmora {

enum class ElementType : std::uint8_t { u8, i16, f32 };

// The size in bytes of one element of `type`.
constexpr std::size_t element_size(ElementType type) {
  switch (type) {
    case ElementType::u8:
      return 1;
    case ElementType::i16:
      return 2;
    case ElementType::f32:
      return 4;
  }
  return 1;
}

struct Frame {
  // Filled by the engine that makes the frame.
  std::shared_ptr<const std::byte> data;  // owner of the pixels (an aliasing pointer for a view into a batch)
  std::size_t bytes = 0;                  // length of the pixel data
  std::array<std::size_t, 3> shape{};     // rows, columns, channels
  ElementType type = ElementType::u8;
  std::int64_t index = -1;                // the engine's own frame number, -1 when it has none

  // The pixel data: `bytes` bytes, rows one after the other. Valid while this frame or a copy of it lives.
  std::span<const std::uint8_t> pixels() const {
    return {reinterpret_cast<const std::uint8_t*>(data.get()), data ? bytes : 0};
  }
  std::size_t height() const { return shape[0]; }
  std::size_t width() const { return shape[1]; }
  std::size_t channels() const { return shape[2]; }
  // Bytes from the start of one row to the start of the next.
  std::size_t row_stride() const { return shape[1] * shape[2] * element_size(type); }
  // The engine's own frame number, when its family has one.
  std::optional<std::int64_t> frame_index() const {
    return index >= 0 ? std::optional<std::int64_t>(index) : std::nullopt;
  }
};

}  // namespace velmora
