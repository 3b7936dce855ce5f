#include "common/ndarray.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "common/float16.h"

namespace velmora {

static_assert(sizeof(bool) == 1, "bool elements are one byte, as NumPy's and the runtimes' are");

std::size_t dtype_size(DType t) {
  switch (t) {
    case DType::Bool: case DType::Int8: case DType::UInt8: return 1;
    case DType::Int16: case DType::UInt16: case DType::Float16: return 2;
    case DType::Int32: case DType::UInt32: case DType::Float32: return 4;
    case DType::Int64: case DType::UInt64: case DType::Float64: return 8;
  }
  return 1;
}

std::string_view dtype_name(DType t) {
  switch (t) {
    case DType::Bool: return "bool";
    case DType::Int8: return "int8";
    case DType::UInt8: return "uint8";
    case DType::Int16: return "int16";
    case DType::UInt16: return "uint16";
    case DType::Int32: return "int32";
    case DType::UInt32: return "uint32";
    case DType::Int64: return "int64";
    case DType::UInt64: return "uint64";
    case DType::Float16: return "float16";
    case DType::Float32: return "float32";
    case DType::Float64: return "float64";
  }
  return "?";
}

bool is_float_dtype(DType t) { return t == DType::Float16 || t == DType::Float32 || t == DType::Float64; }

// --- Shape ---------------------------------------------------------------------------------------------

Shape::Shape(std::initializer_list<std::int64_t> dims) : Shape(std::span<const std::int64_t>(dims.begin(), dims.size())) {}

Shape::Shape(std::span<const std::int64_t> dims) {
  if (dims.size() > static_cast<std::size_t>(MAX_RANK))
    throw std::invalid_argument("arrays of more than " + std::to_string(MAX_RANK) + " dimensions are not supported");
  rank_ = static_cast<int>(dims.size());
  std::copy(dims.begin(), dims.end(), dims_);
}

std::int64_t Shape::size() const {
  std::int64_t n = 1;
  for (int i = 0; i < rank_; ++i) n *= dims_[i];
  return n;
}

Shape Shape::prepend(std::int64_t n) const {
  if (rank_ == MAX_RANK) throw std::invalid_argument("arrays of more than 8 dimensions are not supported");
  Shape s;
  s.rank_ = rank_ + 1;
  s.dims_[0] = n;
  std::copy(dims_, dims_ + rank_, s.dims_ + 1);
  return s;
}

Shape Shape::append(std::int64_t n) const {
  if (rank_ == MAX_RANK) throw std::invalid_argument("arrays of more than 8 dimensions are not supported");
  Shape s = *this;
  s.dims_[s.rank_++] = n;
  return s;
}

Shape Shape::drop_first() const {
  if (rank_ == 0) throw std::out_of_range("a scalar has no first axis");
  return Shape(std::span<const std::int64_t>(dims_ + 1, dims_ + rank_));
}

std::string Shape::str() const {
  std::string s = "(";
  for (int i = 0; i < rank_; ++i) {
    if (i) s += ", ";
    s += std::to_string(dims_[i]);
  }
  if (rank_ == 1) s += ",";
  return s + ")";
}

bool operator==(const Shape& a, const Shape& b) {
  return a.rank_ == b.rank_ && std::equal(a.dims_, a.dims_ + a.rank_, b.dims_);
}

// --- NdArray -------------------------------------------------------------------------------------------

namespace {

constexpr std::size_t ALIGN = 64;

// The element count of `shape`, checked as NdArray::fits() checks it.
std::int64_t checked_size(const Shape& shape, DType dtype) {
  if (std::any_of(shape.begin(), shape.end(), [](std::int64_t d) { return d < 0; }))
    throw std::invalid_argument("negative dimensions are not allowed: " + shape.str());
  if (!NdArray::fits(dtype, shape)) throw std::invalid_argument("array is too big: shape " + shape.str());
  return shape.size();
}

std::shared_ptr<void> allocate(std::size_t bytes) {
  void* p = ::operator new(bytes == 0 ? ALIGN : bytes, std::align_val_t{ALIGN});
  return std::shared_ptr<void>(p, [](void* q) { ::operator delete(q, std::align_val_t{ALIGN}); });
}

}  // namespace

bool NdArray::fits(DType dtype, const Shape& shape) {
  const auto item = static_cast<std::int64_t>(dtype_size(dtype));
  std::int64_t n = 1;  // elements of the non-zero axes
  for (std::int64_t d : shape) {
    if (d < 0) return false;
    if (d == 0) continue;
    if (n > MAX_BYTES / item / d) return false;
    n *= d;
  }
  return true;
}

NdArray::NdArray() : NdArray(DType::Float64, Shape{0}) {}

NdArray::NdArray(DType dtype, Shape shape) : NdArray(uninitialized(dtype, shape)) {
  std::memset(data_, 0, nbytes());
}

NdArray NdArray::uninitialized(DType dtype, Shape shape) {
  NdArray a(dtype, shape, 0);
  auto buf = allocate(a.nbytes());
  a.data_ = static_cast<std::byte*>(buf.get());
  a.owner_ = std::move(buf);
  return a;
}

NdArray::NdArray(DType dtype, Shape shape, int) : dtype_(dtype), shape_(shape), size_(checked_size(shape, dtype)) {}

NdArray NdArray::adopt(DType dtype, Shape shape, std::shared_ptr<const void> owner, const void* data) {
  NdArray a(dtype, shape, 0);
  a.owner_ = std::move(owner);
  // Elements are written only through arrays that own writable storage; adopted buffers are read-only by
  // contract of their callers (the runtime's outputs, file bytes).
  a.data_ = static_cast<std::byte*>(const_cast<void*>(data));
  return a;
}

std::int64_t NdArray::dim(int axis) const {
  if (axis < 0 || axis >= rank())
    throw std::out_of_range("axis " + std::to_string(axis) + " is out of bounds for array of dimension " +
                            std::to_string(rank()));
  return shape_[axis];
}

void NdArray::check_type(DType want) const {
  if (want != dtype_)
    throw std::logic_error("array of " + std::string(dtype_name(dtype_)) + " read as " + std::string(dtype_name(want)));
}

NdArray NdArray::item(std::int64_t i) const {
  if (rank() == 0) throw std::out_of_range("a scalar array has no items");
  if (i < 0 || i >= shape_[0])
    throw std::out_of_range("index " + std::to_string(i) + " is out of bounds for axis 0 with size " +
                            std::to_string(shape_[0]));
  NdArray a(dtype_, shape_.drop_first(), 0);
  a.owner_ = owner_;
  a.data_ = data_ + static_cast<std::size_t>(i) * a.nbytes();
  return a;
}

NdArray NdArray::slice(std::int64_t begin, std::int64_t end) const {
  if (rank() == 0) throw std::out_of_range("a scalar array has no items");
  if (begin < 0 || begin > end || end > shape_[0])
    throw std::out_of_range("slice " + std::to_string(begin) + ":" + std::to_string(end) + " is out of bounds for axis 0 with size " +
                            std::to_string(shape_[0]));
  std::int64_t dims[Shape::MAX_RANK];
  std::copy(shape_.begin(), shape_.end(), dims);
  dims[0] = end - begin;
  NdArray a(dtype_, Shape(std::span<const std::int64_t>(dims, static_cast<std::size_t>(rank()))), 0);
  a.owner_ = owner_;
  a.data_ = data_ + static_cast<std::size_t>(begin) * (shape_[0] ? nbytes() / static_cast<std::size_t>(shape_[0]) : 0);
  return a;
}

NdArray NdArray::reshaped(Shape shape) const {
  NdArray a(dtype_, shape, 0);
  if (a.size_ != size_)
    throw std::invalid_argument("cannot reshape array of size " + std::to_string(size_) + " into shape " + shape.str());
  a.owner_ = owner_;
  a.data_ = data_;
  return a;
}

NdArray NdArray::copy() const {
  NdArray a = uninitialized(dtype_, shape_);
  if (nbytes()) std::memcpy(a.data_, data_, nbytes());
  return a;
}

namespace {

// A float to an integer type: truncation toward zero, NaN to 0, saturation beyond the range.
template <class I, class F>
I float_to_int(F v) {
  if (std::isnan(v)) return 0;
  constexpr auto lo = static_cast<long double>(std::numeric_limits<I>::min());
  constexpr auto hi = static_cast<long double>(std::numeric_limits<I>::max());
  const auto x = static_cast<long double>(v);
  if (x <= lo) return std::numeric_limits<I>::min();
  if (x >= hi) return std::numeric_limits<I>::max();
  return static_cast<I>(x);
}

// One element from type S to type D, as NumPy converts it.
template <class D, class S>
D convert(S v) {
  if constexpr (std::is_same_v<S, Half>) {
    if constexpr (std::is_same_v<D, Half>) return v;
    else return convert<D>(half_to_float(v.bits));
  } else if constexpr (std::is_same_v<D, Half>) {
    if constexpr (std::is_same_v<S, double>) return Half{double_to_half(v)};
    else if constexpr (std::is_same_v<S, bool>) return Half{float_to_half(v ? 1.0f : 0.0f)};
    else return Half{float_to_half(static_cast<float>(v))};
  } else if constexpr (std::is_same_v<D, bool>) {
    return v != S{0};
  } else if constexpr (std::is_floating_point_v<S> && std::is_integral_v<D>) {
    return float_to_int<D>(v);
  } else {
    return static_cast<D>(v);
  }
}

}  // namespace

double NdArray::as_double(std::int64_t flat) const {
  if (flat < 0 || flat >= size_) throw std::out_of_range("index " + std::to_string(flat) + " is out of bounds for size " + std::to_string(size_));
  return visit_dtype(dtype_, [&](auto s) -> double {
    using S = decltype(s);
    S v;
    std::memcpy(&v, data_ + static_cast<std::size_t>(flat) * sizeof(S), sizeof(S));
    return convert<double>(v);
  });
}

NdArray NdArray::astype(DType dtype) const {
  NdArray out = uninitialized(dtype, shape_);
  out.assign(*this);
  return out;
}

void NdArray::assign(const NdArray& src) {
  if (src.size_ != size_)
    throw std::invalid_argument("cannot assign " + std::to_string(src.size_) + " values to an array of shape " + shape_.str());
  visit_dtype(src.dtype_, [&](auto s) {
    using S = decltype(s);
    visit_dtype(dtype_, [&](auto d) {
      using D = decltype(d);
      const S* in = reinterpret_cast<const S*>(src.data_);
      D* o = reinterpret_cast<D*>(data_);
      if constexpr (std::is_same_v<S, D>) {
        if (size_) std::memmove(o, in, nbytes());
      } else {
        for (std::int64_t i = 0; i < size_; ++i) o[i] = convert<D>(in[i]);
      }
    });
  });
}

}  // namespace velmora
