#include "mirel2/ostrand/tool_search.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "common/pytext.h"

namespace velmora::ostrand {
namespace {

namespace fs = std::filesystem;

bool is_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string dl_error_text() {
  const char* e = ::dlerror();
  return e ? e : "unknown dynamic loader error";
}

// Loads the plug-in from the first directory of the path that holds it. On a load failure returns null and
// sets `why` to the loader's text.
std::unique_ptr<SharedEncDep> load_plugin(const std::vector<std::string>& path, std::string& why) {
  std::string file;
  for (const auto& dir : path) {
    if (is_file(path_join(dir, SHARED_ENC_DEP_FILE))) {
      file = path_join(dir, SHARED_ENC_DEP_FILE);
      break;
    }
  }
  // With no directory holding it, the loader's own text for the first directory says why.
  if (file.empty()) file = path_join(path.front(), SHARED_ENC_DEP_FILE);
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    why = dl_error_text();
    return nullptr;
  }
  auto entry = reinterpret_cast<SharedEncDepEntry>(::dlsym(handle, SHARED_ENC_DEP_ENTRY));
  if (entry == nullptr) {
    why = dl_error_text();
    ::dlclose(handle);
    return nullptr;
  }
  const SharedEncDepApi* api = entry();
  if (api == nullptr || api->abi != SHARED_ENC_DEP_ABI || api->base_sha256_of == nullptr ||
      api->dependency_store_dirs == nullptr || api->store_candidates == nullptr || api->verify_base == nullptr ||
      api->free_text == nullptr) {
    ::dlclose(handle);
    throw std::runtime_error(file + ": the shared_enc_dep plug-in hands out no usable operation table");
  }
  return wrap_shared_enc_dep(api, handle);
}

}  // namespace

void find_tool_module(HostState& state, const std::string& program) {
  state.sed.reset();
  state.sed_why.clear();
  const fs::path own_dir = fs::absolute(program).lexically_normal().parent_path();
  const std::string candidates[] = {(own_dir / ".." / ".." / ".." / "tools").lexically_normal().string(),
                                    own_dir.string()};
  for (const auto& candidate : candidates) {
    auto& path = state.plugin_path;
    if (std::find(path.begin(), path.end(), candidate) == path.end()) path.insert(path.begin(), candidate);
    std::string why;
    if (auto plugin = load_plugin(path, why)) {
      state.sed = std::move(plugin);
      state.sed_why = candidate;
      return;
    }
    state.sed_why = why;
  }
}

}  // namespace velmora::ostrand
