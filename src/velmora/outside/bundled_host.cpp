#include "velmora/outside/bundled_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/env.h"
#include "common/pytext.h"

#ifndef VELMORA_LIB_TO_BIN
#define VELMORA_LIB_TO_BIN "../bin"
#endif

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

// The folder of the file that holds this code: the shared library, or the program it is linked into.
std::optional<std::string> code_folder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&find_program), &info) == 0) return std::nullopt;
  return folder_of(info.dli_fname);
}

}  // namespace

std::vector<std::string> program_folders(const std::string& code_folder) {
  std::vector<std::string> folders{code_folder};
  char resolved[PATH_MAX];
  // A bin folder that is not there, or is the code's own folder, adds nothing.
  if (::realpath(path_join(code_folder, VELMORA_LIB_TO_BIN).c_str(), resolved) != nullptr && code_folder != resolved) {
    folders.emplace_back(resolved);
  }
  return folders;
}

std::optional<std::string> find_program_in(const std::string& name, const std::vector<std::string>& folders,
                                           const std::optional<std::string>& path_list) {
  for (const std::string& folder : folders) {
    const std::string candidate = path_join(folder, name);
    if (is_program(candidate)) return candidate;
  }
  if (!path_list) return std::nullopt;
  std::size_t start = 0;
  while (start <= path_list->size()) {
    std::size_t end = path_list->find(':', start);
    if (end == std::string::npos) end = path_list->size();
    const std::string folder = path_list->substr(start, end - start);
    // An empty entry is the working folder, as the shell takes it.
    const std::string candidate = folder.empty() ? name : path_join(folder, name);
    if (is_program(candidate)) return folder.empty() ? "./" + name : candidate;
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> find_program(const std::string& name) {
  const std::optional<std::string> own = code_folder();
  return find_program_in(name, own ? program_folders(*own) : std::vector<std::string>{}, env_get("PATH"));
}

std::optional<std::string> bundled_host() { return find_program(HOST_PROGRAM); }

}  // namespace velmora::detail
