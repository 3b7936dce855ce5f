#pragma once
// One video frame as an engine delivers it: a row-major image that shares its buffer, passed to the caller
// unchanged (never copied on the way).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora {

enum class ElementType : std::uint8_t { u8, i16, f32 };

struct Frame {
  std::shared_ptr<const std::byte> data;  // owner of the pixels (an aliasing pointer for a view into a batch)
  std::size_t bytes = 0;                  // length of the pixel data
  std::array<std::size_t, 3> shape{};     // rows, columns, channels
  ElementType type = ElementType::u8;
  std::int64_t index = -1;                // the engine's own frame number, -1 when it has none
};

}  // namespace velmora
