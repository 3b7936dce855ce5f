#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/float16.h"
#include "common/ndarray.h"

namespace velmora {
namespace {

TEST(NdArrayTest, ZeroFilledWithShapeAndAlignedStorage) {
  NdArray a(DType::Float32, {2, 3, 4});
  EXPECT_EQ(a.size(), 24);
  EXPECT_EQ(a.nbytes(), 96u);
  EXPECT_EQ(a.shape().str(), "(2, 3, 4)");
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.raw_data()) % 64, 0u);
  for (float v : a.values<float>()) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(NdArray::scalar(1.5).shape().str(), "()");
  EXPECT_EQ(NdArray::scalar(1.5).size(), 1);
  EXPECT_EQ(NdArray(DType::Int64, {0, 5}).size(), 0);
  EXPECT_THROW(a.data<double>(), std::logic_error);
  EXPECT_THROW(NdArray(DType::Float64, {2, -1}), std::invalid_argument);
  EXPECT_THROW(NdArray(DType::Float64, {std::int64_t{1} << 40, std::int64_t{1} << 30}), std::invalid_argument);
  EXPECT_THROW((Shape{1, 1, 1, 1, 1, 1, 1, 1, 1}), std::invalid_argument);
}

// The byte limit counts the non-zero axes wherever an axis of 0 stands, so a shape and its reorderings are
// refused alike, and a reshape between two empty shapes never fails on the order of their axes.
TEST(NdArrayTest, AZeroAxisDoesNotMakeAShapeFit) {
  constexpr std::int64_t HALF = std::int64_t{1} << 61;  // float32 elements: 2^63 bytes
  for (const Shape& s : {Shape{HALF, 0}, Shape{0, HALF}, Shape{2, 0, HALF / 2}}) {
    EXPECT_FALSE(NdArray::fits(DType::Float32, s)) << s.str();
    EXPECT_THROW(NdArray(DType::Float32, s), std::invalid_argument) << s.str();
  }
  EXPECT_TRUE(NdArray::fits(DType::UInt8, Shape{0, NdArray::MAX_BYTES}));
  EXPECT_FALSE(NdArray::fits(DType::UInt8, Shape{0, NdArray::MAX_BYTES + 1}));
  EXPECT_FALSE(NdArray::fits(DType::UInt8, Shape{3, -1}));
  const NdArray empty(DType::Int16, {0, std::int64_t{1} << 40});
  EXPECT_THROW(empty.reshaped({std::int64_t{1} << 40, 0, 1 << 30}), std::invalid_argument);
  EXPECT_EQ(empty.reshaped({std::int64_t{1} << 40, 0}).shape(), (Shape{std::int64_t{1} << 40, 0}));
}

TEST(NdArrayTest, ItemsAndReshapesShareElementsCopiesDoNot) {
  NdArray a = NdArray::of<double>(std::vector<double>{0, 1, 2, 3, 4, 5}, Shape{2, 3});
  NdArray row = a.item(1);
  EXPECT_EQ(row.shape(), (Shape{3}));
  EXPECT_EQ(row.values<double>()[0], 3.0);
  NdArray flat = a.reshaped({6});
  NdArray c = a.copy();
  flat.data<double>()[4] = 40.0;
  EXPECT_EQ(row.values<double>()[1], 40.0);
  EXPECT_EQ(c.values<double>()[4], 4.0);
  NdArray tail = a.slice(1, 2);
  EXPECT_EQ(tail.shape(), (Shape{1, 3}));
  EXPECT_EQ(tail.values<double>()[1], 40.0);
  EXPECT_EQ(a.slice(2, 2).size(), 0);
  EXPECT_THROW(a.slice(1, 3), std::out_of_range);
  EXPECT_THROW(a.slice(2, 1), std::out_of_range);
  EXPECT_THROW(a.item(2), std::out_of_range);
  EXPECT_THROW(a.item(-1), std::out_of_range);
  EXPECT_THROW(a.reshaped({4}), std::invalid_argument);
  EXPECT_THROW(NdArray::scalar(1.0).item(0), std::out_of_range);
}

TEST(NdArrayTest, AstypeConvertsAsNumPy) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  NdArray f = NdArray::of<double>({2.7, -2.7, 0.0, nan, inf, -inf, 1e300, 0.1});
  const NdArray ai = f.astype(DType::Int64);
  const auto i64 = ai.values<std::int64_t>();
  const std::int64_t big = std::numeric_limits<std::int64_t>::max(), small = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(std::vector<std::int64_t>(i64.begin(), i64.end()), (std::vector<std::int64_t>{2, -2, 0, 0, big, small, big, 0}));
  const NdArray au = f.astype(DType::UInt8);
  const auto u8 = au.values<std::uint8_t>();
  EXPECT_EQ(std::vector<int>(u8.begin(), u8.end()), (std::vector<int>{2, 0, 0, 0, 255, 0, 255, 0}));
  const NdArray ab = f.astype(DType::Bool);
  const auto b = ab.values<bool>();
  EXPECT_EQ(std::vector<bool>(b.begin(), b.end()), (std::vector<bool>{true, true, false, true, true, true, true, true}));
  EXPECT_EQ(f.astype(DType::Float32).values<float>()[7], 0.1f);
  // float64 to float16 rounds once; through float32 it would round twice.
  const double d = 1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40);
  EXPECT_EQ(NdArray::of<double>({d}).astype(DType::Float16).values<Half>()[0].bits, double_to_half(d));
  EXPECT_NE(double_to_half(d), float_to_half(static_cast<float>(d)));
  // Integers wrap into narrower integers; bools become 0 and 1.
  EXPECT_EQ(NdArray::of<std::int64_t>({300, -1}).astype(DType::UInt8).values<std::uint8_t>()[0], 44);
  EXPECT_EQ(NdArray::of<std::int64_t>({300, -1}).astype(DType::UInt8).values<std::uint8_t>()[1], 255);
  EXPECT_EQ(NdArray::of<bool>({true, false}).astype(DType::Float64).values<double>()[0], 1.0);
  EXPECT_EQ(NdArray::of<Half>({Half{0x3c00}}).astype(DType::Float64).as_double(0), 1.0);
  EXPECT_EQ(NdArray::of<std::uint64_t>({18446744073709551615u}).astype(DType::Float32).as_double(0), 18446744073709551616.0);
}

}  // namespace
}  // namespace velmora
