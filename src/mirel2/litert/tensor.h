#pragma once
// Tensor values as they cross a signature: element type, dimensions and bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "mirel2/litert/c_api.h"

namespace velmora::litert {

// Dimensions of a tensor, without allocation. More than MAX dimensions is an error where dims are read.
struct Dims {
  static constexpr int MAX = 8;
  int size = 0;
  std::array<std::int32_t, MAX> d{};

  Dims() = default;
  Dims(std::initializer_list<std::int32_t> dims);

  std::int32_t operator[](int i) const { return d[static_cast<std::size_t>(i)]; }
  const std::int32_t* data() const { return d.data(); }
  // Product of the dimensions (1 for a scalar); 0 when any dimension is 0 or negative.
  std::size_t elements() const;
  // NumPy's shape text: "(16, 3, 720, 416)", "(86016,)", "()".
  std::string text() const;

  friend bool operator==(const Dims& a, const Dims& b);
};

// NumPy's message for a reshape of `size` elements into `dims`, with NumPy's spelling of the shape:
// "cannot reshape array of size 86000 into shape (14,16,384)".
std::string reshape_message(std::size_t size, const Dims& dims);

// The runtime's name of a type ("FLOAT32", "FLOAT16", ...).
std::string type_name(TfLiteType type);
// Bytes per element; 0 for types without a fixed element size (string, resource, variant, no type).
std::size_t type_size(TfLiteType type);

// A tensor value that someone else owns: valid as long as its owner says.
struct TensorView {
  TfLiteType type = kTfLiteNoType;
  Dims dims;
  const void* data = nullptr;
  std::size_t bytes = 0;
};

// An owned tensor value. assign() reuses the storage, so a value refilled every chunk allocates only when it grows.
class Tensor {
 public:
  TfLiteType type() const { return type_; }
  const Dims& dims() const { return dims_; }
  const std::byte* data() const { return bytes_.data(); }
  std::size_t bytes() const { return bytes_.size(); }

  // Copies `value`'s type, dims and bytes.
  void assign(const TensorView& value);
  // The same bytes seen with other dims of the same element count (NumPy's reshape); throws std::invalid_argument
  // "cannot reshape array of size N into shape (...)" otherwise.
  void reshape(const Dims& dims);
  TensorView view() const { return {type_, dims_, bytes_.data(), bytes_.size()}; }
  // Row `i` of the first axis, seen with `dims` (whose elements must fill exactly one row).
  TensorView row(int i, const Dims& dims) const;

 private:
  TfLiteType type_ = kTfLiteNoType;
  Dims dims_;
  std::vector<std::byte> bytes_;
};

// Converts `count` elements of `type` to float32 by value, as NumPy's astype(float32) does (float16 exactly,
// float64 and integers rounded to nearest). Throws std::invalid_argument for a type that is not a real number.
void to_float32(TfLiteType type, const void* data, std::size_t count, float* out);

}  // namespace velmora::litert
