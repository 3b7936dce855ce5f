#include "v2u/host/ort_session.h"

#include <onnxruntime_cxx_api.h>

#include <stdexcept>

namespace velmora::v2u {

namespace {

// The runtime's environment: made at the first session and kept for the life of the process, so that no
// session can outlive it (sessions held in static objects are destroyed late).
Ort::Env& env() {
  static Ort::Env* e = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "velmora");
  return *e;
}

const Ort::MemoryInfo& cpu_memory() {
  static const Ort::MemoryInfo* m = new Ort::MemoryInfo(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault));
  return *m;
}

ONNXTensorElementDataType ort_type(DType t) {
  switch (t) {
    case DType::Bool: return ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL;
    case DType::Int8: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8;
    case DType::UInt8: return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8;
    case DType::Int16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16;
    case DType::UInt16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16;
    case DType::Int32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32;
    case DType::UInt32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32;
    case DType::Int64: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64;
    case DType::UInt64: return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64;
    case DType::Float16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    case DType::Float32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
    case DType::Float64: return ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE;
  }
  return ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
}

DType from_ort_type(ONNXTensorElementDataType t) {
  switch (t) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return DType::Bool;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return DType::Int8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return DType::UInt8;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return DType::Int16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return DType::UInt16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return DType::Int32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return DType::UInt32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return DType::Int64;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return DType::UInt64;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return DType::Float16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return DType::Float32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return DType::Float64;
    default: throw std::invalid_argument("graph output of element type " + std::to_string(static_cast<int>(t)) + " is not supported");
  }
}

// A tensor over the array's own storage; the runtime reads inputs and writes preallocated outputs in place.
Ort::Value view(const NdArray& a) {
  const Shape& s = a.shape();
  return Ort::Value::CreateTensor(cpu_memory(), const_cast<void*>(a.raw_data()), a.nbytes(), s.begin(),
                                  static_cast<std::size_t>(s.rank()), ort_type(a.dtype()));
}

NdArray adopt(Ort::Value v) {
  if (!v.IsTensor()) throw std::invalid_argument("graph output is not a tensor");
  const auto info = v.GetTensorTypeAndShapeInfo();
  const DType t = from_ort_type(info.GetElementType());
  const std::vector<std::int64_t> dims = info.GetShape();
  auto owner = std::make_shared<Ort::Value>(std::move(v));
  const void* data = owner->GetTensorRawData();
  return NdArray::adopt(t, Shape(std::span<const std::int64_t>(dims)), std::move(owner), data);
}

std::vector<const char*> c_names(const std::vector<std::string>& names) {
  std::vector<const char*> out;
  out.reserve(names.size());
  for (const auto& n : names) out.push_back(n.c_str());
  return out;
}

}  // namespace

Session::Session(std::unique_ptr<Ort::Session> s, int threads) : s_(std::move(s)), threads_(threads) {
  Ort::AllocatorWithDefaultOptions alloc;
  for (std::size_t i = 0; i < s_->GetInputCount(); ++i) inputs_.emplace_back(s_->GetInputNameAllocated(i, alloc).get());
  for (std::size_t i = 0; i < s_->GetOutputCount(); ++i) outputs_.emplace_back(s_->GetOutputNameAllocated(i, alloc).get());
}

Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

std::vector<NdArray> Session::run(std::span<const Feed> feeds, std::span<const char* const> outputs) const {
  std::vector<const char*> in_names;
  std::vector<Ort::Value> in_values;
  in_names.reserve(feeds.size());
  in_values.reserve(feeds.size());
  for (const Feed& f : feeds) {
    in_names.push_back(f.name);
    in_values.push_back(view(f.value));
  }
  std::vector<const char*> all;
  if (outputs.empty()) {
    all = c_names(outputs_);
    outputs = all;
  }
  std::vector<Ort::Value> out = s_->Run(Ort::RunOptions{nullptr}, in_names.data(), in_values.data(), in_values.size(),
                                        outputs.data(), outputs.size());
  std::vector<NdArray> result;
  result.reserve(out.size());
  for (auto& v : out) result.push_back(adopt(std::move(v)));
  return result;
}

void Session::run_into(std::span<const Feed> feeds, std::span<const char* const> outputs, std::span<NdArray> results) const {
  if (outputs.size() != results.size()) throw std::invalid_argument("run_into: one result array per output name");
  std::vector<const char*> in_names;
  std::vector<Ort::Value> in_values;
  for (const Feed& f : feeds) {
    in_names.push_back(f.name);
    in_values.push_back(view(f.value));
  }
  std::vector<Ort::Value> out_values;
  for (NdArray& r : results) out_values.push_back(view(r));
  s_->Run(Ort::RunOptions{nullptr}, in_names.data(), in_values.data(), in_values.size(), outputs.data(),
          out_values.data(), out_values.size());
}

Session ort_session(const std::string& path, int threads) {
  if (threads < 0) throw std::invalid_argument("ort_session: thread count must not be negative, not " + std::to_string(threads));
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(threads);
  opts.SetInterOpNumThreads(1);
  opts.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  opts.AddConfigEntry("session.intra_op.allow_spinning", "0");
  opts.SetLogSeverityLevel(3);
  // No execution provider is appended: the CPU provider is the session's only one.
  return Session(std::make_unique<Ort::Session>(env(), path.c_str(), opts), threads);
}

}  // namespace velmora::v2u
