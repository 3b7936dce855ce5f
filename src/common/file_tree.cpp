#include "common/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "common/fd.h"

namespace velmora {
namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper than any real tree: a folder mounted inside itself would otherwise be searched without end.
constexpr int MAX_SEARCH_DEPTH = 64;

// The names in the open folder `dfd` (the descriptor stays the caller's).
std::vector<std::string> names_in(int dfd) {
  std::vector<std::string> names;
  Fd copy(::fcntl(dfd, F_DUPFD_CLOEXEC, 0));
  if (!copy.ok()) return names;
  DIR* d = ::fdopendir(copy.get());
  if (d == nullptr) return names;
  copy.release();  // the listing owns it now
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
      const Fd sub(::openat(dfd, name.c_str(), DIR_FLAGS));
      if (sub.ok()) remove_inside(sub.get());
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
      const Fd sub(::openat(dfd, name.c_str(), DIR_FLAGS));
      if (sub.ok()) total += bytes_below(sub.get());
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
      const Fd sub(::openat(dfd, name.c_str(), DIR_FLAGS));
      if (!sub.ok()) continue;
      if (auto found = find_below(sub.get(), at / name, dev, ino, depth + 1)) return found;
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
      const Fd top(::open(path.c_str(), DIR_FLAGS));
      if (!top.ok()) return;
      remove_inside(top.get());
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
    const Fd top(::open(path.c_str(), DIR_FLAGS));
    return top.ok() ? bytes_below(top.get()) : 0;
  } catch (...) {
    return 0;
  }
}

std::optional<std::string> find_in_tree(int folder_fd, const std::string& shown, dev_t dev, ino_t ino) noexcept {
  try {
    const Fd top(::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return top.ok() ? find_below(top.get(), shown, dev, ino, 0) : std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

bool folder_within(int folder_fd, dev_t dev, ino_t ino) noexcept {
  struct stat st;
  if (::fstat(folder_fd, &st) != 0) return false;
  Fd here;
  for (;;) {
    if (st.st_dev == dev && st.st_ino == ino) return true;
    Fd up(::openat(here.ok() ? here.get() : folder_fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat parent;
    if (!up.ok() || ::fstat(up.get(), &parent) != 0) return false;
    if (parent.st_dev == st.st_dev && parent.st_ino == st.st_ino) return false;  // the root is its own parent
    here = std::move(up);
    st = parent;
  }
}

std::shared_ptr<const HeldFile> HeldFile::open(int at, const std::string& path) {
  Fd fd(::openat(at, path.c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0) return nullptr;
  return std::shared_ptr<const HeldFile>(new HeldFile(std::move(fd), st));
}

bool HeldFile::is(const struct stat& st) const {
  return st.st_dev == st_.st_dev && st.st_ino == st_.st_ino && (st.st_mode & S_IFMT) == (st_.st_mode & S_IFMT);
}

}  // namespace velmora
