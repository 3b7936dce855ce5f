#pragma once
// NumPy's elementwise arithmetic between two arrays: the result's element type by NumPy's type promotion, its
// shape by broadcasting, and every operation carried out in the result type as NumPy carries it out (float16
// through float32 and rounded back, integers wrapping). Needed wherever a result is formed "in the common
// type" of a value and an array whose stored element type is free.
#include "common/ndarray.h"

namespace velmora {

enum class ArithOp { Add, Subtract, Multiply, Divide };

// numpy.promote_types for the numeric element types: the smallest type both convert to without loss (a bool
// yields to the other type; int64 with uint64 gives float64).
DType promote_types(DType a, DType b);

// The element type of a `op` b: promote_types, except that a true division of integers gives float64.
// Throws std::invalid_argument for two bools (NumPy has no boolean subtract and divides them as float64;
// nothing here needs either).
DType arith_type(DType a, ArithOp op, DType b);

// NumPy's broadcast of two shapes. Throws std::invalid_argument("operands could not be broadcast together
// with shapes (4,7) (5,)").
Shape broadcast_shapes(const Shape& a, const Shape& b);

// a `op` b as a new array of arith_type and broadcast_shapes.
NdArray numpy_arith(const NdArray& a, ArithOp op, const NdArray& b);
// The same into `out`, which must already have that element type and shape (std::invalid_argument otherwise);
// nothing is allocated. `out` may share its elements with an operand of the same shape.
void numpy_arith(const NdArray& a, ArithOp op, const NdArray& b, NdArray& out);

}  // namespace velmora
