#pragma once
// Owners of LiteRT handles: one move-only object per handle, every call checked, errors as exceptions with the
// runtime's own message where it gave one. Single-threaded: an interpreter and its runners belong to one thread.
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mirel2/litert/library.h"
#include "mirel2/litert/tensor.h"

namespace velmora::litert {

namespace detail {
// The runtime's messages for one interpreter, kept until the next checked call reads them.
struct ErrorLog;
}  // namespace detail

// The owner of one runtime handle: move-only, released with the matching delete function of the library it
// came from, which it keeps loaded.
template <class T, void (*Api::*Delete)(T*)>
class Owner {
 public:
  Owner() = default;
  Owner(std::shared_ptr<const Library> lib, T* handle) : lib_(std::move(lib)), handle_(handle) {}
  Owner(Owner&& o) noexcept : lib_(std::move(o.lib_)), handle_(std::exchange(o.handle_, nullptr)) {}
  Owner& operator=(Owner&& o) noexcept {
    if (this != &o) {
      reset();
      lib_ = std::move(o.lib_);
      handle_ = std::exchange(o.handle_, nullptr);
    }
    return *this;
  }
  ~Owner() { reset(); }

  T* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  const Api& api() const { return lib_->api(); }
  const std::shared_ptr<const Library>& library() const { return lib_; }

 private:
  void reset() {
    if (handle_ != nullptr) (lib_->api().*Delete)(handle_);
    handle_ = nullptr;
  }
  std::shared_ptr<const Library> lib_;
  T* handle_ = nullptr;
};

using Model = Owner<TfLiteModel, &Api::TfLiteModelDelete>;
using InterpreterOptions = Owner<TfLiteInterpreterOptions, &Api::TfLiteInterpreterOptionsDelete>;

class SignatureRunner;

class Interpreter {
 public:
  // Loads `model_path` and builds an interpreter with `threads` threads (passed to the runtime unchanged).
  // The model handle is released at once: the interpreter keeps what it needs, so the file may go afterwards.
  // Throws std::runtime_error naming the file when it cannot be loaded or the interpreter cannot be built.
  static Interpreter create(std::shared_ptr<const Library> lib, const std::string& model_path, int threads);

  Interpreter(Interpreter&&) noexcept;
  Interpreter& operator=(Interpreter&&) noexcept;
  ~Interpreter();

  void allocate_tensors();
  // Signature keys in model order.
  std::vector<std::string> signature_keys() const;
  // A runner of `key`; it must be released before this interpreter. Throws for an unknown key.
  SignatureRunner runner(const std::string& key) const;

  const std::string& model_path() const { return path_; }

 private:
  Interpreter() = default;
  // The log before the handle: the handle, released first, may report into it until then.
  std::unique_ptr<detail::ErrorLog> errors_;
  Owner<TfLiteInterpreter, &Api::TfLiteInterpreterDelete> handle_;
  std::string path_;
};

// One input of a call: its name, and the element type and dims of the value it will take.
struct InputSpec {
  std::string_view name;
  TfLiteType type;
  Dims dims;
};

class SignatureRunner {
 public:
  SignatureRunner(SignatureRunner&&) noexcept = default;
  SignatureRunner& operator=(SignatureRunner&&) noexcept = default;
  ~SignatureRunner();

  const std::string& key() const { return key_; }
  // Input names in the runtime's order (name order).
  const std::vector<std::string>& input_names() const { return inputs_; }
  // The dims an input has now.
  Dims input_dims(std::string_view name) const;

  // Readies the inputs for one call, as a call with these keyword inputs does: they must be exactly the
  // signature's inputs and their types must equal the inputs' types; an input whose dims differ is resized,
  // and tensors are allocated when a resize (or nothing yet) requires it. Then `storage[i]` receives input i's
  // bytes (dims' elements x element size), to be filled before invoke(). Throws std::runtime_error.
  void prepare(std::span<const InputSpec> specs, std::span<std::span<std::byte>> storage);
  // prepare() for one input, then its bytes copied from `value`.
  void set_input(std::string_view name, const TensorView& value);
  // prepare() for two inputs, then their bytes copied.
  void set_inputs(std::string_view name0, const TensorView& value0, std::string_view name1, const TensorView& value1);

  void invoke();
  // An output as it stands: valid until the next invoke or prepare. Throws for an unknown name.
  TensorView output(std::string_view name) const;

 private:
  friend class Interpreter;
  SignatureRunner() = default;
  const std::string& input_name(std::string_view name) const;  // the cached name, or throws
  std::string failure(const std::string& what) const;

  Owner<TfLiteSignatureRunner, &Api::TfLiteSignatureRunnerDelete> handle_;
  detail::ErrorLog* errors_ = nullptr;  // the interpreter's
  std::string key_;
  std::vector<std::string> inputs_;
  std::vector<std::string> outputs_;
  bool allocated_ = false;
};

}  // namespace velmora::litert
