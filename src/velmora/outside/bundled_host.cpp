#include "velmora/outside/bundled_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/env.h"
#include "common/pytext.h"

namespace velmora::detail {
namespace {

bool is_program(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The folder of a file, resolved to an absolute path; nothing when it cannot be resolved.
std::optional<std::string> folder_of(const char* file) {
  if (file == nullptr || *file == '\0') return std::nullopt;
  char resolved[PATH_MAX];
  if (::realpath(file, resolved) == nullptr) return std::nullopt;
  const std::string path(resolved);
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::vector<std::string> own_folders() {
  std::vector<std::string> folders;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&find_program), &info) != 0) {
    if (auto f = folder_of(info.dli_fname)) folders.push_back(*f);
  }
  if (auto f = folder_of("/proc/self/exe")) {
    if (folders.empty() || folders.front() != *f) folders.push_back(*f);
  }
  return folders;
}

}  // namespace

std::optional<std::string> find_program(const std::string& name) {
  for (const std::string& folder : own_folders()) {
    const std::string candidate = path_join(folder, name);
    if (is_program(candidate)) return candidate;
  }
  const std::optional<std::string> path = env_get("PATH");
  if (!path) return std::nullopt;
  std::size_t start = 0;
  while (start <= path->size()) {
    std::size_t end = path->find(':', start);
    if (end == std::string::npos) end = path->size();
    const std::string folder = path->substr(start, end - start);
    // An empty entry is the working folder, as the shell takes it.
    const std::string candidate = folder.empty() ? name : path_join(folder, name);
    if (is_program(candidate)) return folder.empty() ? "./" + name : candidate;
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> bundled_host() { return find_program(HOST_PROGRAM); }

}  // namespace velmora::detail
