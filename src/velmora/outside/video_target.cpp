// The target of a video and its temporary file: locating the target, refusing what must not be replaced,
// the temporary (unnamed where the file system allows it), the commit by exchange through a private folder and
// the sweep of dead writers' temporaries.
#include "velmora/outside/video_target.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "common/fd.h"
#include "common/file_tree.h"
#include "common/pytext.h"
#include "velmora/errors.hpp"

namespace velmora::detail {

void write_failed(const std::string& cause) { throw refuse<Failed>(WRITE_FAILED, cause); }

namespace {

std::atomic<TemporaryRoad> forced_road{TemporaryRoad::any};

std::string errno_text(int e) { return std::generic_category().message(e); }

namespace fs = std::filesystem;

// The longest chain of symbolic links followed, as the kernel's limit.
constexpr int MAX_LINKS = 40;

// The file a video for `target` goes to: `target` itself or, when it is a symbolic link, the end of its link
// chain, which may not exist yet. A relative path is taken from the folder `at`, a relative link from the
// link's own folder. Nothing when a link stopped being one while it was read (look again).
std::optional<std::string> link_end(int at, const std::string& target) {
  std::string path = target;
  for (int hops = 0; hops <= MAX_LINKS; ++hops) {
    struct stat st {};
    if (::fstatat(at, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return path;
    char to[PATH_MAX];  // the longest text a link holds is shorter
    const ssize_t n = ::readlinkat(at, path.c_str(), to, sizeof to);
    if (n < 0 && (errno == EINVAL || errno == ENOENT)) return std::nullopt;
    if (n < 0) write_failed("cannot read the link " + py_repr(path) + ": " + errno_text(errno));
    // An absolute `to` replaces the folder.
    path = (fs::path(path).parent_path() / std::string(to, static_cast<std::size_t>(n))).string();
  }
  write_failed("cannot follow " + py_repr(target) + ": " + errno_text(ELOOP));
}

// What a file that is neither a regular file nor a folder is.
std::string kind_text(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// A number as this writer prints it in a temporary's name: decimal digits, no leading zero.
bool plain_number(std::string_view digits) {
  if (digits.empty() || digits.size() > 19 || (digits[0] == '0' && digits.size() > 1)) return false;
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The target's name (as far as the temporary's name holds it) in `name` when it is named as this writer names
// its temporaries and private folders ("." + name + "." + pid + "." + n + ".part"); nothing for any other
// name, one whose number can be no process id among them.
std::optional<std::string_view> temporary_of(std::string_view name) {
  constexpr std::string_view SUFFIX = ".part";
  if (!name.starts_with('.') || !name.ends_with(SUFFIX)) return std::nullopt;
  std::string_view rest = name.substr(1, name.size() - 1 - SUFFIX.size());
  const std::size_t n_at = rest.rfind('.');
  if (n_at == std::string_view::npos || !plain_number(rest.substr(n_at + 1))) return std::nullopt;
  rest = rest.substr(0, n_at);
  const std::size_t pid_at = rest.rfind('.');
  if (pid_at == std::string_view::npos || pid_at == 0) return std::nullopt;  // a target name comes first
  const std::string_view pid = rest.substr(pid_at + 1);
  if (!plain_number(pid) || pid == "0") return std::nullopt;
  long long id = 0;
  if (std::from_chars(pid.data(), pid.data() + pid.size(), id).ec != std::errc() || id > INT_MAX) return std::nullopt;
  return rest.substr(0, pid_at);
}

// The temporary's name for the target's name `name`: as much of `name` as leaves the whole within `limit`
// bytes, cut at a UTF-8 character (at least one byte stays, for the sweep to see a target's name).
std::string temporary_name(const std::string& name, const std::string& tail, std::size_t limit) {
  std::size_t keep = name.size();
  if (1 + keep + tail.size() > limit) {
    keep = limit > tail.size() + 2 ? limit - tail.size() - 1 : 1;
    for (std::size_t at = keep; at > 1; --at) {
      if ((static_cast<unsigned char>(name[at]) & 0xC0) != 0x80) break;  // not inside a character
      keep = at - 1;
    }
  }
  std::string out(".");
  out.append(name, 0, keep).append(tail);
  return out;
}

// The longest name the folder takes.
std::size_t name_limit(int folder) {
  const long limit = ::fpathconf(folder, _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

// The tail of the next temporary's name of this process.
std::string next_tail() {
  static std::atomic<unsigned> serial{0};
  std::string tail(".");
  tail.append(std::to_string(::getpid())).append(".").append(std::to_string(serial++)).append(".part");
  return tail;
}

// The same file: device, inode and kind (the number of a removed file is soon given to the next one made, a
// link among them).
bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT);
}

// What `name` in the open folder `folder` holds now, never a link followed; nothing when it holds nothing.
std::optional<struct stat> held_by(int folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

// Where a video goes: the end of the target's link chain, as a name in a folder held open, so that what is
// checked is the folder that gets the video, however its path is spelled.
struct Destination {
  std::string path;   // the end of the chain
  std::string shown;  // how errors name it: the target as the caller gave it, and the end when that differs
  Fd folder;          // O_PATH
  std::string name;
  std::optional<struct stat> now;  // what the name holds, never a link; nothing when it is free (or unreachable)
};

// How often the end of a link chain is looked for again when it changed while it was looked at.
constexpr int MAX_LOOKS = 8;

// Where a video for `target` (a relative one from the folder `at`) goes now. Fails when the end's folder
// cannot be opened or the end keeps changing.
Destination locate(int at, const std::string& target) {
  for (int look = 0; look < MAX_LOOKS; ++look) {
    const std::optional<std::string> end = link_end(at, target);
    if (!end) continue;
    Destination d;
    d.path = *end;
    d.shown = d.path == target ? py_repr(target) : py_repr(target) + " (a link to " + py_repr(d.path) + ")";
    const fs::path p(d.path);
    d.name = p.filename().string();
    if (d.name.empty()) write_failed(d.shown + " names no file");
    const std::string folder = p.parent_path().string();
    d.folder = Fd(::openat(at, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!d.folder.ok()) write_failed("cannot create " + d.shown + ": " + errno_text(errno));
    d.now = held_by(d.folder.get(), d.name);
    if (d.now && S_ISLNK(d.now->st_mode)) continue;  // made a link since the chain was followed
    return d;
  }
  write_failed(py_repr(target) + " kept changing while it was looked at");
}

// Refuses `d` when it is the kept file `file` (`k` as it was or as its path names it now) or, for a kept
// folder, anything inside it: a name below it however reached, or a file that one of its names leads to (a
// hard link, or where a link of its own points).
void refuse_kept(const Destination& d, const KeptFile& k, const HeldFile& file) {
  if (d.now && file.is(*d.now)) write_failed(d.shown + " is " + k.role);
  if (!file.is_folder()) return;
  if (folder_within(d.folder.get(), file.status().st_dev, file.status().st_ino)) {
    write_failed(d.shown + " is inside " + k.role + ", " + py_repr(k.path));
  }
  if (!d.now) return;
  if (const std::optional<std::string> also = find_in_tree(file.fd(), k.path, d.now->st_dev, d.now->st_ino)) {
    write_failed(d.shown + " is also " + py_repr(*also) + ", inside " + k.role);
  }
}

// Refuses `d` when it is `k` (a relative path from the folder `at`), as it was when it was taken and as its
// path names it now.
void check_kept(const Destination& d, const KeptFile& k, int at) {
  if (k.held) refuse_kept(d, k, *k.held);
  const std::shared_ptr<const HeldFile> now = HeldFile::open(at, k.path);
  if (now && !(k.held && k.held->is(now->status()))) refuse_kept(d, k, *now);
}

}  // namespace

// The names in the open folder `folder` (its own "." and ".." left out); empty when it cannot be read.
std::vector<std::string> names_in(int folder) {
  std::vector<std::string> names;
  Fd copy(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!copy.ok()) return names;
  DIR* dir = ::fdopendir(copy.get());
  if (!dir) return names;
  copy.release();  // the listing's now
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

// The name in the open folder `folder` that holds the file `st`.
std::optional<std::string> name_of(int folder, const struct stat& st) {
  for (const std::string& name : names_in(folder)) {
    if (const std::optional<struct stat> at = held_by(folder, name); at && same_file(*at, st)) return name;
  }
  return std::nullopt;
}

// Moves `from` in the folder `from_dir` to a free name of its own in `to_dir`, `base` + ".recovered-" + n (cut
// to the folder's limit), never replacing anything. Returns the name; nothing when no name was taken.
std::optional<std::string> place_anew(int from_dir, const char* from, int to_dir, const std::string& base) {
  const std::size_t limit = name_limit(to_dir);
  for (int n = 1; n <= 1000; ++n) {
    const std::string name = temporary_name(base, ".recovered-" + std::to_string(n), limit + 1).substr(1);
    if (::renameat2(from_dir, from, to_dir, name.c_str(), RENAME_NOREPLACE) == 0) return name;
    if (errno == EEXIST) continue;
    // A file system without no-replace renames: a hard link is never made over a name either.
    if (errno != EINVAL || ::linkat(from_dir, from, to_dir, name.c_str(), 0) != 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    ::unlinkat(from_dir, from, 0);
    return name;
  }
  return std::nullopt;
}

// A folder of this writer's own beside a target (mode 0700, named as a temporary, held open and locked while
// it is used): what moves between it and the target's folder is looked at, and removed, inside it, where a
// process that moves names in the target's folder moves none.
class Room {
 public:
  // Makes one in the folder `folder` named after the target's name `name`; nothing when the folder takes none
  // (errno says why).
  static std::optional<Room> make(int folder, const std::string& name) {
    const std::size_t limit = name_limit(folder);
    for (int tries = 0; tries < 100; ++tries) {
      Room room;
      room.name_ = temporary_name(name, next_tail(), limit);
      if (::mkdirat(folder, room.name_.c_str(), 0700) != 0) {
        if (errno == EEXIST) continue;
        return std::nullopt;
      }
      // Another process may move a file of its own under the name before it is opened (it goes back, and the
      // folder made is opened again); and a sweep beside may take an empty folder before it is locked.
      for (int look = 0; look < 200; ++look) {
        Fd fd(::openat(folder, room.name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.ok() && errno == ENOENT) break;
        struct stat st {};
        if (fd.ok() && ::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & 077) == 0 && names_in(fd.get()).empty() && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
          if (::fstat(fd.get(), &st) != 0 || st.st_nlink == 0) break;  // swept
          if ((st.st_mode & 0700) != 0700 && ::fchmod(fd.get(), 0700) != 0) return std::nullopt;  // the umask's
          room.parent_ = Fd(::openat(folder, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
          if (!room.parent_.ok()) return std::nullopt;
          room.fd_ = std::move(fd);
          room.st_ = st;
          return room;
        }
        put_back_made(folder, room.name_);
      }
    }
    errno = EEXIST;
    return std::nullopt;
  }
  // After another program moved a file of its own under the name `name` of a folder just made: the one empty
  // folder of this user's, with no bits for others, under a name no writer gives, is taken for the one made,
  // and the two names are exchanged back.
  static void put_back_made(int folder, const std::string& name) {
    const std::optional<struct stat> now = held_by(folder, name);
    if (!now) return;
    std::optional<std::string> made;
    for (const std::string& other : names_in(folder)) {
      const std::optional<struct stat> st = held_by(folder, other);
      if (!st || !S_ISDIR(st->st_mode) || st->st_uid != ::geteuid() || (st->st_mode & 077) != 0 ||
          st->st_nlink != 2 || temporary_of(other) || same_file(*st, *now)) {
        continue;
      }
      const Fd dir(::openat(folder, other.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!dir.ok() || !names_in(dir.get()).empty()) continue;
      if (made) return;  // more than one: leave them
      made = other;
    }
    if (made) ::renameat2(folder, made->c_str(), folder, name.c_str(), RENAME_EXCHANGE);
  }

  Room(Room&&) = default;
  Room& operator=(Room&&) = default;
  ~Room() { remove(); }

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }

  // Puts the room back under its name when another program has moved it, exchanging the names back; false
  // when it cannot.
  bool at_its_name() const {
    for (int tries = 0; tries < 200; ++tries) {
      const std::optional<struct stat> now = held_by(parent_.get(), name_);
      if (now && same_file(*now, st_)) return true;
      const std::optional<std::string> moved = name_of(parent_.get(), st_);
      if (!moved) continue;  // a listing can miss a name that moves while it is read
      ::renameat2(parent_.get(), moved->c_str(), parent_.get(), name_.c_str(), now ? RENAME_EXCHANGE : RENAME_NOREPLACE);
    }
    return false;
  }

  // Removes the room when it is empty (back under its name first).
  void remove() {
    if (!fd_.ok()) return;
    for (int tries = 0; tries < 200 && at_its_name(); ++tries) {
      const bool removed = ::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR) == 0;
      if (!removed && errno != ENOTEMPTY && errno != ENOTDIR) break;
      struct stat left {};
      if (::fstat(fd_.get(), &left) != 0 || left.st_nlink == 0) break;
      // something else came under the name just then
    }
    fd_.reset();
  }

 private:
  Room() = default;
  Fd parent_;  // O_PATH
  std::string name_;
  Fd fd_;
  struct stat st_ {};
};

// Empties and removes the dead writer's private folder `name` (opened as `room`, known as `st`): what a writer
// killed in its commit left there (its video, or the file it was replacing) keeps a name of its own beside it.
void remove_dead_room(int folder, const std::string& name, const Fd& room, const struct stat& st) {
  const std::string base(temporary_of(name).value_or(""));
  for (const std::string& left : names_in(room.get())) place_anew(room.get(), left.c_str(), folder, base);
  if (const std::optional<struct stat> now = held_by(folder, name); now && same_file(*now, st)) {
    ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
  }
}

// Removes from the open folder `folder` (where a video for the target's name `target` goes) what killed
// writers left there: their temporaries, regular files of this user named as this writer names them, with one
// link, that no writer holds locked (a writer on another machine or in another pid namespace holds its lock;
// a free lock is enough, as the id in a name may belong to another process since), and their private folders.
// A file is moved into a private folder of this sweep and removed there only when it is still the file that
// was checked; a file that another process moved under the name meanwhile goes back (or, when the name is
// taken again, keeps a name of its own). Errors leave a file where it is.
void remove_dead_temporaries(int folder, const std::string& target) {
  std::optional<Room> room;  // made for the first file to remove
  for (const std::string& name : names_in(folder)) {
    if (!temporary_of(name)) continue;
    const std::optional<struct stat> named = held_by(folder, name);
    if (!named || named->st_uid != ::geteuid() || !(S_ISREG(named->st_mode) || S_ISDIR(named->st_mode))) continue;
    const bool is_room = S_ISDIR(named->st_mode);
    if (is_room ? (named->st_mode & 077) != 0 : named->st_nlink != 1) continue;
    const Fd fd(::openat(folder, name.c_str(),
                         (is_room ? O_DIRECTORY : O_NONBLOCK | O_NOCTTY) | O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    if (!fd.ok() || ::fstat(fd.get(), &opened) != 0 || !same_file(opened, *named) ||
        ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    if (is_room) {
      remove_dead_room(folder, name, fd, opened);
      continue;
    }
    if (!room && !(room = Room::make(folder, target))) return;
    constexpr const char* SWEPT = "swept";
    if (::renameat(folder, name.c_str(), room->fd(), SWEPT) != 0) continue;
    if (const std::optional<struct stat> in = held_by(room->fd(), SWEPT); in && same_file(*in, opened)) {
      ::unlinkat(room->fd(), SWEPT, 0);
    } else if (::renameat2(room->fd(), SWEPT, folder, name.c_str(), RENAME_NOREPLACE) != 0) {
      place_anew(room->fd(), SWEPT, folder, std::string(*temporary_of(name)));
    }
  }
}

// The permission bits a new file gets from open(..., 0666) here: the umask's (read from /proc, as umask() would
// change it for the process's other threads meanwhile); owner-only when it cannot be read.
mode_t new_file_mode() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  unsigned mask = 077;
  if (status) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    }
    std::fclose(status);
  }
  return 0666 & ~static_cast<mode_t>(mask);
}

struct VideoTarget::Impl {
  std::string target;  // as given
  Fd cwd;              // O_PATH: the working folder when the target was made, where relative paths start
  std::vector<KeptFile> kept;
  std::string shown;          // how errors name the file: the target as the caller gave it
  Fd file;                    // the video: an unnamed file, or the named temporary (locked)
  struct stat video_file {};  // the video, as made
  mode_t mode = 0;            // its permission bits now
  mode_t new_mode = 0;        // the bits a new file gets in its folder
  Fd folder;                  // O_PATH, where the video was made, and where its private folder goes
  std::string folder_path;    // how errors name it
  std::string base;           // the target's name there, for the names of the private folder
  std::string temp_name;      // the named temporary's name; empty when the video has no name
  std::string temp_path;
  bool temp_ours = false;     // the temporary's name is ours to take back (when it still holds the video)
  std::optional<Room> room;
  bool in_room = false;       // the video is the room's VIDEO
  static constexpr const char* VIDEO = "video";

  ~Impl() {
    // Only the video goes. What the temporary's name holds is looked at in the private folder: another program
    // may have moved something else under it, which is not left under that name either.
    if (temp_ours) {
      if (!room) room = Room::make(folder.get(), base);
      if (!room) {
        if (holds_video(folder.get(), temp_name)) ::unlinkat(folder.get(), temp_name.c_str(), 0);
        return;
      }
      take_temporary();
    }
    if (!room) return;
    if (room_holds_video()) {
      ::unlinkat(room->fd(), VIDEO, 0);
    } else if (held_by(room->fd(), VIDEO)) {
      place_anew(room->fd(), VIDEO, folder.get(), base);
    }
  }

  int at() const { return cwd.ok() ? cwd.get() : AT_FDCWD; }

  bool holds_video(int dir, const std::string& name) const {
    const std::optional<struct stat> st = held_by(dir, name);
    return st && same_file(*st, video_file);
  }
  bool room_holds_video() const { return holds_video(room->fd(), VIDEO); }

  void create_temp() {
    if (fs::path(target).filename().empty()) write_failed(py_repr(target) + " names no file");
    Destination d = locate(at(), target);
    check(d);
    shown = d.shown;
    remove_dead_temporaries(d.folder.get(), d.name);
    const std::size_t limit = name_limit(d.folder.get());
    // Found out now rather than at the rename, after the whole render.
    if (d.name.size() > limit) write_failed("cannot create " + d.shown + ": " + errno_text(ENAMETOOLONG));
    folder = std::move(d.folder);
    folder_path = fs::path(d.path).parent_path().string();
    base = d.name;
    const TemporaryRoad road = forced_road.load();
    if (road != TemporaryRoad::named && make_unnamed()) return;
    make_named(limit);
  }

  // An unnamed video in the folder; false where the file system or the kernel has none, or it could not be
  // linked at the commit.
  bool make_unnamed() {
    const int fd = ::openat(folder.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return false;
      write_failed("cannot create " + shown + ": " + errno_text(errno));
    }
    file = Fd(fd);
    if (::fstat(fd, &video_file) != 0) write_failed("cannot create " + shown + ": " + errno_text(errno));
    // Linked through /proc/self/fd where linkat's AT_EMPTY_PATH needs a capability: without /proc the video
    // could not be given a name at all.
    struct stat proc {};
    const std::string through = proc_path();
    if (::stat(through.c_str(), &proc) != 0 || !same_file(proc, video_file)) {
      file.reset();
      return false;
    }
    mode = video_file.st_mode & 0777;
    // What a new file gets here, default ACLs included.
    const Fd probe(::openat(folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    struct stat st {};
    new_mode = probe.ok() && ::fstat(probe.get(), &st) == 0 ? st.st_mode & 0777 : new_file_mode();
    return true;
  }

  std::string proc_path() const { return "/proc/self/fd/" + std::to_string(file.get()); }

  void make_named(std::size_t limit) {
    for (;;) {
      std::string name = temporary_name(base, next_tail(), limit);
      const int fd = ::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        write_failed("cannot create " + shown + ": " + errno_text(errno));
      }
      Fd made(fd);
      if (::fstat(fd, &video_file) != 0) write_failed("cannot create " + shown + ": " + errno_text(errno));
      // Held until the file is renamed or removed: it marks the file as a live writer's to every other writer,
      // also to one that cannot see this process. A sweep beside may have taken the file before it was locked.
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !holds_video(folder.get(), name)) continue;
      file = std::move(made);
      temp_path = (fs::path(folder_path) / name).string();
      temp_name = std::move(name);
      temp_ours = true;
      mode = video_file.st_mode & 0777;
      new_mode = new_file_mode();
      return;
    }
  }

  // Refuses a destination that must not be replaced: a kept file or a name inside a kept folder, a folder, a
  // file that is not a regular file. A free name can only be the second.
  void check(const Destination& d) const {
    for (const KeptFile& k : kept) check_kept(d, k, at());
    if (!d.now) return;
    if (S_ISDIR(d.now->st_mode)) write_failed(d.shown + " is a folder");
    if (!S_ISREG(d.now->st_mode)) {
      write_failed(d.shown + " is " + kind_text(d.now->st_mode) +
                   ", not a regular file: an MP4 needs a file it can seek in");
    }
  }

  void keep(KeptFile k) {
    if (!k.held) k.held = HeldFile::open(at(), k.path);
    check_kept(locate(at(), target), k, at());
    kept.push_back(std::move(k));
  }

  void commit(const std::stop_token& stop, const std::function<void(CommitStep)>& step) {
    // Up to the rename a stop leaves the target as it was.
    const auto stopped = [&] {
      if (stop.stop_requested()) throw Cancelled();
    };
    if (::fsync(file.get()) != 0) write_failed("cannot sync " + shown + ": " + errno_text(errno));
    if (step) step(CommitStep::synced);
    stopped();
    // The target is followed again: a link made meanwhile stays, and the video goes where it points now,
    // checked as at the start. The file stays open, and so locked, until it is renamed.
    for (int look = 0;; ++look) {
      const Destination d = locate(at(), target);
      check(d);
      keep_mode(d);
      if (step) step(CommitStep::before_rename);
      stopped();  // the last moment at which the target is as it was
      if (!in_room) move_into_room(d);
      if (put_in_place(d, step)) {
        file.reset();  // synced: closing has nothing left to report
        room.reset();
        // The rename itself reaches the disk with its folder.
        const Fd dir(::openat(d.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.ok()) ::fsync(dir.get());
        return;
      }
      if (look == MAX_LOOKS) {
        write_failed(d.shown + " kept changing while the video was put in place, and was left as it was");
      }
    }
  }

  // A file the video replaces passes on its permission bits; a free name gets those of a new file. Never more
  // than that before the video has a name beside the target.
  void keep_mode(const Destination& d) {
    const mode_t wanted = d.now ? d.now->st_mode & 0777 : new_mode;
    if (wanted == mode) return;
    if (::fchmod(file.get(), wanted) != 0) {
      write_failed("cannot set the permissions of " + shown + ": " + errno_text(errno));
    }
    mode = wanted;
  }

  [[noreturn]] void cannot_place(const Destination& d, int e) {
    write_failed("cannot put the video in place of " + d.shown + ": " + errno_text(e));
  }

  // Moves what the temporary's name holds into the private folder (as VIDEO); the error number when it cannot.
  // The name may hold the private folder itself, moved there by another program: that goes back first.
  int take_temporary() {
    for (int tries = 0; tries < MAX_LOOKS; ++tries) {
      if (::renameat(folder.get(), temp_name.c_str(), room->fd(), VIDEO) == 0) return 0;
      const int e = errno;
      if (e != EINVAL || !room->at_its_name()) return e;
    }
    return EINVAL;
  }

  // Gives the video its name in the private folder: links the unnamed file there, or moves the named temporary
  // there and finds it is the video.
  void move_into_room(const Destination& d) {
    if (!room && !(room = Room::make(folder.get(), base))) cannot_place(d, errno);
    if (temp_name.empty()) {
      // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH before Linux 6.10; /proc/self/fd is the same file to anyone.
      if ((forced_road.load() == TemporaryRoad::unnamed_through_proc ||
           ::linkat(file.get(), "", room->fd(), VIDEO, AT_EMPTY_PATH) != 0) &&
          ::linkat(AT_FDCWD, proc_path().c_str(), room->fd(), VIDEO, AT_SYMLINK_FOLLOW) != 0) {
        cannot_place(d, errno);
      }
      in_room = true;
      return;
    }
    if (const int e = take_temporary()) {
      if (e != ENOENT) cannot_place(d, e);
      temp_ours = false;
      settle(d, "the video's temporary file " + py_repr(temp_path) + " was moved away");
    }
    temp_ours = false;
    if (room_holds_video()) {
      in_room = true;
      return;
    }
    settle(d, "another file came under the name of the video's temporary file " + py_repr(temp_path));
  }

  // Exchanges the video in the private folder with the target `d` (a free name is taken only while it is free),
  // and removes what came out only when it is the file that was checked and the target holds the video. False
  // when the names changed since the check and all is as it was (look again); fails saying where each file is
  // when it cannot be put back.
  bool put_in_place(const Destination& d, const std::function<void(CommitStep)>& step) {
    const int from = room->fd(), to = d.folder.get();
    const char* name = d.name.c_str();
    if (::renameat2(from, VIDEO, to, name, d.now ? RENAME_EXCHANGE : RENAME_NOREPLACE) != 0) {
      const int e = errno;
      // Taken, or gone, since the check.
      if (e == EEXIST || e == ENOENT) return false;
      if (e != EINVAL) cannot_place(d, e);
      // A file system that can do neither: a plain rename, which replaces whatever came there since the check.
      if (::renameat(from, VIDEO, to, name) != 0) cannot_place(d, errno);
      in_room = false;
      if (holds_video(to, d.name)) return true;
      settle(d, "another program moved the video on at once");
    }
    in_room = false;
    if (d.now && step) step(CommitStep::exchanged);
    // Here no other program moves the names.
    const std::optional<struct stat> out = held_by(from, VIDEO);
    const bool replaced = d.now ? out && same_file(*out, *d.now) : !out;
    if (replaced && holds_video(to, d.name)) {
      if (out) ::unlinkat(from, VIDEO, 0);  // the file the video replaces
      return true;
    }
    if (!out) settle(d, "another program moved the video on at once");
    // Something else had come there, or the video was moved on at once: it goes back, and the video comes out
    // again, from wherever the target's name holds it now.
    if (::renameat2(from, VIDEO, to, name, RENAME_EXCHANGE) == 0 && room_holds_video()) {
      in_room = true;
      return false;
    }
    settle(d, "another program moved names there while the video was put in place");
  }

  // Fails after names moved under the commit so that the video could not be put in place: the video goes when
  // it is in the private folder, anything else there keeps a name of its own beside the target, and the error
  // says what the target's name holds and where the video and that file are.
  [[noreturn]] void settle(const Destination& d, const std::string& why) {
    const auto what = [&](const std::optional<struct stat>& st) -> std::string {
      if (!st) return "nothing";
      if (same_file(*st, video_file)) return "the video";
      if (d.now && same_file(*st, *d.now)) return "the file that was there when it was checked";
      return "another file";
    };
    std::string text = d.shown + " changed while the video was put in place (" + why + "): " + py_repr(d.path) +
                       " holds " + what(held_by(d.folder.get(), d.name));
    const std::string there = (fs::path(d.path).parent_path() / "").string();
    if (room) {
      const std::optional<struct stat> left = held_by(room->fd(), VIDEO);
      if (left && same_file(*left, video_file)) {
        ::unlinkat(room->fd(), VIDEO, 0);
      } else if (left) {
        const std::optional<std::string> placed = place_anew(room->fd(), VIDEO, d.folder.get(), d.name);
        const std::string where = placed ? py_repr(there + *placed)
                                         : py_repr((fs::path(folder_path) / room->name() / VIDEO).string());
        text += ", " + what(left) + " is now " + where;
      }
    }
    in_room = false;
    text += ", " + video_place(d);
    write_failed(text);
  }

  // Where the video is now, as the end of a failure's message.
  std::string video_place(const Destination& d) const {
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || st.st_nlink == 0) return "and the video was not kept";
    if (const std::optional<std::string> name = name_of(d.folder.get(), video_file)) {
      return "and the video is " + py_repr((fs::path(d.path).parent_path() / *name).string());
    }
    if (const std::optional<std::string> name = name_of(folder.get(), video_file)) {
      return "and the video is " + py_repr((fs::path(folder_path) / *name).string());
    }
    return "and the video is under no name in that folder";
  }
};

void force_temporary_road(TemporaryRoad road) { forced_road = road; }

VideoTarget::VideoTarget(const std::string& target, std::vector<KeptFile> keep) : impl_(std::make_unique<Impl>()) {
  impl_->target = target;
  impl_->cwd = Fd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (KeptFile& k : keep) {
    if (!k.held) k.held = HeldFile::open(impl_->at(), k.path);
  }
  impl_->kept = std::move(keep);
  impl_->create_temp();
}

VideoTarget::~VideoTarget() = default;

int VideoTarget::fd() const { return impl_->file.get(); }

const std::string& VideoTarget::shown() const { return impl_->shown; }

const std::string& VideoTarget::temp_path() const { return impl_->temp_path; }

void VideoTarget::keep(KeptFile file) { impl_->keep(std::move(file)); }

void VideoTarget::commit(std::stop_token stop, const std::function<void(CommitStep)>& step) {
  impl_->commit(stop, step);
}

}  // namespace velmora::detail
