#pragma once
// A small n-dimensional array: an element type, a shape and contiguous row-major storage.
//
// Copies of an NdArray share their elements, as NumPy references to one array do; `copy()` and `astype()`
// make independent arrays. Storage is 64-byte aligned, so arrays can be handed to inference runtimes as they
// are, and an array can adopt a buffer owned elsewhere (a runtime's output, a file's bytes) without copying.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/float16.h"

namespace velmora {

// IEEE binary16 bits. Arithmetic goes through float (common/float16.h converts with NumPy's rounding).
struct Half {
  std::uint16_t bits = 0;
  friend bool operator==(Half a, Half b) { return a.bits == b.bits; }
};

enum class DType : std::uint8_t {
  Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float16, Float32, Float64
};

std::size_t dtype_size(DType t);
// NumPy's name of the type: "bool", "int8", ..., "float64".
std::string_view dtype_name(DType t);
bool is_float_dtype(DType t);

template <class T> struct DTypeOf;
template <> struct DTypeOf<bool> { static constexpr DType value = DType::Bool; };
template <> struct DTypeOf<std::int8_t> { static constexpr DType value = DType::Int8; };
template <> struct DTypeOf<std::uint8_t> { static constexpr DType value = DType::UInt8; };
template <> struct DTypeOf<std::int16_t> { static constexpr DType value = DType::Int16; };
template <> struct DTypeOf<std::uint16_t> { static constexpr DType value = DType::UInt16; };
template <> struct DTypeOf<std::int32_t> { static constexpr DType value = DType::Int32; };
template <> struct DTypeOf<std::uint32_t> { static constexpr DType value = DType::UInt32; };
template <> struct DTypeOf<std::int64_t> { static constexpr DType value = DType::Int64; };
template <> struct DTypeOf<std::uint64_t> { static constexpr DType value = DType::UInt64; };
template <> struct DTypeOf<Half> { static constexpr DType value = DType::Float16; };
template <> struct DTypeOf<float> { static constexpr DType value = DType::Float32; };
template <> struct DTypeOf<double> { static constexpr DType value = DType::Float64; };
template <class T> inline constexpr DType dtype_of = DTypeOf<std::remove_cv_t<T>>::value;

// Calls `f` with a value-initialised object of the C++ element type of `t` (bool, std::int8_t, ..., Half,
// float, double), so that one generic lambda serves every element type.
template <class F>
decltype(auto) visit_dtype(DType t, F&& f) {
  switch (t) {
    case DType::Bool: return f(bool{});
    case DType::Int8: return f(std::int8_t{});
    case DType::UInt8: return f(std::uint8_t{});
    case DType::Int16: return f(std::int16_t{});
    case DType::UInt16: return f(std::uint16_t{});
    case DType::Int32: return f(std::int32_t{});
    case DType::UInt32: return f(std::uint32_t{});
    case DType::Int64: return f(std::int64_t{});
    case DType::UInt64: return f(std::uint64_t{});
    case DType::Float16: return f(Half{});
    case DType::Float32: return f(float{});
    case DType::Float64: break;
  }
  return f(double{});
}

// An element of any type as a double (float16 widened exactly, bool as 0 or 1).
template <class T>
double widen(T v) {
  if constexpr (std::is_same_v<T, Half>) return static_cast<double>(half_to_float(v.bits));
  else return static_cast<double>(v);
}

// Axis lengths, at most MAX_RANK of them, held inline (making a shape never allocates).
class Shape {
 public:
  static constexpr int MAX_RANK = 8;

  Shape() = default;  // rank 0: a scalar
  Shape(std::initializer_list<std::int64_t> dims);
  explicit Shape(std::span<const std::int64_t> dims);

  int rank() const { return rank_; }
  std::int64_t operator[](int axis) const { return dims_[axis]; }
  const std::int64_t* begin() const { return dims_; }
  const std::int64_t* end() const { return dims_ + rank_; }
  // The element count: the product of the lengths, 1 for a scalar.
  std::int64_t size() const;
  // This shape with `n` in front, and this shape without its first axis.
  Shape prepend(std::int64_t n) const;
  Shape drop_first() const;
  Shape append(std::int64_t n) const;
  // Python's tuple text: "()", "(3,)", "(2, 3)".
  std::string str() const;

  friend bool operator==(const Shape& a, const Shape& b);

 private:
  std::int64_t dims_[MAX_RANK] = {};
  int rank_ = 0;
};

class NdArray {
 public:
  // The most bytes an array's non-zero axes may span (NumPy allows 2^63 - 1).
  static constexpr std::int64_t MAX_BYTES = std::int64_t{1} << 62;
  // True when an array of `dtype` can take `shape`: no negative length, and the lengths of the non-zero axes
  // multiply to at most MAX_BYTES bytes. As in NumPy, an axis of length 0 does not make a shape fit, wherever it
  // stands. Every constructor and view checks this.
  static bool fits(DType dtype, const Shape& shape);

  // An empty float64 array of shape (0,).
  NdArray();
  // A zero-filled array. Throws std::invalid_argument for a shape that does not fit().
  NdArray(DType dtype, Shape shape);
  // An array whose elements are left as the allocator gives them, for buffers that are filled at once.
  static NdArray uninitialized(DType dtype, Shape shape);
  // An array over `data`, kept valid by `owner` (shared by every copy). `data` must hold shape.size() elements.
  static NdArray adopt(DType dtype, Shape shape, std::shared_ptr<const void> owner, const void* data);

  // An array holding `values` (a copy) in the given shape; the shape defaults to one axis.
  template <class T>
  static NdArray of(std::span<const T> values, Shape shape);
  template <class T>
  static NdArray of(std::initializer_list<T> values) {
    return of<T>(std::span<const T>(values.begin(), values.size()), Shape{std::int64_t(values.size())});
  }
  template <class T>
  static NdArray of(const std::vector<T>& values, Shape shape) { return of<T>(std::span<const T>(values), shape); }
  template <class T>
  static NdArray scalar(T value) { return of<T>(std::span<const T>(&value, 1), Shape{}); }

  DType dtype() const { return dtype_; }
  const Shape& shape() const { return shape_; }
  int rank() const { return shape_.rank(); }
  std::int64_t dim(int axis) const;  // throws std::out_of_range for an axis beyond the rank
  std::int64_t size() const { return size_; }
  std::size_t nbytes() const { return static_cast<std::size_t>(size_) * dtype_size(dtype_); }

  // Typed element access; throws std::logic_error when T is not the element type.
  template <class T> T* data() { check_type(dtype_of<T>); return reinterpret_cast<T*>(data_); }
  template <class T> const T* data() const { check_type(dtype_of<T>); return reinterpret_cast<const T*>(data_); }
  template <class T> std::span<T> values() { return {data<T>(), static_cast<std::size_t>(size_)}; }
  template <class T> std::span<const T> values() const { return {data<T>(), static_cast<std::size_t>(size_)}; }
  void* raw_data() { return data_; }
  const void* raw_data() const { return data_; }

  // Element `flat` (row-major position) of any element type, as a double (float16 widened exactly).
  double as_double(std::int64_t flat) const;

  // Sub-array `i` along the first axis (NumPy's a[i]), sharing the elements. Throws std::out_of_range.
  NdArray item(std::int64_t i) const;
  // Items begin .. end - 1 along the first axis (NumPy's a[begin:end]), sharing the elements. Throws
  // std::out_of_range unless 0 <= begin <= end <= dim(0).
  NdArray slice(std::int64_t begin, std::int64_t end) const;
  // The same elements under another shape of the same element count. Throws std::invalid_argument.
  NdArray reshaped(Shape shape) const;
  // An independent copy.
  NdArray copy() const;
  // A new array of another element type, converted element by element as NumPy's astype does: floats to
  // integers truncate toward zero (NaN gives 0 and values beyond the target's range saturate, where NumPy's
  // result is undefined), integers wrap, anything to bool is "not zero", float64 to float16 rounds once.
  NdArray astype(DType dtype) const;
  // Writes the elements of `src` (the same element count, any shape and element type), converted as astype()
  // converts them, into this array's storage, which every copy of it shares; nothing is allocated. Throws
  // std::invalid_argument for another element count.
  void assign(const NdArray& src);

 private:
  NdArray(DType dtype, Shape shape, int);  // shape and size set, no storage yet
  void check_type(DType want) const;
  DType dtype_ = DType::Float64;
  Shape shape_;
  std::int64_t size_ = 0;
  std::shared_ptr<const void> owner_;
  std::byte* data_ = nullptr;
};

template <class T>
NdArray NdArray::of(std::span<const T> values, Shape shape) {
  if (static_cast<std::int64_t>(values.size()) != shape.size())
    throw std::invalid_argument("cannot hold " + std::to_string(values.size()) + " values in shape " + shape.str());
  NdArray a = uninitialized(dtype_of<T>, shape);
  std::copy(values.begin(), values.end(), a.data<T>());
  return a;
}

}  // namespace velmora
