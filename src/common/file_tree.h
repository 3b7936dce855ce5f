#pragma once
// Whole folder trees: deleting one as far as possible, adding up the bytes of its files, finding a file in one,
// and whether a folder lies in one. None follows a symbolic link to a folder out of the tree. And a file or
// folder held by what it is rather than by its name.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/fd.h"

namespace velmora {

// Deletes the folder `path` and everything in it, going on past every error, and never throws (shutil.rmtree
// with errors ignored). A path that is not a folder, a link to a folder among them, is left alone.
void remove_tree(const std::string& path) noexcept;

// Deletes everything inside the open folder `folder_fd` as far as it can, never following a link and never
// throwing; the folder itself and the descriptor stay.
void remove_below(int folder_fd) noexcept;

// The bytes of every non-folder name under the folder `path`, each counted by its own size (a link by the
// link's, not its target's); links to folders are not entered and folders themselves count nothing. Names and
// folders that cannot be read are left out; a missing folder gives 0.
std::int64_t tree_bytes(const std::string& path) noexcept;

// A path (`shown` joined with the names) of a name under the open folder `folder_fd` (an O_PATH descriptor will
// do) that is the file `dev`/`ino`, a link to a file followed; nothing when none is. Subfolders are entered,
// links to folders are not; names and folders that cannot be read are left out.
std::optional<std::string> find_in_tree(int folder_fd, const std::string& shown, dev_t dev, ino_t ino) noexcept;

// Whether the open folder `folder_fd` (an O_PATH descriptor will do) is the folder `dev`/`ino` or lies
// anywhere below it. It climbs through ".." to the root, so every spelling of either path, a second mount of
// the folder (a bind mount) included, gives the same answer. A parent that cannot be opened ends the climb.
bool folder_within(int folder_fd, dev_t dev, ino_t ino) noexcept;

// A file or folder held open (O_PATH), so that it is known by its device, inode and kind wherever its names
// move, its number cannot pass to another file meanwhile, and a folder can still be searched.
class HeldFile {
 public:
  // What `path` (a relative one from the folder `at`, or AT_FDCWD) names now, links followed; nullptr when it
  // cannot be opened.
  static std::shared_ptr<const HeldFile> open(int at, const std::string& path);
  int fd() const { return fd_.get(); }
  const struct stat& status() const { return st_; }
  bool is_folder() const { return S_ISDIR(st_.st_mode); }
  // Whether `st` is this file: the same device, inode and kind.
  bool is(const struct stat& st) const;

 private:
  HeldFile(Fd fd, const struct stat& st) : fd_(std::move(fd)), st_(st) {}
  Fd fd_;
  struct stat st_;
};

}  // namespace velmora
