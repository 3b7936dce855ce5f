#include "mirel2/litert/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <stdexcept>

namespace velmora::litert {
namespace {

// The folder of the running program, or "" when it cannot be read.
std::string program_folder() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  const std::string exe(buf, static_cast<std::size_t>(n));
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

std::shared_ptr<const Library> Library::open(const std::string& name) {
  ::dlerror();
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    const std::string reason = why ? why : "unknown reason";
    // A bare name is also looked for in the program's folder, which the program's rpath ($ORIGIN) names: an
    // interposed dlopen (a sanitizer's) searches on behalf of its own library and misses the program's rpath.
    if (name.find('/') == std::string::npos) {
      const std::string folder = program_folder();
      if (!folder.empty()) handle = ::dlopen((folder + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (handle == nullptr) throw std::runtime_error(LOAD_FAILURE + name + " could not be loaded: " + reason);
  }
  std::shared_ptr<Library> lib(new Library());
  lib->handle_ = handle;
  lib->name_ = name;
#define VELMORA_LITERT_FN(fn)                                                                              \
  lib->api_.fn = reinterpret_cast<decltype(&::fn)>(::dlsym(handle, #fn));                                \
  if (lib->api_.fn == nullptr)                                                                             \
    throw std::runtime_error(LOAD_FAILURE + name + " lacks the function " #fn);
#include "mirel2/litert/functions.inc"
#undef VELMORA_LITERT_FN
  return lib;
}

Library::~Library() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::string Library::version() const {
  const char* v = api_.TfLiteVersion();
  return v ? v : "";
}

std::shared_ptr<const Library> runtime() {
  // Never released: the library stays mapped until the process ends, whatever order exit-time destructors run in.
  static std::mutex mutex;
  static auto* lib = new std::shared_ptr<const Library>();
  const std::lock_guard<std::mutex> lock(mutex);
  if (!*lib) *lib = Library::open();
  return *lib;
}

std::optional<std::string> runtime_version() {
  try {
    return runtime()->version();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace velmora::litert
