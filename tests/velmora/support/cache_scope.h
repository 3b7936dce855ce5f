#pragma once
// A cache of its own for one test: a fresh root in VELMORA_CACHE_DIR, the cap variable unset, and the fake
// container unpacker installed; plus ways to lay out cache folders and set their times.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/pytext.h"
#include "common/sha256.h"
#include "support/temp_dir.h"
#include "velmora/outside.h"
#include "velmora/support/fake_avatar.h"
#include "velmora/support/scratch.h"

namespace velmora::testing {

struct CacheScope {
  TempDir dir;
  ScopedEnv root_env{"VELMORA_CACHE_DIR", dir.str() + "/root"};
  ScopedEnv cap_env{"VELMORA_AVATAR_CACHE_GB", std::nullopt};
  detail::ScopedOutside services{fake_outside()};

  std::string root() const { return dir.str() + "/root"; }
  std::string avatars() const { return root() + "/avatars"; }
  // A fake avatar file beside the cache, named <name>.avatar.
  std::string avatar(const std::string& name, int files = 3, int bytes = 64) const {
    return write_fake_avatar(dir.str() + "/" + name + ".avatar", name, files, bytes);
  }
  // The entry path an avatar file gets: its content's key under avatars().
  std::string entry_of(const std::string& avatar_file) const {
    return avatars() + "/sha256-" + sha256_hex(read_file(avatar_file)).substr(0, 32);
  }
};

inline double wall_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Sets the access and modification times of `path` (a link itself, not its target) to `seconds`.
inline void set_mtime(const std::string& path, double seconds) {
  const auto whole = static_cast<std::int64_t>(seconds);
  const timespec t{static_cast<time_t>(whole), static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
  const timespec times[2] = {t, t};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) throw std::runtime_error("utimensat " + path);
}

inline double mtime_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A sparse file of `bytes` bytes: only its length counts toward a cache's size.
inline void write_sparse(const std::string& path, std::int64_t bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool sized = fd >= 0 && ::ftruncate(fd, bytes) == 0;
  if (fd >= 0) ::close(fd);
  if (!sized) throw std::runtime_error("cannot size " + path);
}

// A folder under `avatars` of `bytes` bytes in all: a manifest.json of 2 bytes when `manifest`, and a sparse
// file for the rest; its time set to `mtime`. Returns its path.
inline std::string make_folder(const std::string& avatars, const std::string& name, std::int64_t bytes, bool manifest,
                               double mtime) {
  const std::string path = avatars + "/" + name;
  std::filesystem::create_directories(path);
  if (manifest) write_file(path + "/manifest.json", "{}");
  write_sparse(path + "/blob", bytes - (manifest ? 2 : 0));
  set_mtime(path, mtime);
  return path;
}

// An exclusive flock on a folder, as a writer unpacking into it keeps, held while the object lives.
class LockedFolder {
 public:
  explicit LockedFolder(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("cannot lock " + path);
  }
  LockedFolder(LockedFolder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LockedFolder(const LockedFolder&) = delete;
  LockedFolder& operator=(const LockedFolder&) = delete;
  ~LockedFolder() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

}  // namespace velmora::testing
