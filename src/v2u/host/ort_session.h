#pragma once
// The one factory of ONNX Runtime sessions in the unified renderer, and the session type it returns.
//
// Sessions run on the CPU execution provider only, with `threads` intra-op threads, one inter-op thread,
// full graph optimisation, intra-op threads that do not spin while idle, and session logging of errors only.
// Tensors go in and out as NdArray (bool, integers, float16, float32, float64): inputs are handed to the
// runtime without copying, and outputs adopt the runtime's buffers.
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/ndarray.h"

namespace Ort {
struct Session;
}

namespace velmora::v2u {

// One named input of a run. The array must outlive the run.
struct Feed {
  const char* name;
  const NdArray& value;
};

class Session {
 public:
  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  ~Session();

  // The graph's input and output names, in graph order.
  const std::vector<std::string>& input_names() const { return inputs_; }
  const std::vector<std::string>& output_names() const { return outputs_; }
  // The intra-op thread count the session was created with (0: the runtime's default).
  int intra_op_threads() const { return threads_; }

  // Runs the graph on `feeds` and returns the outputs named in `outputs`, in that order, or every output in
  // graph order when `outputs` is empty. Throws the runtime's error (Ort::Exception) for unknown names and
  // failed runs, std::invalid_argument for an output type NdArray cannot hold. Safe to call from several
  // threads at once.
  std::vector<NdArray> run(std::span<const Feed> feeds, std::span<const char* const> outputs = {}) const;
  std::vector<NdArray> run(std::initializer_list<Feed> feeds, std::initializer_list<const char*> outputs = {}) const {
    return run(std::span<const Feed>(feeds.begin(), feeds.size()), std::span<const char* const>(outputs.begin(), outputs.size()));
  }
  // Runs the graph writing the named outputs into `results`, arrays allocated by the caller with the
  // element type and shape the graph produces; nothing is allocated for them.
  void run_into(std::span<const Feed> feeds, std::span<const char* const> outputs, std::span<NdArray> results) const;

 private:
  friend Session ort_session(const std::string& path, int threads);
  Session(std::unique_ptr<Ort::Session> s, int threads);
  std::unique_ptr<Ort::Session> s_;
  int threads_ = 0;
  std::vector<std::string> inputs_;
  std::vector<std::string> outputs_;
};

// A session for the graph file at `path` with `threads` intra-op threads (0 lets the runtime choose).
// Throws std::invalid_argument for a negative count and the runtime's error (Ort::Exception) for a missing or
// rejected graph file.
Session ort_session(const std::string& path, int threads = 1);

}  // namespace velmora::v2u
