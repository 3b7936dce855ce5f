#pragma once
// Test support for the LiteRT stand-in: a writer of its model files, with the signatures of the render host's
// chain ready-made, and a reader of its call record. standin_models.py writes the same files from Python.
#include <dlfcn.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "standins/litert/standin_litert.h"

namespace velmora::testing::standin {

struct TensorSpec {
  std::string name;
  std::string type;  // NumPy's name: "float32", "float16", ...
  std::vector<int> dims;
};

struct SignatureSpec {
  std::string key;
  std::string kernel;
  std::vector<TensorSpec> inputs;
  std::vector<TensorSpec> outputs;
};

// `load_seconds`: how long creating the model takes (0: no wait).
inline std::string model_json(const std::vector<SignatureSpec>& signatures, double load_seconds = 0) {
  auto tensors = [](const std::vector<TensorSpec>& list) {
    nlohmann::json a = nlohmann::json::array();
    for (const auto& t : list) a.push_back({{"name", t.name}, {"type", t.type}, {"dims", t.dims}});
    return a;
  };
  nlohmann::json j = {{"format", "litert-standin"}, {"signatures", nlohmann::json::array()}};
  for (const auto& s : signatures)
    j["signatures"].push_back(
        {{"key", s.key}, {"kernel", s.kernel}, {"inputs", tensors(s.inputs)}, {"outputs", tensors(s.outputs)}});
  if (load_seconds > 0) j["load_seconds"] = load_seconds;
  return j.dump(1);
}

// Writes the model file and returns its path.
inline std::string write_model(const std::string& path, const std::vector<SignatureSpec>& signatures) {
  std::ofstream out(path, std::ios::binary);
  out << model_json(signatures);
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

// ---- the chain's signatures, with the shapes the host passes --------------------------------------------------

inline SignatureSpec enc_signature(std::string kernel = "identity") {
  return {"enc", std::move(kernel), {{"args_0", "float32", {1, 35200}}}, {{"output_0", "float32", {1, 35200}}}};
}

inline SignatureSpec tok_signature(std::string out_type = "float32", std::vector<int> out_dims = {14, 16, 384}) {
  return {"tok14", "tokmix", {{"args_0", "float32", {1, 35200}}}, {{"output_0", std::move(out_type), std::move(out_dims)}}};
}

// The history under `hist_name`, the token under `tok_name`.
inline SignatureSpec step_signature(std::string hist_name = "args_0", std::string tok_name = "args_1",
                                    std::string tok_type = "float32", std::vector<int> out_dims = {1, 16, 90, 52}) {
  return {"step",
          "step",
          {{std::move(hist_name), "float32", {1, 16, 16, 90, 52}}, {std::move(tok_name), std::move(tok_type), {1, 16, 384}}},
          {{"output_0", "float32", std::move(out_dims)}}};
}

inline SignatureSpec dec_signature(int batch, std::string kernel = "probe", std::string out_type = "float32") {
  return {batch == 16 ? "dec16" : "dec8",
          std::move(kernel),
          {{"args_0", "float32", {batch, 36, 90, 52}}},
          {{"output_0", std::move(out_type), {batch, 3, 720, 416}}}};
}

// The five signatures of a combined model, in the usual model order.
inline std::vector<SignatureSpec> combined_signatures(std::string dec_kernel = "probe") {
  return {enc_signature(), tok_signature(), step_signature(), dec_signature(16, dec_kernel),
          dec_signature(8, dec_kernel)};
}

// ---- the call record ----------------------------------------------------------------------------------------

class Record {
 public:
  // What the stand-in saw since the last clear(): {"interpreters": [...], "invokes": [...]}.
  static nlohmann::json read() { return nlohmann::json::parse(fn<const char* (*)()>("StandinLitertReport")()); }
  static void clear() { fn<void (*)()>("StandinLitertClear")(); }

  // The signature keys invoked, in order.
  static std::vector<std::string> invoked() {
    std::vector<std::string> keys;
    const nlohmann::json record = read();
    for (const auto& i : record["invokes"]) keys.push_back(i["signature"].get<std::string>());
    return keys;
  }

 private:
  template <class F>
  static F fn(const char* name) {
    // The library in the programs' folder, which the chain loads: the same file, so the same handle.
    static void* handle = ::dlopen(VELMORA_BIN_DIR "/libtensorflowlite_c.so", RTLD_NOW);
    if (handle == nullptr) throw std::runtime_error(std::string("stand-in not found: ") + ::dlerror());
    void* f = ::dlsym(handle, name);
    if (f == nullptr) throw std::runtime_error(std::string("stand-in lacks ") + name);
    return reinterpret_cast<F>(f);
  }
};

}  // namespace velmora::testing::standin
