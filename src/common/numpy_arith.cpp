#include "common/numpy_arith.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "common/float16.h"

namespace velmora {

namespace {

bool is_signed_int(DType t) {
  return t == DType::Int8 || t == DType::Int16 || t == DType::Int32 || t == DType::Int64;
}

DType signed_of_size(std::size_t n) {
  switch (n) {
    case 1: return DType::Int8;
    case 2: return DType::Int16;
    case 4: return DType::Int32;
    default: return DType::Int64;
  }
}

DType float_of_size(std::size_t n) { return n <= 2 ? DType::Float16 : n == 4 ? DType::Float32 : DType::Float64; }

// NumPy's shape text in messages: "(4,7)", "(5,)", "()".
std::string shape_text(const Shape& s) {
  std::string t = "(";
  for (int i = 0; i < s.rank(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + (s.rank() == 1 ? ",)" : ")");
}

// Element `i` of an array of type `t` converted to T. Promotion only ever converts without loss, except
// 64-bit integers to float64, which round to nearest as NumPy's cast does.
template <class T>
T load(const void* base, DType t, std::int64_t i) {
  return visit_dtype(t, [&](auto s) -> T {
    using S = decltype(s);
    const S v = static_cast<const S*>(base)[i];
    if constexpr (std::is_same_v<T, Half>) return Half{double_to_half(widen(v))};
    else if constexpr (std::is_floating_point_v<T>) return static_cast<T>(widen(v));
    else if constexpr (std::is_same_v<S, Half> || std::is_floating_point_v<S>) return static_cast<T>(widen(v));
    else return static_cast<T>(v);
  });
}

template <class T>
T apply(ArithOp op, T a, T b) {
  if constexpr (std::is_same_v<T, Half>) {
    return Half{float_to_half(apply(op, half_to_float(a.bits), half_to_float(b.bits)))};
  } else if constexpr (std::is_floating_point_v<T>) {
    switch (op) {
      case ArithOp::Add: return a + b;
      case ArithOp::Subtract: return a - b;
      case ArithOp::Multiply: return a * b;
      case ArithOp::Divide: break;
    }
    return a / b;
  } else {
    // Integers wrap as NumPy's do; the arithmetic is unsigned so it never overflows in C++.
    const auto x = static_cast<std::uint64_t>(a), y = static_cast<std::uint64_t>(b);
    switch (op) {
      case ArithOp::Add: return static_cast<T>(x + y);
      case ArithOp::Subtract: return static_cast<T>(x - y);
      default: return static_cast<T>(x * y);  // integer results never divide (arith_type)
    }
  }
}

}  // namespace

DType promote_types(DType a, DType b) {
  if (a == b) return a;
  if (a == DType::Bool) return b;
  if (b == DType::Bool) return a;
  const bool fa = is_float_dtype(a), fb = is_float_dtype(b);
  const std::size_t sa = dtype_size(a), sb = dtype_size(b);
  if (fa && fb) return sa >= sb ? a : b;
  if (fa || fb) {
    // The float type that holds every value of the integer type: 1 byte in float16, 2 in float32, wider in float64.
    const DType f = fa ? a : b;
    const std::size_t si = fa ? sb : sa;
    const DType need = si == 1 ? DType::Float16 : si == 2 ? DType::Float32 : DType::Float64;
    return float_of_size(std::max(dtype_size(f), dtype_size(need)));
  }
  if (is_signed_int(a) == is_signed_int(b)) return sa >= sb ? a : b;
  const std::size_t ss = is_signed_int(a) ? sa : sb, su = is_signed_int(a) ? sb : sa;
  if (su < ss) return is_signed_int(a) ? a : b;
  return su == 8 ? DType::Float64 : signed_of_size(2 * su);
}

DType arith_type(DType a, ArithOp op, DType b) {
  if (a == DType::Bool && b == DType::Bool) throw std::invalid_argument("arithmetic of two bool arrays is not supported");
  const DType t = promote_types(a, b);
  return op == ArithOp::Divide && !is_float_dtype(t) ? DType::Float64 : t;
}

Shape broadcast_shapes(const Shape& a, const Shape& b) {
  const int r = std::max(a.rank(), b.rank());
  std::int64_t dims[Shape::MAX_RANK];
  for (int i = 0; i < r; ++i) {
    const std::int64_t x = i < r - a.rank() ? 1 : a[i - (r - a.rank())];
    const std::int64_t y = i < r - b.rank() ? 1 : b[i - (r - b.rank())];
    if (x != y && x != 1 && y != 1)
      throw std::invalid_argument("operands could not be broadcast together with shapes " + shape_text(a) + " " + shape_text(b));
    dims[i] = x == 1 ? y : x;
  }
  return Shape(std::span<const std::int64_t>(dims, static_cast<std::size_t>(r)));
}

NdArray numpy_arith(const NdArray& a, ArithOp op, const NdArray& b) {
  NdArray out = NdArray::uninitialized(arith_type(a.dtype(), op, b.dtype()), broadcast_shapes(a.shape(), b.shape()));
  numpy_arith(a, op, b, out);
  return out;
}

void numpy_arith(const NdArray& a, ArithOp op, const NdArray& b, NdArray& out) {
  const DType t = arith_type(a.dtype(), op, b.dtype());
  const Shape s = broadcast_shapes(a.shape(), b.shape());
  if (out.dtype() != t || !(out.shape() == s))
    throw std::invalid_argument("numpy_arith: the output must be " + std::string(dtype_name(t)) + " of shape " + s.str() + ", not " +
                                std::string(dtype_name(out.dtype())) + " of shape " + out.shape().str());
  // Element strides of each operand along the output's axes; 0 where it is broadcast.
  const int r = s.rank();
  std::int64_t sa[Shape::MAX_RANK] = {}, sb[Shape::MAX_RANK] = {}, at[Shape::MAX_RANK] = {};
  std::int64_t na = 1, nb = 1;
  for (int i = r - 1; i >= 0; --i) {
    const int ia = i - (r - a.rank()), ib = i - (r - b.rank());
    if (ia >= 0 && a.shape()[ia] != 1) sa[i] = na;
    if (ib >= 0 && b.shape()[ib] != 1) sb[i] = nb;
    if (ia >= 0) na *= a.shape()[ia];
    if (ib >= 0) nb *= b.shape()[ib];
  }
  visit_dtype(t, [&](auto z) {
    using T = decltype(z);
    if constexpr (!std::is_same_v<T, bool>) {
      T* o = static_cast<T*>(out.raw_data());
      std::int64_t ia = 0, ib = 0;
      for (std::int64_t n = 0; n < s.size(); ++n) {
        o[n] = apply(op, load<T>(a.raw_data(), a.dtype(), ia), load<T>(b.raw_data(), b.dtype(), ib));
        // Advance the multi-index, last axis fastest.
        for (int d = r - 1; d >= 0; --d) {
          ia += sa[d];
          ib += sb[d];
          if (++at[d] < s[d]) break;
          ia -= sa[d] * s[d];
          ib -= sb[d] * s[d];
          at[d] = 0;
        }
      }
    }
  });
}

}  // namespace velmora
