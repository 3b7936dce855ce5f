#pragma once
// The LiteRT C library, loaded at run time: dlopen of `libtensorflowlite_c.so` through the dynamic loader's own
// search (the program's rpath, LD_LIBRARY_PATH, the system folders), and every function of c_api.h resolved by
// name. Nothing of LiteRT is linked, so a machine without it runs everything but the interpreter chain.
#include <memory>
#include <optional>
#include <string>

#include "mirel2/litert/c_api.h"

namespace velmora::litert {

inline constexpr const char* LIBRARY_NAME = "libtensorflowlite_c.so";
// How every failure to load the library begins (the library's name follows), so that whoever reads the host's
// standard error can tell it from other start-up faults.
inline constexpr const char* LOAD_FAILURE = "the LiteRT C library ";

// The resolved functions, named as in c_api.h.
struct Api {
#define VELMORA_LITERT_FN(name) decltype(&::name) name = nullptr;
#include "mirel2/litert/functions.inc"
#undef VELMORA_LITERT_FN
};

class Library {
 public:
  // Loads `name` and resolves every function. Throws std::runtime_error naming the library when it cannot be
  // loaded (with the loader's reason), or the first function it lacks.
  static std::shared_ptr<const Library> open(const std::string& name = LIBRARY_NAME);

  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  const Api& api() const { return api_; }
  const std::string& name() const { return name_; }
  // TfLiteVersion() as text.
  std::string version() const;

 private:
  Library() = default;
  void* handle_ = nullptr;
  std::string name_;
  Api api_;
};

// The process's LiteRT library, loaded at the first call and kept for the life of the process. A failed load
// throws (as Library::open) and is tried again at the next call.
std::shared_ptr<const Library> runtime();

// The version text of the process's LiteRT library, or nothing when it cannot be loaded. Never throws.
std::optional<std::string> runtime_version();

}  // namespace velmora::litert
