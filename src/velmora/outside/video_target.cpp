// The target of a video and its temporary file: locating the target, refusing what must not be replaced,
// the temporary, the commit by exchange and the sweep of dead writers' temporaries.
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
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "common/child_process.h"
#include "common/fd.h"
#include "common/file_tree.h"
#include "common/pytext.h"
#include "velmora/errors.hpp"

namespace velmora::detail {

void write_failed(const std::string& cause) { throw refuse<Failed>(WRITE_FAILED, cause); }

namespace {

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

// The process id in `name` when it is named as this writer names its temporaries ("." + name + "." + pid +
// "." + n + ".part"); nothing for any other name, one whose number can be no process id among them.
std::optional<long long> temporary_writer(std::string_view name) {
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
  return id;
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

// Removes from the open folder `folder` the temporaries of writers that were killed: regular files named as
// this writer names its own, whose process no longer exists and that no writer holds locked. A process that
// exists, whichever program it runs now, keeps its files. Errors leave a file where it is.
void remove_dead_temporaries(int folder) {
  Fd copy(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!copy.ok()) return;  // creating the temporary says why
  DIR* dir = ::fdopendir(copy.get());
  if (!dir) return;
  copy.release();  // the listing's now
  const int at = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::optional<long long> pid = temporary_writer(entry->d_name);
    if (!pid || pid_alive(*pid)) continue;
    struct stat named {};
    if (::fstatat(at, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode)) continue;
    const Fd fd(::openat(at, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    // A writer on another machine has a process this one cannot see, but holds its lock.
    if (fd.ok() && ::fstat(fd.get(), &opened) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino && ::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
      ::unlinkat(at, entry->d_name, 0);
    }
  }
  ::closedir(dir);
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

struct VideoTarget::Impl {
  std::string target;  // as given
  Fd cwd;              // O_PATH: the working folder when the target was made, where relative paths start
  std::vector<KeptFile> kept;
  std::string shown;          // how errors name the file: the target as the caller gave it
  Fd file;                    // the temporary file, locked
  std::string temp_path;      // the temporary's path
  struct stat video_file {};  // the temporary file, as made
  mode_t mode = 0;            // its permission bits now
  mode_t made_mode = 0;       // and as it was made
  Fd temp_folder;             // O_PATH, where the temporary file is
  std::string temp_name;
  bool temp_ours = false;  // the temporary's name is ours to remove (when it still holds the video)

  ~Impl() {
    // Only the video goes: another program may have moved something else under its name. The lock goes with
    // the descriptor, after the file.
    if (temp_ours && temp_holds_video()) ::unlinkat(temp_folder.get(), temp_name.c_str(), 0);
  }

  int at() const { return cwd.ok() ? cwd.get() : AT_FDCWD; }

  bool holds_video(int folder, const std::string& name) const {
    const std::optional<struct stat> st = held_by(folder, name);
    return st && same_file(*st, video_file);
  }
  bool temp_holds_video() const { return holds_video(temp_folder.get(), temp_name); }

  void create_temp() {
    if (fs::path(target).filename().empty()) write_failed(py_repr(target) + " names no file");
    Destination d = locate(at(), target);
    check(d);
    shown = d.shown;
    remove_dead_temporaries(d.folder.get());
    const std::size_t limit = name_limit(d.folder.get());
    // Found out now rather than at the rename, after the whole render.
    if (d.name.size() > limit) write_failed("cannot create " + d.shown + ": " + errno_text(ENAMETOOLONG));
    static std::atomic<unsigned> serial{0};
    for (;;) {
      std::string tail(".");
      tail.append(std::to_string(::getpid())).append(".").append(std::to_string(serial++)).append(".part");
      std::string name = temporary_name(d.name, tail, limit);
      const int fd = ::openat(d.folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        file = Fd(fd);
        temp_path = (fs::path(d.path).parent_path() / name).string();
        temp_folder = std::move(d.folder);
        temp_name = std::move(name);
        temp_ours = true;
        if (::fstat(fd, &video_file) != 0) write_failed("cannot create " + d.shown + ": " + errno_text(errno));
        mode = made_mode = video_file.st_mode & 0777;
        // Held until the file is renamed or removed: it marks the file as a live writer's to every other writer,
        // also to one that cannot see this process.
        ::flock(fd, LOCK_EX | LOCK_NB);
        return;
      }
      if (errno != EEXIST) write_failed("cannot create " + d.shown + ": " + errno_text(errno));
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
      if (put_in_place(d, step)) {
        temp_ours = false;
        file.reset();  // synced: closing has nothing left to report
        // The rename itself reaches the disk with its folder.
        const Fd dir(::openat(d.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.ok()) ::fsync(dir.get());
        return;
      }
      if (look == MAX_LOOKS) write_failed(d.shown + " kept changing while the video was put in place");
    }
  }

  // A file the video replaces passes on its permission bits; a free name gets those the video was made with.
  void keep_mode(const Destination& d) {
    const mode_t wanted = d.now ? d.now->st_mode & 0777 : made_mode;
    if (wanted == mode) return;
    if (::fchmod(file.get(), wanted) != 0) {
      write_failed("cannot set the permissions of " + shown + ": " + errno_text(errno));
    }
    mode = wanted;
  }

  // Renames the temporary onto `d`; false when the name no longer holds what was checked (look again). An
  // existing file is swapped out rather than replaced, so that whatever came in its place after the check (a
  // link the user made) is seen and put back; a free name is taken only while it is free. Each name is
  // compared with what it must hold right before it is used, as another program may move names at any time;
  // what remains is the moment between that look and the call.
  bool put_in_place(const Destination& d, const std::function<void(CommitStep)>& step) {
    const int from = temp_folder.get(), to = d.folder.get();
    const char* temp = temp_name.c_str();
    const char* name = d.name.c_str();
    if (!temp_holds_video()) lost_track(d, std::nullopt);
    const int flags = d.now ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(from, temp, to, name, flags) != 0) {
      const int e = errno;
      // Taken, or gone, since the check.
      if (e == EEXIST || e == ENOENT) return false;
      if (e != EINVAL) write_failed("cannot put the video in place of " + d.shown + ": " + errno_text(e));
      // A file system that can do neither: a plain rename, which replaces whatever came there since the check.
      if (::renameat(from, temp, to, name) != 0) {
        write_failed("cannot put the video in place of " + d.shown + ": " + errno_text(errno));
      }
      return true;
    }
    if (!d.now) return true;
    if (step) step(CommitStep::exchanged);
    const std::optional<struct stat> out = held_by(from, temp_name);
    if (!out) return true;  // what came out was moved away meanwhile: it is where that program put it
    if (same_file(*out, *d.now)) {
      ::unlinkat(from, temp, 0);  // the file the video replaces
      return true;
    }
    // Something else had come there: it goes back, from where the video is now.
    if (!holds_video(to, d.name)) lost_track(d, out);
    if (::renameat2(from, temp, to, name, RENAME_EXCHANGE) != 0) {
      temp_ours = false;
      write_failed("cannot put back what came in place of " + d.shown + " (it is " + py_repr(temp_path) +
                   " now): " + errno_text(errno));
    }
    return false;
  }

  // Fails when names moved under the commit so that a name no longer holds what it must: nothing more is
  // renamed or removed, and the error says what the target's name and the temporary's hold. `came` is what
  // came out of the target in its place.
  [[noreturn]] void lost_track(const Destination& d, const std::optional<struct stat>& came) {
    temp_ours = false;
    const auto what = [&](int folder, const std::string& name) -> std::string {
      const std::optional<struct stat> st = held_by(folder, name);
      if (!st) return "nothing";
      if (same_file(*st, video_file)) return "the video";
      if (d.now && same_file(*st, *d.now)) return "the file that was there when it was checked";
      if (came && same_file(*st, *came)) return "what came there after it was checked";
      return "another file";
    };
    const std::string at_target = what(d.folder.get(), d.name);
    const std::string at_temp = what(temp_folder.get(), temp_name);
    std::string text = d.shown + " changed while the video was put in place, and nothing more was renamed or " +
                       "removed: " + py_repr(d.path) + " holds " + at_target + ", " + py_repr(temp_path) +
                       " holds " + at_temp;
    if (at_target != "the video" && at_temp != "the video") text += ", and the video is under neither name";
    write_failed(text);
  }
};

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
