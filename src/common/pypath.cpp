#include "common/pypath.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <vector>

#include "common/pytext.h"

namespace velmora {
namespace {

std::optional<std::string> home_of(const char* user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  const int rc = user ? ::getpwnam_r(user, &entry, buf.data(), buf.size(), &found)
                      : ::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found);
  if (rc != 0 || found == nullptr || entry.pw_dir == nullptr) return std::nullopt;
  return std::string(entry.pw_dir);
}

}  // namespace

std::string expand_user(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::string(path);
  std::size_t end = path.find('/', 1);
  if (end == std::string_view::npos) end = path.size();
  std::optional<std::string> home;
  if (end == 1) {
    if (const char* h = std::getenv("HOME")) home = std::string(h);
    else home = home_of(nullptr);
  } else {
    home = home_of(std::string(path.substr(1, end - 1)).c_str());
  }
  if (!home) return std::string(path);
  while (!home->empty() && home->back() == '/') home->pop_back();
  std::string out = *home + std::string(path.substr(end));
  return out.empty() ? "/" : out;
}

std::string norm_path(std::string_view path) {
  if (path.empty()) return ".";
  std::size_t slashes = 0;
  while (slashes < path.size() && path[slashes] == '/') ++slashes;
  const std::string prefix = slashes == 0 ? "" : slashes == 2 ? "//" : "/";
  std::vector<std::string_view> parts;
  std::size_t i = slashes;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    const std::string_view part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
    } else if (part != "..") {
      parts.push_back(part);
    } else if (!parts.empty() && parts.back() != "..") {
      parts.pop_back();
    } else if (prefix.empty()) {
      parts.push_back(part);  // a relative path keeps the ".." it cannot fold
    }
    i = j + 1;
  }
  std::string out = prefix;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k) out.push_back('/');
    out += parts[k];
  }
  return out.empty() ? "." : out;
}

std::string abs_path(std::string_view path) {
  if (!path.empty() && path.front() == '/') return norm_path(path);
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) throw std::system_error(errno, std::generic_category(), "getcwd");
    buf.resize(buf.size() * 2);
  }
  return norm_path(path_join(buf.data(), path));
}

}  // namespace velmora
