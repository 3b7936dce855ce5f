#include "common/numpy_arith.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/float16.h"

namespace velmora {
namespace {

TEST(NumpyArithTest, PromotionTableOfNumPy) {
  // NumPy's type codes in DType order (bool, int8, uint8, int16, uint16, int32, uint32, int64, uint64, float16,
  // float32, float64); row a, column b: numpy.promote_types(a, b) as NumPy 1.24 gives it.
  const std::string codes = "?bBhHiIlLefd";
  const char* table[] = {"?bBhHiIlLefd", "bbhhiilldefd", "BhBhHiIlLefd", "hhhhiilldffd", "HiHiHiIlLffd", "iiiiiilldddd",
                         "IlIlIlIlLddd", "lllllllldddd", "LdLdLdLdLddd", "eeeffdddd" "efd", "fffffdddd" "ffd", "dddddddddddd"};
  for (std::size_t a = 0; a < codes.size(); ++a)
    for (std::size_t b = 0; b < codes.size(); ++b)
      EXPECT_EQ(codes[static_cast<std::size_t>(promote_types(static_cast<DType>(a), static_cast<DType>(b)))], table[a][b])
          << codes[a] << " " << codes[b];
  EXPECT_EQ(arith_type(DType::Int16, ArithOp::Divide, DType::Int16), DType::Float64);
  EXPECT_EQ(arith_type(DType::Float16, ArithOp::Divide, DType::Int8), DType::Float16);
  EXPECT_THROW(arith_type(DType::Bool, ArithOp::Add, DType::Bool), std::invalid_argument);
}

TEST(NumpyArithTest, ComputesInTheResultTypeWithBroadcasting) {
  // float32 (2, 3) times float16 (3,): float32 products; plus float64 (2, 1): float64 sums.
  const NdArray x = NdArray::of<float>(std::vector<float>{0.1f, 0.2f, 0.3f, 1.0f, 2.0f, 3.0f}, Shape{2, 3});
  const NdArray s = NdArray::of<double>({0.5, 0.25, 3.0}).astype(DType::Float16);
  const NdArray m = NdArray::of<double>(std::vector<double>{0.1, -1.0}, Shape{2, 1});
  const NdArray xs = numpy_arith(x, ArithOp::Multiply, s);
  ASSERT_EQ(xs.dtype(), DType::Float32);
  EXPECT_EQ(xs.data<float>()[2], 0.3f * 3.0f);
  const NdArray y = numpy_arith(xs, ArithOp::Add, m);
  ASSERT_EQ(y.dtype(), DType::Float64);
  ASSERT_EQ(y.shape(), (Shape{2, 3}));
  EXPECT_EQ(y.data<double>()[1], static_cast<double>(0.2f * 0.25f) + 0.1);
  EXPECT_EQ(y.data<double>()[5], 9.0 - 1.0);
  // float16 adds through float32 and rounds back (NumPy: 0.1 + 0.2 gives the bits 13516); int8 wraps.
  const NdArray h = NdArray::of<double>({0.1}).astype(DType::Float16), k = NdArray::of<double>({0.2}).astype(DType::Float16);
  EXPECT_EQ(numpy_arith(h, ArithOp::Add, k).data<Half>()[0].bits, 13516);
  const NdArray i8 = NdArray::of<std::int8_t>({100});
  EXPECT_EQ(numpy_arith(i8, ArithOp::Add, i8).data<std::int8_t>()[0], -56);
  EXPECT_EQ(numpy_arith(NdArray::of<std::int16_t>({3}), ArithOp::Divide, NdArray::of<std::int16_t>({2})).data<double>()[0], 1.5);
  try {
    numpy_arith(NdArray(DType::Float64, {4, 7}), ArithOp::Multiply, NdArray(DType::Float64, {5}));
    ADD_FAILURE() << "broadcast";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "operands could not be broadcast together with shapes (4,7) (5,)");
  }
  // Into a caller's array of the result's type and shape, which may be an operand.
  NdArray out(DType::Float32, {2, 3});
  numpy_arith(x, ArithOp::Subtract, NdArray::scalar<float>(1.0f), out);
  EXPECT_EQ(out.data<float>()[5], 2.0f);
  numpy_arith(out, ArithOp::Multiply, out, out);
  EXPECT_EQ(out.data<float>()[5], 4.0f);
  EXPECT_THROW(numpy_arith(x, ArithOp::Add, m, out), std::invalid_argument);
}

TEST(NumpyArithTest, AssignConvertsIntoSharedStorage) {
  NdArray a(DType::Float32, {2, 3});
  NdArray row = a.item(1);
  row.assign(NdArray::of<double>({1.5, 2.5, 1e300}));
  EXPECT_EQ(a.data<float>()[3], 1.5f);
  EXPECT_TRUE(std::isinf(a.data<float>()[5]));
  a.assign(NdArray::of<std::int16_t>({1, 2, 3, 4, 5, 6}).reshaped({3, 2}));
  EXPECT_EQ(a.data<float>()[5], 6.0f);
  EXPECT_THROW(a.assign(NdArray(DType::Float32, {5})), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
