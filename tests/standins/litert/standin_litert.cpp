// The LiteRT stand-in library (see standin_litert.h for the model format and the kernels).
#include "standins/litert/standin_litert.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/float16.h"
#include "mirel2/litert/c_api.h"

namespace {

struct TensorDesc {
  std::string name;
  TfLiteType type = kTfLiteNoType;
  std::vector<std::int32_t> dims;  // -1 marks a resizable dimension
};

struct SignatureDesc {
  std::string key;
  std::string kernel;
  std::vector<TensorDesc> inputs;   // name order
  std::vector<TensorDesc> outputs;  // name order
};

struct ModelDesc {
  std::string path;
  std::vector<SignatureDesc> signatures;
};

const char* const KERNELS[] = {"identity", "tokmix", "step", "probe", "noop", "fail_invoke", "fail_allocate"};

TfLiteType parse_type(const std::string& s) {
  static const std::pair<const char*, TfLiteType> table[] = {
      {"float32", kTfLiteFloat32}, {"float16", kTfLiteFloat16}, {"float64", kTfLiteFloat64},
      {"int8", kTfLiteInt8},       {"uint8", kTfLiteUInt8},     {"int16", kTfLiteInt16},
      {"int32", kTfLiteInt32},     {"int64", kTfLiteInt64},     {"bool", kTfLiteBool}};
  for (const auto& [name, type] : table)
    if (s == name) return type;
  throw std::runtime_error("unknown type " + s);
}

std::size_t type_size(TfLiteType t) {
  switch (t) {
    case kTfLiteBool:
    case kTfLiteInt8:
    case kTfLiteUInt8: return 1;
    case kTfLiteInt16:
    case kTfLiteFloat16: return 2;
    case kTfLiteFloat32:
    case kTfLiteInt32: return 4;
    case kTfLiteFloat64:
    case kTfLiteInt64: return 8;
    default: return 0;
  }
}

std::vector<TensorDesc> parse_tensors(const nlohmann::json& list) {
  std::vector<TensorDesc> out;
  for (const auto& t : list) {
    TensorDesc d;
    d.name = t.at("name").get<std::string>();
    d.type = parse_type(t.at("type").get<std::string>());
    d.dims = t.at("dims").get<std::vector<std::int32_t>>();
    for (auto v : d.dims)
      if (v < -1 || v == 0) throw std::runtime_error("bad dimension in tensor " + d.name);
    out.push_back(std::move(d));
  }
  // The runtime keeps a signature's tensors in a name-keyed map: listed in name order.
  std::sort(out.begin(), out.end(), [](const TensorDesc& a, const TensorDesc& b) { return a.name < b.name; });
  return out;
}

std::shared_ptr<const ModelDesc> parse_model(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open");
  std::stringstream text;
  text << in.rdbuf();
  const auto j = nlohmann::json::parse(text.str());
  if (j.at("format") != "litert-standin") throw std::runtime_error("not a stand-in model");
  if (const auto slow = j.find("load_seconds"); slow != j.end()) {
    std::this_thread::sleep_for(std::chrono::duration<double>(slow->get<double>()));
  }
  auto m = std::make_shared<ModelDesc>();
  m->path = path;
  for (const auto& s : j.at("signatures")) {
    SignatureDesc d;
    d.key = s.at("key").get<std::string>();
    d.kernel = s.at("kernel").get<std::string>();
    if (std::find_if(std::begin(KERNELS), std::end(KERNELS), [&](const char* k) { return d.kernel == k; }) ==
        std::end(KERNELS))
      throw std::runtime_error("unknown kernel " + d.kernel);
    d.inputs = parse_tensors(s.at("inputs"));
    d.outputs = parse_tensors(s.at("outputs"));
    for (const auto& o : d.outputs)
      for (auto v : o.dims)
        if (v < 0) throw std::runtime_error("output " + o.name + " has an open dimension");
    m->signatures.push_back(std::move(d));
  }
  return m;
}

// ---- the record of calls ------------------------------------------------------------------------------------

struct InterpreterRecord {
  std::string model;
  std::int32_t threads;
};
struct InvokeRecord {
  std::string model;
  std::string signature;
  long zero_rows;  // -1: not counted
};

struct Record {
  std::mutex mutex;
  std::vector<InterpreterRecord> interpreters;
  std::vector<InvokeRecord> invokes;
  std::string text;
};

Record& record() {
  static auto* r = new Record();
  return *r;
}

}  // namespace

// ---- the C API's objects ------------------------------------------------------------------------------------

struct TfLiteModel {
  std::shared_ptr<const ModelDesc> desc;
};

struct TfLiteInterpreterOptions {
  std::int32_t threads = -1;
  TfLiteErrorReporterFn reporter = nullptr;
  void* user_data = nullptr;
};

struct TfLiteTensor {
  std::string name;
  TfLiteType type = kTfLiteNoType;
  std::vector<std::int32_t> dims;
  std::vector<std::int32_t> dims_signature;
  std::vector<std::byte> data;
  bool has_data = false;

  std::size_t elements() const {
    std::size_t n = 1;
    for (auto d : dims) n *= static_cast<std::size_t>(d);
    return n;
  }
  std::size_t byte_size() const { return elements() * type_size(type); }
};

namespace {

struct Signature {
  const SignatureDesc* desc = nullptr;
  std::vector<TfLiteTensor> inputs;
  std::vector<TfLiteTensor> outputs;
  bool allocated = false;
};

TfLiteTensor make_tensor(const TensorDesc& d) {
  TfLiteTensor t;
  t.name = d.name;
  t.type = d.type;
  t.dims_signature = d.dims;
  for (auto v : d.dims) t.dims.push_back(v < 0 ? 1 : v);
  return t;
}

}  // namespace

struct TfLiteInterpreter {
  std::shared_ptr<const ModelDesc> desc;
  TfLiteInterpreterOptions options;
  std::vector<Signature> signatures;

  void report(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    if (options.reporter != nullptr) {
      options.reporter(options.user_data, format, args);
    } else {
      std::fputs("stand-in LiteRT: ", stderr);
      std::vfprintf(stderr, format, args);
      std::fputc('\n', stderr);
    }
    va_end(args);
  }
};

struct TfLiteSignatureRunner {
  TfLiteInterpreter* interpreter;
  Signature* signature;
};

namespace {

// Fresh, zeroed storage for every tensor of the signature, as an allocation that re-plans the arena gives.
TfLiteStatus allocate(TfLiteInterpreter* it, Signature& s) {
  if (s.desc->kernel == "fail_allocate") {
    it->report("kernel fail_allocate of signature '%s' refuses to allocate", s.desc->key.c_str());
    return kTfLiteError;
  }
  if (s.allocated) return kTfLiteOk;
  for (auto* list : {&s.inputs, &s.outputs})
    for (auto& t : *list) {
      t.data = std::vector<std::byte>(t.byte_size());
      t.has_data = true;
    }
  s.allocated = true;
  return kTfLiteOk;
}

// ---- kernels ------------------------------------------------------------------------------------------------

// The tensor's values as float32: its own storage when it is float32, else converted into `scratch`.
const float* read_floats(const TfLiteTensor& t, std::vector<float>& scratch) {
  const std::size_t n = t.elements();
  switch (t.type) {
    case kTfLiteFloat32: return reinterpret_cast<const float*>(t.data.data());
    case kTfLiteFloat16: {
      scratch.resize(n);
      const auto* in = reinterpret_cast<const std::uint16_t*>(t.data.data());
      for (std::size_t i = 0; i < n; ++i) scratch[i] = velmora::half_to_float(in[i]);
      return scratch.data();
    }
    case kTfLiteFloat64: {
      scratch.resize(n);
      const auto* in = reinterpret_cast<const double*>(t.data.data());
      for (std::size_t i = 0; i < n; ++i) scratch[i] = static_cast<float>(in[i]);
      return scratch.data();
    }
    default: throw std::runtime_error("input " + t.name + " is not a float tensor");
  }
}

// Where a kernel writes float32 results for `t`; finish_floats() then stores them in t's own type.
float* write_floats(TfLiteTensor& t, std::vector<float>& scratch) {
  if (t.type == kTfLiteFloat32) return reinterpret_cast<float*>(t.data.data());
  if (t.type != kTfLiteFloat16 && t.type != kTfLiteFloat64)
    throw std::runtime_error("output " + t.name + " is not a float tensor");
  scratch.resize(t.elements());
  return scratch.data();
}

void finish_floats(TfLiteTensor& t, const std::vector<float>& scratch) {
  const std::size_t n = t.elements();
  if (t.type == kTfLiteFloat16) {
    auto* out = reinterpret_cast<std::uint16_t*>(t.data.data());
    for (std::size_t i = 0; i < n; ++i) out[i] = velmora::float_to_half(scratch[i]);
  } else if (t.type == kTfLiteFloat64) {
    auto* out = reinterpret_cast<double*>(t.data.data());
    for (std::size_t i = 0; i < n; ++i) out[i] = scratch[i];
  }
}

TfLiteTensor& only_output(Signature& s) {
  if (s.outputs.size() != 1) throw std::runtime_error("kernel needs exactly one output");
  return s.outputs[0];
}

void kernel_identity(Signature& s) {
  if (s.inputs.size() != 1) throw std::runtime_error("identity needs exactly one input");
  const TfLiteTensor& in = s.inputs[0];
  TfLiteTensor& out = only_output(s);
  if (in.type != out.type || in.elements() != out.elements())
    throw std::runtime_error("identity: the output's type or size differs from the input's");
  std::memcpy(out.data.data(), in.data.data(), in.byte_size());
}

void kernel_tokmix(Signature& s) {
  if (s.inputs.size() != 1) throw std::runtime_error("tokmix needs exactly one input");
  std::vector<float> in_scratch, out_scratch;
  const float* x = read_floats(s.inputs[0], in_scratch);
  const auto n = static_cast<std::int64_t>(s.inputs[0].elements());
  TfLiteTensor& out_t = only_output(s);
  float* out = write_floats(out_t, out_scratch);
  const auto m = static_cast<std::int64_t>(out_t.elements());
  for (std::int64_t i = 0; i < m; ++i) {
    const float a = x[(i * 7919) % n] * 0.5f;
    const float b = static_cast<float>(i % 101) * 0.0078125f;
    out[i] = a + b;
  }
  finish_floats(out_t, out_scratch);
}

void kernel_step(Signature& s) {
  if (s.inputs.size() != 2) throw std::runtime_error("step needs exactly two inputs");
  const int hi = s.inputs[0].dims.size() == 5 ? 0 : (s.inputs[1].dims.size() == 5 ? 1 : -1);
  if (hi < 0) throw std::runtime_error("step needs a 5-D history input");
  const TfLiteTensor& ht = s.inputs[static_cast<std::size_t>(hi)];
  const TfLiteTensor& at = s.inputs[static_cast<std::size_t>(1 - hi)];
  std::vector<float> hs, as, os;
  const float* h = read_floats(ht, hs);
  const float* a = read_floats(at, as);
  const std::size_t c_n = static_cast<std::size_t>(ht.dims[1]), slots = static_cast<std::size_t>(ht.dims[2]);
  const std::size_t plane = static_cast<std::size_t>(ht.dims[3]) * static_cast<std::size_t>(ht.dims[4]);
  const std::size_t k = at.elements();
  TfLiteTensor& out_t = only_output(s);
  if (out_t.elements() != c_n * plane) throw std::runtime_error("step: the output is not one latent");
  float* out = write_floats(out_t, os);
  for (std::size_t c = 0; c < c_n; ++c) {
    const float* newest = h + (c * slots + slots - 1) * plane;
    const float* oldest = h + c * slots * plane;
    for (std::size_t p = 0; p < plane; ++p) {
      const float u = newest[p] * 0.5f;
      const float v = oldest[p] * 0.25f;
      const float w = a[(c * plane + p) % k] * 0.125f;
      out[c * plane + p] = (u + v) + w;
    }
  }
  finish_floats(out_t, os);
}

long kernel_probe(Signature& s) {
  if (s.inputs.size() != 1) throw std::runtime_error("probe needs exactly one input");
  const TfLiteTensor& in_t = s.inputs[0];
  TfLiteTensor& out_t = only_output(s);
  if (in_t.dims.size() != 4 || out_t.dims.size() != 4 || in_t.dims[0] != out_t.dims[0] || out_t.dims[1] != 3 ||
      in_t.dims[1] < 6 || (in_t.dims[1] - 4) % 2 != 0 || out_t.dims[2] % in_t.dims[2] != 0 ||
      out_t.dims[3] % in_t.dims[3] != 0)
    throw std::runtime_error("probe: input and output shapes do not fit");
  std::vector<float> is, os;
  const float* x = read_floats(in_t, is);
  float* out = write_floats(out_t, os);
  const int batch = in_t.dims[0], cin = in_t.dims[1], h = in_t.dims[2], w = in_t.dims[3];
  const int lat = (cin - 4) / 2, oh = out_t.dims[2], ow = out_t.dims[3], sy = oh / h, sx = ow / w;
  const std::size_t plane = static_cast<std::size_t>(h) * static_cast<std::size_t>(w);
  const std::size_t frame = static_cast<std::size_t>(oh) * static_cast<std::size_t>(ow);
  long zero_rows = 0;
  for (int b = 0; b < batch; ++b) {
    const float* row = x + static_cast<std::size_t>(b) * static_cast<std::size_t>(cin) * plane;
    const std::size_t row_n = static_cast<std::size_t>(cin) * plane;
    if (std::all_of(row, row + row_n, [](float v) { return v == 0.0f; })) ++zero_rows;
    float* r = out + static_cast<std::size_t>(b) * 3 * frame;
    float* g = r + frame;
    float* bl = g + frame;
    for (int y = 0; y < oh; ++y) {
      const int cy = y / sy, dy = y % sy;
      for (int xx = 0; xx < ow; ++xx) {
        const int cx = xx / sx;
        const int ch = (dy * sx + xx % sx) % lat;
        const std::size_t cell = static_cast<std::size_t>(cy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(cx);
        const std::size_t o = static_cast<std::size_t>(y) * static_cast<std::size_t>(ow) + static_cast<std::size_t>(xx);
        r[o] = row[static_cast<std::size_t>(ch) * plane + cell] * 0.5f + 0.25f;
        g[o] = row[static_cast<std::size_t>(lat + ch) * plane + cell] * 0.5f + 0.25f;
        bl[o] = row[static_cast<std::size_t>(2 * lat + xx % 4) * plane + cell] * 1.25f + (-0.125f);
      }
    }
  }
  finish_floats(out_t, os);
  return zero_rows;
}

Signature* find_signature(const TfLiteInterpreter* it, const char* key) {
  for (auto& s : const_cast<TfLiteInterpreter*>(it)->signatures)
    if (key != nullptr && s.desc->key == key) return &s;
  return nullptr;
}

const char* name_at(const std::vector<TfLiteTensor>& list, int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return nullptr;
  return list[static_cast<std::size_t>(index)].name.c_str();
}

TfLiteTensor* find_tensor(std::vector<TfLiteTensor>& list, const char* name) {
  for (auto& t : list)
    if (name != nullptr && t.name == name) return &t;
  return nullptr;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

const char* TfLiteVersion(void) { return STANDIN_LITERT_VERSION; }

TfLiteModel* TfLiteModelCreateFromFile(const char* model_path) {
  try {
    return new TfLiteModel{parse_model(model_path)};
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stand-in LiteRT: cannot load model %s: %s\n", model_path, e.what());
    return nullptr;
  }
}

void TfLiteModelDelete(TfLiteModel* model) { delete model; }

TfLiteInterpreterOptions* TfLiteInterpreterOptionsCreate(void) { return new TfLiteInterpreterOptions(); }
void TfLiteInterpreterOptionsDelete(TfLiteInterpreterOptions* options) { delete options; }
void TfLiteInterpreterOptionsSetNumThreads(TfLiteInterpreterOptions* options, int32_t num_threads) {
  options->threads = num_threads;
}
void TfLiteInterpreterOptionsSetErrorReporter(TfLiteInterpreterOptions* options, TfLiteErrorReporterFn reporter,
                                              void* user_data) {
  options->reporter = reporter;
  options->user_data = user_data;
}

TfLiteInterpreter* TfLiteInterpreterCreate(const TfLiteModel* model, const TfLiteInterpreterOptions* options) {
  if (model == nullptr) return nullptr;
  auto* it = new TfLiteInterpreter();
  it->desc = model->desc;
  if (options != nullptr) it->options = *options;
  for (const auto& d : it->desc->signatures) {
    Signature s;
    s.desc = &d;
    for (const auto& t : d.inputs) s.inputs.push_back(make_tensor(t));
    for (const auto& t : d.outputs) s.outputs.push_back(make_tensor(t));
    it->signatures.push_back(std::move(s));
  }
  auto& r = record();
  const std::lock_guard<std::mutex> lock(r.mutex);
  r.interpreters.push_back({it->desc->path, it->options.threads});
  return it;
}

void TfLiteInterpreterDelete(TfLiteInterpreter* interpreter) { delete interpreter; }

TfLiteStatus TfLiteInterpreterAllocateTensors(TfLiteInterpreter* interpreter) {
  for (auto& s : interpreter->signatures)
    if (allocate(interpreter, s) != kTfLiteOk) return kTfLiteError;
  return kTfLiteOk;
}

int32_t TfLiteInterpreterGetSignatureCount(const TfLiteInterpreter* interpreter) {
  return static_cast<int32_t>(interpreter->signatures.size());
}

const char* TfLiteInterpreterGetSignatureKey(const TfLiteInterpreter* interpreter, int32_t signature_index) {
  if (signature_index < 0 || static_cast<std::size_t>(signature_index) >= interpreter->signatures.size())
    return nullptr;
  return interpreter->signatures[static_cast<std::size_t>(signature_index)].desc->key.c_str();
}

TfLiteSignatureRunner* TfLiteInterpreterGetSignatureRunner(const TfLiteInterpreter* interpreter,
                                                           const char* signature_key) {
  Signature* s = find_signature(interpreter, signature_key);
  if (s == nullptr) return nullptr;
  return new TfLiteSignatureRunner{const_cast<TfLiteInterpreter*>(interpreter), s};
}

size_t TfLiteSignatureRunnerGetInputCount(const TfLiteSignatureRunner* runner) {
  return runner->signature->inputs.size();
}

const char* TfLiteSignatureRunnerGetInputName(const TfLiteSignatureRunner* runner, int32_t input_index) {
  return name_at(runner->signature->inputs, input_index);
}

TfLiteStatus TfLiteSignatureRunnerResizeInputTensor(TfLiteSignatureRunner* runner, const char* input_name,
                                                    const int* input_dims, int32_t input_dims_size) {
  TfLiteTensor* t = find_tensor(runner->signature->inputs, input_name);
  if (t == nullptr) {
    runner->interpreter->report("no input named %s", input_name ? input_name : "(null)");
    return kTfLiteError;
  }
  const std::vector<std::int32_t> dims(input_dims, input_dims + input_dims_size);
  if (dims == t->dims) return kTfLiteOk;
  bool ok = dims.size() == t->dims_signature.size();
  for (std::size_t i = 0; ok && i < dims.size(); ++i)
    ok = dims[i] > 0 && (t->dims_signature[i] == -1 || t->dims_signature[i] == dims[i]);
  if (!ok) {
    runner->interpreter->report("ResizeInputTensorStrict only allows mutating unknown dimensions of input %s",
                                t->name.c_str());
    return kTfLiteError;
  }
  t->dims = dims;
  for (auto* list : {&runner->signature->inputs, &runner->signature->outputs})
    for (auto& u : *list) {
      u.data.clear();
      u.data.shrink_to_fit();
      u.has_data = false;
    }
  runner->signature->allocated = false;
  return kTfLiteOk;
}

TfLiteStatus TfLiteSignatureRunnerAllocateTensors(TfLiteSignatureRunner* runner) {
  return allocate(runner->interpreter, *runner->signature);
}

TfLiteTensor* TfLiteSignatureRunnerGetInputTensor(TfLiteSignatureRunner* runner, const char* input_name) {
  return find_tensor(runner->signature->inputs, input_name);
}

TfLiteStatus TfLiteSignatureRunnerInvoke(TfLiteSignatureRunner* runner) {
  Signature& s = *runner->signature;
  TfLiteInterpreter* it = runner->interpreter;
  if (!s.allocated) {
    it->report("invoke of signature '%s' before its tensors were allocated", s.desc->key.c_str());
    return kTfLiteError;
  }
  long zero_rows = -1;
  try {
    const std::string& k = s.desc->kernel;
    if (k == "identity") kernel_identity(s);
    else if (k == "tokmix") kernel_tokmix(s);
    else if (k == "step") kernel_step(s);
    else if (k == "probe") zero_rows = kernel_probe(s);
    else if (k == "fail_invoke") throw std::runtime_error("kernel fail_invoke fails");
  } catch (const std::exception& e) {
    it->report("signature '%s': %s", s.desc->key.c_str(), e.what());
    return kTfLiteError;
  }
  auto& r = record();
  const std::lock_guard<std::mutex> lock(r.mutex);
  r.invokes.push_back({it->desc->path, s.desc->key, zero_rows});
  return kTfLiteOk;
}

size_t TfLiteSignatureRunnerGetOutputCount(const TfLiteSignatureRunner* runner) {
  return runner->signature->outputs.size();
}

const char* TfLiteSignatureRunnerGetOutputName(const TfLiteSignatureRunner* runner, int32_t output_index) {
  return name_at(runner->signature->outputs, output_index);
}

const TfLiteTensor* TfLiteSignatureRunnerGetOutputTensor(const TfLiteSignatureRunner* runner,
                                                         const char* output_name) {
  return find_tensor(runner->signature->outputs, output_name);
}

void TfLiteSignatureRunnerDelete(TfLiteSignatureRunner* runner) { delete runner; }

TfLiteType TfLiteTensorType(const TfLiteTensor* tensor) { return tensor->type; }
int32_t TfLiteTensorNumDims(const TfLiteTensor* tensor) { return static_cast<int32_t>(tensor->dims.size()); }
int32_t TfLiteTensorDim(const TfLiteTensor* tensor, int32_t dim_index) {
  return tensor->dims.at(static_cast<std::size_t>(dim_index));
}
size_t TfLiteTensorByteSize(const TfLiteTensor* tensor) { return tensor->byte_size(); }
void* TfLiteTensorData(const TfLiteTensor* tensor) {
  return tensor->has_data ? const_cast<std::byte*>(tensor->data.data()) : nullptr;
}
const char* TfLiteTensorName(const TfLiteTensor* tensor) { return tensor->name.c_str(); }

TfLiteStatus TfLiteTensorCopyFromBuffer(TfLiteTensor* tensor, const void* input_data, size_t input_data_size) {
  if (!tensor->has_data || input_data_size != tensor->byte_size()) return kTfLiteError;
  std::memcpy(tensor->data.data(), input_data, input_data_size);
  return kTfLiteOk;
}

TfLiteStatus TfLiteTensorCopyToBuffer(const TfLiteTensor* tensor, void* output_data, size_t output_data_size) {
  if (!tensor->has_data || output_data_size != tensor->byte_size()) return kTfLiteError;
  std::memcpy(output_data, tensor->data.data(), output_data_size);
  return kTfLiteOk;
}

const char* StandinLitertReport(void) {
  auto& r = record();
  const std::lock_guard<std::mutex> lock(r.mutex);
  nlohmann::json j;
  j["interpreters"] = nlohmann::json::array();
  for (const auto& i : r.interpreters) j["interpreters"].push_back({{"model", i.model}, {"threads", i.threads}});
  j["invokes"] = nlohmann::json::array();
  for (const auto& i : r.invokes) {
    nlohmann::json e = {{"model", i.model}, {"signature", i.signature}};
    if (i.zero_rows >= 0) e["zero_rows"] = i.zero_rows;
    j["invokes"].push_back(std::move(e));
  }
  r.text = j.dump();
  return r.text.c_str();
}

void StandinLitertClear(void) {
  auto& r = record();
  const std::lock_guard<std::mutex> lock(r.mutex);
  r.interpreters.clear();
  r.invokes.clear();
}

}  // extern "C"
#pragma GCC visibility pop
