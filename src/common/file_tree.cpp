#include "common/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper than any real tree: a folder mounted inside itself would otherwise be searched without end.
constexpr int MAX_SEARCH_DEPTH = 64;

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

std::optional<std::string> find_below(int dfd, const std::filesystem::path& at, dev_t dev, ino_t ino, int depth) {
  for (const std::string& name : names_in(dfd)) {
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (depth == MAX_SEARCH_DEPTH) continue;
      const OpenFolder sub{::openat(dfd, name.c_str(), DIR_FLAGS)};
      if (sub.fd < 0) continue;
      if (auto found = find_below(sub.fd, at / name, dev, ino, depth + 1)) return found;
      continue;
    }
    if (S_ISLNK(st.st_mode) && ::fstatat(dfd, name.c_str(), &st, 0) != 0) continue;
    if (st.st_dev == dev && st.st_ino == ino) return (at / name).string();
  }
  return std::nullopt;
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

std::optional<std::string> find_in_tree(int folder_fd, const std::string& shown, dev_t dev, ino_t ino) noexcept {
  try {
    const OpenFolder top{::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return top.fd < 0 ? std::nullopt : find_below(top.fd, shown, dev, ino, 0);
  } catch (...) {
    return std::nullopt;
  }
}

bool folder_within(int folder_fd, dev_t dev, ino_t ino) noexcept {
  struct stat st;
  if (::fstat(folder_fd, &st) != 0) return false;
  OpenFolder here{-1};
  for (;;) {
    if (st.st_dev == dev && st.st_ino == ino) return true;
    OpenFolder up{::openat(here.fd >= 0 ? here.fd : folder_fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    struct stat parent;
    if (up.fd < 0 || ::fstat(up.fd, &parent) != 0) return false;
    if (parent.st_dev == st.st_dev && parent.st_ino == st.st_ino) return false;  // the root is its own parent
    std::swap(here.fd, up.fd);
    st = parent;
  }
}

std::shared_ptr<const HeldFile> HeldFile::open(int at, const std::string& path) {
  const int fd = ::openat(at, path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return nullptr;
  OpenFolder owned{fd};  // until the HeldFile owns it
  struct stat st;
  if (::fstat(fd, &st) != 0) return nullptr;
  std::unique_ptr<const HeldFile> held(new HeldFile(fd, st));
  owned.fd = -1;
  return held;
}

HeldFile::~HeldFile() { ::close(fd_); }

bool HeldFile::is(const struct stat& st) const {
  return st.st_dev == st_.st_dev && st.st_ino == st_.st_ino && (st.st_mode & S_IFMT) == (st_.st_mode & S_IFMT);
}

}  // namespace velmora
