#include "common/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace velmora {
namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct OpenFolder {
  int fd;
  ~OpenFolder() {
    if (fd >= 0) ::close(fd);
  }
};

// The names in the open folder `dfd` (the descriptor stays the caller's).
std::vector<std::string> names_in(int dfd) {
  std::vector<std::string> names;
  const int copy = ::fcntl(dfd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  DIR* d = ::fdopendir(copy);
  if (d == nullptr) {
    ::close(copy);
    return names;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

// Names are gathered before anything is deleted, so the listing never runs over a folder that changes under it.
void remove_inside(int dfd) {
  for (const std::string& name : names_in(dfd)) {
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const OpenFolder sub{::openat(dfd, name.c_str(), DIR_FLAGS)};
      if (sub.fd >= 0) remove_inside(sub.fd);
      ::unlinkat(dfd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(dfd, name.c_str(), 0);
    }
  }
}

std::int64_t bytes_below(int dfd) {
  std::int64_t total = 0;
  for (const std::string& name : names_in(dfd)) {
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const OpenFolder sub{::openat(dfd, name.c_str(), DIR_FLAGS)};
      if (sub.fd >= 0) total += bytes_below(sub.fd);
      continue;
    }
    struct stat target;
    if (S_ISLNK(st.st_mode) && ::fstatat(dfd, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode)) {
      continue;  // a link to a folder is a folder of the walk that is not entered
    }
    total += st.st_size;
  }
  return total;
}

}  // namespace

void remove_tree(const std::string& path) noexcept {
  try {
    {
      const OpenFolder top{::open(path.c_str(), DIR_FLAGS)};
      if (top.fd < 0) return;
      remove_inside(top.fd);
    }
    ::rmdir(path.c_str());
  } catch (...) {  // only allocation can throw here
  }
}

void remove_below(int folder_fd) noexcept {
  try {
    remove_inside(folder_fd);
  } catch (...) {
  }
}

std::int64_t tree_bytes(const std::string& path) noexcept {
  try {
    const OpenFolder top{::open(path.c_str(), DIR_FLAGS)};
    return top.fd < 0 ? 0 : bytes_below(top.fd);
  } catch (...) {
    return 0;
  }
}

}  // namespace velmora
