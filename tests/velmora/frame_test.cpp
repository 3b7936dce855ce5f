#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "velmora/frame.hpp"

namespace velmora {
namespace {

Frame frame_of(std::size_t rows, std::size_t cols, std::size_t channels, ElementType type, std::int64_t index) {
  const std::size_t bytes = rows * cols * channels * element_size(type);
  std::shared_ptr<std::byte[]> pixels(new std::byte[bytes]);
  for (std::size_t i = 0; i < bytes; ++i) pixels[i] = static_cast<std::byte>(i);
  return Frame{std::shared_ptr<const std::byte>(pixels, pixels.get()), bytes, {rows, cols, channels}, type, index};
}

TEST(FrameAccessors, SizesStrideAndIndexFollowTheShapeAndElementType) {
  const struct {
    Frame frame;
    std::size_t stride;
    std::optional<std::int64_t> index;
  } cases[] = {
      {frame_of(720, 416, 3, ElementType::u8, 3), 1248, 3},
      {frame_of(2, 5, 1, ElementType::i16, 0), 10, 0},
      {frame_of(3, 2, 4, ElementType::f32, -1), 32, std::nullopt},
  };
  for (const auto& c : cases) {
    const Frame& f = c.frame;
    EXPECT_EQ(f.height(), f.shape[0]);
    EXPECT_EQ(f.width(), f.shape[1]);
    EXPECT_EQ(f.channels(), f.shape[2]);
    EXPECT_EQ(f.row_stride(), c.stride);
    EXPECT_EQ(f.row_stride() * f.height(), f.bytes);
    EXPECT_EQ(f.frame_index(), c.index);
    // The pixels are the frame's own bytes, not a copy.
    ASSERT_EQ(f.pixels().size(), f.bytes);
    EXPECT_EQ(static_cast<const void*>(f.pixels().data()), static_cast<const void*>(f.data.get()));
    EXPECT_EQ(f.pixels()[f.row_stride() + 1], static_cast<std::uint8_t>(f.row_stride() + 1));
  }
  EXPECT_TRUE(Frame{}.pixels().empty());
}

}  // namespace
}  // namespace velmora
