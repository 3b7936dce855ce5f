#include "mirel2/litert/tensor.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/float16.h"

namespace velmora::litert {

Dims::Dims(std::initializer_list<std::int32_t> dims) {
  if (dims.size() > static_cast<std::size_t>(MAX)) throw std::invalid_argument("too many tensor dimensions");
  size = static_cast<int>(dims.size());
  std::copy(dims.begin(), dims.end(), d.begin());
}

std::size_t Dims::elements() const {
  std::size_t n = 1;
  for (int i = 0; i < size; ++i) {
    if (d[static_cast<std::size_t>(i)] <= 0) return 0;
    n *= static_cast<std::size_t>(d[static_cast<std::size_t>(i)]);
  }
  return n;
}

std::string Dims::text() const {
  std::string s = "(";
  for (int i = 0; i < size; ++i) {
    if (i > 0) s += ", ";
    s += std::to_string(d[static_cast<std::size_t>(i)]);
  }
  if (size == 1) s += ",";
  return s + ")";
}

std::string reshape_message(std::size_t size, const Dims& dims) {
  std::string shape = "(";
  for (int i = 0; i < dims.size; ++i) {
    if (i > 0) shape += ',';
    shape += std::to_string(dims[i]);
  }
  if (dims.size == 1) shape += ",";
  return "cannot reshape array of size " + std::to_string(size) + " into shape " + shape + ")";
}

bool operator==(const Dims& a, const Dims& b) {
  return a.size == b.size && std::equal(a.d.begin(), a.d.begin() + a.size, b.d.begin());
}

std::string type_name(TfLiteType type) {
  switch (type) {
    case kTfLiteNoType: return "NOTYPE";
    case kTfLiteFloat32: return "FLOAT32";
    case kTfLiteInt32: return "INT32";
    case kTfLiteUInt8: return "UINT8";
    case kTfLiteInt64: return "INT64";
    case kTfLiteString: return "STRING";
    case kTfLiteBool: return "BOOL";
    case kTfLiteInt16: return "INT16";
    case kTfLiteComplex64: return "COMPLEX64";
    case kTfLiteInt8: return "INT8";
    case kTfLiteFloat16: return "FLOAT16";
    case kTfLiteFloat64: return "FLOAT64";
    case kTfLiteComplex128: return "COMPLEX128";
    case kTfLiteUInt64: return "UINT64";
    case kTfLiteResource: return "RESOURCE";
    case kTfLiteVariant: return "VARIANT";
    case kTfLiteUInt32: return "UINT32";
    case kTfLiteUInt16: return "UINT16";
  }
  return "TYPE" + std::to_string(static_cast<int>(type));
}

std::size_t type_size(TfLiteType type) {
  switch (type) {
    case kTfLiteBool:
    case kTfLiteInt8:
    case kTfLiteUInt8: return 1;
    case kTfLiteInt16:
    case kTfLiteUInt16:
    case kTfLiteFloat16: return 2;
    case kTfLiteFloat32:
    case kTfLiteInt32:
    case kTfLiteUInt32: return 4;
    case kTfLiteFloat64:
    case kTfLiteInt64:
    case kTfLiteUInt64:
    case kTfLiteComplex64: return 8;
    case kTfLiteComplex128: return 16;
    default: return 0;
  }
}

void Tensor::assign(const TensorView& value) {
  type_ = value.type;
  dims_ = value.dims;
  bytes_.resize(value.bytes);
  if (value.bytes != 0) std::memcpy(bytes_.data(), value.data, value.bytes);
}

void Tensor::reshape(const Dims& dims) {
  const std::size_t have = dims_.elements();
  if (dims.elements() != have) throw std::invalid_argument(reshape_message(have, dims));
  dims_ = dims;
}

TensorView Tensor::row(int i, const Dims& dims) const {
  const std::size_t row_bytes = dims.elements() * type_size(type_);
  if (dims_.size == 0 || i < 0 || i >= dims_[0] || row_bytes * static_cast<std::size_t>(dims_[0]) != bytes_.size())
    throw std::out_of_range("tensor row " + std::to_string(i) + " out of range for shape " + dims_.text());
  return {type_, dims, bytes_.data() + row_bytes * static_cast<std::size_t>(i), row_bytes};
}

namespace {

template <class T>
void convert(const void* data, std::size_t count, float* out) {
  const T* in = static_cast<const T*>(data);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(in[i]);
}

}  // namespace

void to_float32(TfLiteType type, const void* data, std::size_t count, float* out) {
  switch (type) {
    case kTfLiteFloat32:
      if (count != 0) std::memcpy(out, data, count * sizeof(float));
      return;
    case kTfLiteFloat16: {
      const auto* in = static_cast<const std::uint16_t*>(data);
      for (std::size_t i = 0; i < count; ++i) out[i] = half_to_float(in[i]);
      return;
    }
    case kTfLiteFloat64: return convert<double>(data, count, out);
    case kTfLiteInt8: return convert<std::int8_t>(data, count, out);
    case kTfLiteUInt8: return convert<std::uint8_t>(data, count, out);
    case kTfLiteInt16: return convert<std::int16_t>(data, count, out);
    case kTfLiteUInt16: return convert<std::uint16_t>(data, count, out);
    case kTfLiteInt32: return convert<std::int32_t>(data, count, out);
    case kTfLiteUInt32: return convert<std::uint32_t>(data, count, out);
    case kTfLiteInt64: return convert<std::int64_t>(data, count, out);
    case kTfLiteUInt64: return convert<std::uint64_t>(data, count, out);
    case kTfLiteBool: {
      const auto* in = static_cast<const std::uint8_t*>(data);
      for (std::size_t i = 0; i < count; ++i) out[i] = in[i] != 0 ? 1.0f : 0.0f;
      return;
    }
    default: throw std::invalid_argument("cannot convert a " + type_name(type) + " tensor to float32");
  }
}

}  // namespace velmora::litert
