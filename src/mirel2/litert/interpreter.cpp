#include "mirel2/litert/interpreter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "common/pytext.h"

namespace velmora::litert {

namespace detail {

struct ErrorLog {
  std::mutex mutex;
  std::string text;  // messages since the last take(), joined by "; "

  static void report(void* user_data, const char* format, va_list args) {
    auto* log = static_cast<ErrorLog*>(user_data);
    char buf[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    std::string line = n < 0 ? std::string(format) : std::string(buf, std::min<std::size_t>(n, sizeof buf - 1));
    const std::lock_guard<std::mutex> lock(log->mutex);
    if (!log->text.empty()) log->text += "; ";
    log->text += line;
  }

  std::string take() {
    const std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(text, std::string());
  }
};

}  // namespace detail

namespace {

std::string with_reason(std::string what, detail::ErrorLog* log) {
  std::string why = log ? log->take() : std::string();
  if (!why.empty()) what += ": " + why;
  return what;
}

Dims dims_of(const Api& api, const TfLiteTensor* t) {
  const int n = api.TfLiteTensorNumDims(t);
  if (n < 0 || n > Dims::MAX) throw std::runtime_error("LiteRT tensor with " + std::to_string(n) + " dimensions");
  Dims d;
  d.size = n;
  for (int i = 0; i < n; ++i) d.d[static_cast<std::size_t>(i)] = api.TfLiteTensorDim(t, i);
  return d;
}

}  // namespace

Interpreter Interpreter::create(std::shared_ptr<const Library> lib, const std::string& model_path, int threads) {
  const Api& api = lib->api();
  Interpreter it;
  it.path_ = model_path;
  it.errors_ = std::make_unique<detail::ErrorLog>();

  const Model model(lib, api.TfLiteModelCreateFromFile(model_path.c_str()));
  if (!model) throw std::runtime_error("LiteRT could not load the model file " + py_repr(model_path));
  const InterpreterOptions options(lib, api.TfLiteInterpreterOptionsCreate());
  if (!options) throw std::runtime_error("LiteRT could not create interpreter options");
  api.TfLiteInterpreterOptionsSetNumThreads(options.get(), threads);
  api.TfLiteInterpreterOptionsSetErrorReporter(options.get(), &detail::ErrorLog::report, it.errors_.get());
  // The model and the options go when this returns: the interpreter keeps what it needs of both.
  it.handle_ = {lib, api.TfLiteInterpreterCreate(model.get(), options.get())};
  if (!it.handle_)
    throw std::runtime_error(
        with_reason("LiteRT could not build an interpreter for " + py_repr(model_path), it.errors_.get()));
  return it;
}

Interpreter::Interpreter(Interpreter&&) noexcept = default;
Interpreter& Interpreter::operator=(Interpreter&&) noexcept = default;
Interpreter::~Interpreter() = default;

void Interpreter::allocate_tensors() {
  errors_->take();
  if (handle_.api().TfLiteInterpreterAllocateTensors(handle_.get()) != kTfLiteOk)
    throw std::runtime_error(with_reason("LiteRT could not allocate the tensors of " + py_repr(path_), errors_.get()));
}

std::vector<std::string> Interpreter::signature_keys() const {
  const Api& api = handle_.api();
  const int n = api.TfLiteInterpreterGetSignatureCount(handle_.get());
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    const char* key = api.TfLiteInterpreterGetSignatureKey(handle_.get(), i);
    keys.emplace_back(key ? key : "");
  }
  return keys;
}

SignatureRunner Interpreter::runner(const std::string& key) const {
  const Api& api = handle_.api();
  SignatureRunner r;
  r.errors_ = errors_.get();
  r.key_ = key;
  r.handle_ = {handle_.library(), api.TfLiteInterpreterGetSignatureRunner(handle_.get(), key.c_str())};
  if (!r.handle_)
    throw std::runtime_error(with_reason("LiteRT has no signature " + py_repr(key) + " in " + py_repr(path_), errors_.get()));
  const auto n_in = api.TfLiteSignatureRunnerGetInputCount(r.handle_.get());
  for (std::size_t i = 0; i < n_in; ++i) {
    const char* name = api.TfLiteSignatureRunnerGetInputName(r.handle_.get(), static_cast<std::int32_t>(i));
    r.inputs_.emplace_back(name ? name : "");
  }
  const auto n_out = api.TfLiteSignatureRunnerGetOutputCount(r.handle_.get());
  for (std::size_t i = 0; i < n_out; ++i) {
    const char* name = api.TfLiteSignatureRunnerGetOutputName(r.handle_.get(), static_cast<std::int32_t>(i));
    r.outputs_.emplace_back(name ? name : "");
  }
  return r;
}

SignatureRunner::~SignatureRunner() = default;

std::string SignatureRunner::failure(const std::string& what) const {
  return with_reason("LiteRT signature " + py_repr(key_) + ": " + what, errors_);
}

const std::string& SignatureRunner::input_name(std::string_view name) const {
  for (const auto& n : inputs_)
    if (n == name) return n;
  throw std::runtime_error("Invalid Input name (" + std::string(name) + ") for SignatureDef " + py_repr(key_));
}

Dims SignatureRunner::input_dims(std::string_view name) const {
  const Api& api = handle_.api();
  const TfLiteTensor* t = api.TfLiteSignatureRunnerGetInputTensor(handle_.get(), input_name(name).c_str());
  if (t == nullptr) throw std::runtime_error(failure("no input tensor " + py_repr(std::string(name))));
  return dims_of(api, t);
}

void SignatureRunner::prepare(std::span<const InputSpec> specs, std::span<std::span<std::byte>> storage) {
  const Api& api = handle_.api();
  if (specs.size() != inputs_.size())
    throw std::runtime_error("Invalid number of inputs provided for running SignatureDef " + py_repr(key_) +
                             ", expected " + std::to_string(inputs_.size()) + " vs provided " +
                             std::to_string(specs.size()));
  errors_->take();
  // Every resize before the allocation, and every copy after it: an allocation may move all of a signature's
  // tensors, so nothing written before it can be trusted.
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const std::string& name = input_name(specs[i].name);
    TfLiteTensor* t = api.TfLiteSignatureRunnerGetInputTensor(handle_.get(), name.c_str());
    if (t == nullptr) throw std::runtime_error(failure("no input tensor " + py_repr(name)));
    const TfLiteType want = api.TfLiteTensorType(t);
    if (specs[i].type != want)
      throw std::runtime_error("Cannot set tensor: Got value of type " + type_name(specs[i].type) +
                               " but expected type " + type_name(want) + " for input " + py_repr(name) +
                               " of signature " + py_repr(key_));
    if (!(dims_of(api, t) == specs[i].dims)) {
      if (api.TfLiteSignatureRunnerResizeInputTensor(handle_.get(), name.c_str(), specs[i].dims.data(),
                                                     specs[i].dims.size) != kTfLiteOk)
        throw std::runtime_error(failure("cannot resize input " + py_repr(name) + " to " + specs[i].dims.text()));
      allocated_ = false;
    }
  }
  if (!allocated_) {
    if (api.TfLiteSignatureRunnerAllocateTensors(handle_.get()) != kTfLiteOk)
      throw std::runtime_error(failure("cannot allocate tensors"));
    allocated_ = true;
  }
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const std::string& name = input_name(specs[i].name);
    TfLiteTensor* t = api.TfLiteSignatureRunnerGetInputTensor(handle_.get(), name.c_str());
    void* data = t ? api.TfLiteTensorData(t) : nullptr;
    const std::size_t bytes = specs[i].dims.elements() * type_size(specs[i].type);
    if (data == nullptr || api.TfLiteTensorByteSize(t) != bytes)
      throw std::runtime_error(failure("input " + py_repr(name) + " has no storage of " + std::to_string(bytes) +
                                       " bytes"));
    storage[i] = std::span<std::byte>(static_cast<std::byte*>(data), bytes);
  }
}

void SignatureRunner::set_input(std::string_view name, const TensorView& value) {
  const InputSpec wanted{name, value.type, value.dims};
  std::span<std::byte> dst;
  prepare(std::span(&wanted, 1), std::span(&dst, 1));
  if (value.bytes != dst.size())
    throw std::runtime_error(failure("value of " + std::to_string(value.bytes) + " bytes for input " +
                                     py_repr(std::string(name)) + " of " + std::to_string(dst.size())));
  if (!dst.empty()) std::memcpy(dst.data(), value.data, dst.size());
}

void SignatureRunner::set_inputs(std::string_view name0, const TensorView& value0, std::string_view name1,
                                 const TensorView& value1) {
  const InputSpec specs[2] = {{name0, value0.type, value0.dims}, {name1, value1.type, value1.dims}};
  std::span<std::byte> dst[2];
  prepare(specs, dst);
  const TensorView* values[2] = {&value0, &value1};
  for (int i = 0; i < 2; ++i) {
    if (values[i]->bytes != dst[i].size())
      throw std::runtime_error(failure("value of " + std::to_string(values[i]->bytes) + " bytes for input " +
                                       py_repr(std::string(specs[i].name)) + " of " + std::to_string(dst[i].size())));
    if (!dst[i].empty()) std::memcpy(dst[i].data(), values[i]->data, dst[i].size());
  }
}

void SignatureRunner::invoke() {
  errors_->take();
  if (!allocated_) throw std::runtime_error(failure("invoked before its inputs were set"));
  if (handle_.api().TfLiteSignatureRunnerInvoke(handle_.get()) != kTfLiteOk) throw std::runtime_error(failure("invoke failed"));
}

TensorView SignatureRunner::output(std::string_view name) const {
  const Api& api = handle_.api();
  const std::string* found = nullptr;
  for (const auto& n : outputs_)
    if (n == name) found = &n;
  if (found == nullptr)
    throw std::runtime_error("LiteRT signature " + py_repr(key_) + " has no output " + py_repr(std::string(name)));
  const TfLiteTensor* t = api.TfLiteSignatureRunnerGetOutputTensor(handle_.get(), found->c_str());
  if (t == nullptr) throw std::runtime_error(failure("no output tensor " + py_repr(*found)));
  TensorView v;
  v.type = api.TfLiteTensorType(t);
  v.dims = dims_of(api, t);
  v.data = api.TfLiteTensorData(t);
  v.bytes = api.TfLiteTensorByteSize(t);
  if (v.data == nullptr && v.bytes != 0) throw std::runtime_error(failure("output " + py_repr(*found) + " has no data"));
  if (type_size(v.type) != 0 && v.bytes != v.dims.elements() * type_size(v.type))
    throw std::runtime_error(failure("output " + py_repr(*found) + " holds " + std::to_string(v.bytes) +
                                     " bytes for shape " + v.dims.text()));
  return v;
}

}  // namespace velmora::litert
