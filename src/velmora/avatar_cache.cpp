#include "velmora/avatar_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/child_process.h"
#include "common/env.h"
#include "common/fd.h"
#include "common/file_read.h"
#include "common/file_tree.h"
#include "common/py_float.h"
#include "common/pypath.h"
#include "common/pytext.h"
#include "common/sha256.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/materialise.h"
#include "velmora/module.h"
#include "velmora/outside.h"

namespace velmora::detail {
namespace {

constexpr const char* MARKER = "manifest.json";
constexpr std::size_t KEY_DIGITS = 32;
constexpr std::size_t RECORD_MAX_BYTES = 4096;  // a record is 32 bytes; anything much longer is not one
// A sweeper keeps its exclusive lock only while it re-checks an entry and renames it aside, so a holder that
// meets the lock waits a little for it instead of going without.
constexpr auto HOLD_WAIT = std::chrono::seconds(2);

double wall_clock() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double mtime_of(const struct stat& st) {
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool is_folder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool anything_at(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_key_digits(std::string_view text) {
  return text.size() == KEY_DIGITS &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The key a record holds, or nothing when it is missing, unreadable or not 32 lower-case hex digits (bytes
// that are not text included).
std::optional<std::string> read_record(const std::string& path) {
  std::string text;
  try {
    text = read_file(path, RECORD_MAX_BYTES);
  } catch (const std::system_error&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
  const std::string_view key = trim_blanks(text);
  if (!is_key_digits(key)) return std::nullopt;
  return std::string(key);
}

// Writes the record through its temporary name; a record that cannot be written is only a later re-hash.
void write_record(const std::string& path, const std::string& key, pid_t pid) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string tmp = path + "." + std::to_string(pid) + ".t" + std::to_string(thread_number());
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.ok()) return;
  const bool written = write_all(fd.get(), key) == 0;
  const bool closed = ::close(fd.release()) == 0;
  if (!written || !closed || ::rename(tmp.c_str(), path.c_str()) != 0) ::unlink(tmp.c_str());
}

[[noreturn]] void throw_errno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

enum class EntryState { absent, complete, incomplete };

// What stands under an entry's name. A folder is judged through one open descriptor, and only while the name
// still stands for it, so an entry evicted or published meanwhile is never taken for an incomplete one.
EntryState entry_state(const std::string& entry) {
  const Fd folder(::open(entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.ok()) return errno == ENOENT ? EntryState::absent : EntryState::incomplete;
  struct stat marker, opened, named;
  if (::fstatat(folder.get(), MARKER, &marker, 0) == 0 && S_ISREG(marker.st_mode)) return EntryState::complete;
  if (::fstat(folder.get(), &opened) != 0 || ::stat(entry.c_str(), &named) != 0 || !same_file(opened, named)) {
    return EntryState::absent;
  }
  return EntryState::incomplete;
}

// The folder `path`, made, or taken over from an earlier attempt under the same name and emptied; open, and
// with `lock` exclusively locked, which tells every sweep that a live writer has it, whatever process id its
// name carries. A folder that someone else holds locked (a sweep deleting it, or a writer on another machine
// whose process id is the same) is waited for.
Fd claim_folder(const std::string& path, bool lock, const std::stop_token& stop) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  auto pause = std::chrono::milliseconds(1);
  while (true) {
    if (stop.stop_requested()) throw Cancelled();
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) throw_errno("cannot make " + py_repr(path));
    Fd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.ok()) {
      if (errno == ENOENT) continue;  // a sweep took it between the two
      throw_errno("cannot open " + py_repr(path));
    }
    // A file system without flock leaves the folder to the owner test alone.
    if (lock && ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
      continue;
    }
    struct stat opened, named;
    if (::fstat(folder.get(), &opened) != 0 || ::lstat(path.c_str(), &named) != 0 || !same_file(opened, named)) {
      continue;  // deleted by a sweep before the lock took
    }
    remove_below(folder.get());
    return folder;
  }
}

}  // namespace

unsigned thread_number() {
  static std::atomic<unsigned> next{0};
  thread_local const unsigned mine = next++;
  return mine;
}

NamedLocks::Guard NamedLocks::lock(const std::string& name, const std::stop_token& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slots::value_type* slot = &*slots_.try_emplace(name).first;
  ++slot->second.users;
  if (!slot->second.freed.wait(lock, stop, [slot] { return !slot->second.held; })) {
    if (--slot->second.users == 0) slots_.erase(slot->first);
    throw Cancelled();
  }
  slot->second.held = true;
  return Guard(this, slot);
}

void NamedLocks::release(Slots::value_type* slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  slot->second.held = false;
  if (--slot->second.users == 0) {
    slots_.erase(slot->first);
  } else {
    slot->second.freed.notify_all();
  }
}

std::string cache_root() {
  const auto dir = env_get("VELMORA_CACHE_DIR");
  // An empty value would put the cache in "avatars" under whatever folder the process runs in, where a sweep
  // may evict folders that are not the cache's: it counts as unset.
  return expand_user(dir && !dir->empty() ? *dir : "~/.cache/velmora");
}

std::int64_t cache_cap_bytes() {
  const auto text = env_get("VELMORA_AVATAR_CACHE_GB");
  double gb = DEFAULT_CACHE_GB;
  if (text && !text->empty()) {
    const auto value = parse_py_float(*text);
    if (value && std::isfinite(*value)) {
      gb = *value;
    } else {
      velmora_log().warning("velmora: VELMORA_AVATAR_CACHE_GB=%s is not a finite number of gigabytes; using 10",
                            {py_repr(*text)});
    }
  }
  const double bytes = std::max(gb, 0.0) * 1e9;
  if (bytes >= 9223372036854775807.0) return INT64_MAX;
  return static_cast<std::int64_t>(bytes);
}

std::uint64_t unpack_cap_bytes(std::int64_t cache_cap) {
  return std::max(static_cast<std::uint64_t>(std::max<std::int64_t>(cache_cap, 0)), MIN_UNPACK_BYTES);
}

std::string content_key(const std::string& source, const struct stat& st, const std::string& avatars, pid_t pid,
                        const std::stop_token& stop) {
  const std::int64_t mtime_ns =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  std::string ident = abs_path(source);
  for (const std::string& part : {std::to_string(st.st_size), std::to_string(mtime_ns), std::to_string(st.st_ino)}) {
    ident.push_back('\0');
    ident += part;
  }
  const std::string record = path_join(path_join(avatars, ".idx"), sha256_hex(ident).substr(0, KEY_DIGITS));
  if (auto key = read_record(record)) return "sha256-" + *key;
  Sha256 hash;
  read_file_blocks(source, [&](const char* data, std::size_t n) {
    if (stop.stop_requested()) throw Cancelled();
    hash.update(data, n);
  });
  const std::string key = hash.hex_digest().substr(0, KEY_DIGITS);
  write_record(record, key, pid);
  return "sha256-" + key;
}

AvatarCache::AvatarCache(CacheOptions options) : options_(std::move(options)) {}

AvatarCache::~AvatarCache() = default;

pid_t AvatarCache::pid() const { return options_.pid != 0 ? options_.pid : ::getpid(); }

double AvatarCache::now() const { return options_.clock ? options_.clock() : wall_clock(); }

bool AvatarCache::swept() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return swept_;
}

std::size_t AvatarCache::held_count() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return held_.size();
}

std::string AvatarCache::materialise(const std::string& source, std::stop_token stop) {
  if (is_folder(source)) return source;
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) throw_errno(py_repr(source));

  const std::string avatars = path_join(cache_root(), "avatars");
  std::string key;
  try {
    key = content_key(source, st, avatars, pid(), stop);
  } catch (const std::system_error&) {
    throw refuse<Failed>(PREPARE_FAILED, Detail::current());
  }
  const std::string entry = path_join(avatars, key);
  bool sweep_due = false;
  {
    const NamedLocks::Guard taking = entry_locks_.lock(entry, stop);
    take(source, entry, sweep_due, stop);
  }
  // The sweep runs once the entry's lock is let go, so other takers of the entry need not wait for it.
  if (sweep_due) sweep_at(avatars, entry, now());
  return entry;
}

void AvatarCache::take(const std::string& source, const std::string& entry, bool& sweep_due,
                       const std::stop_token& stop) {
  const std::string marker = path_join(entry, MARKER);
  // An entry can be evicted between finding it and locking it; the hold sees that (gone), and the entry is
  // then unpacked anew, and held before it is published. Only a lost race can meet an evicted entry again.
  for (int round = 0; round < 8; ++round) {
    if (is_file(marker) && hold_entry(entry, stop) != Hold::gone) {
      std::lock_guard<std::mutex> lock(state_mutex_);
      sweep_due = !std::exchange(swept_, true);  // a hit sweeps only while no sweep has started in the process
      return;
    }
    const Unpack outcome = unpack(source, entry, stop);
    if (outcome == Unpack::vanished || hold_entry(entry, stop) == Hold::gone) continue;
    if (outcome == Unpack::published) {
      std::lock_guard<std::mutex> lock(state_mutex_);
      swept_ = true;
      sweep_due = true;
    }
    return;
  }
  throw refuse<Failed>(PREPARE_FAILED, "the cache entry " + py_repr(entry) + " kept disappearing while being taken");
}

AvatarCache::Unpack AvatarCache::unpack(const std::string& source, const std::string& entry,
                                        const std::stop_token& stop) {
  const auto services = outside();
  const auto& unfold = need(services->unfold_imx, NO_UNPACKER);
  const std::string tmp = entry + ".t" + std::to_string(thread_number()) + ".tmp." + std::to_string(pid());
  bool moving = false;
  Fd claim;  // the temporary folder, locked until it is published or removed; only what it holds is ours
  const auto remove_ours = [&] {
    if (claim.ok()) remove_tree(tmp);
  };
  try {
    claim = claim_folder(tmp, options_.advisory_locks, stop);
    unfold(source, tmp, unpack_cap_bytes(cache_cap_bytes()), stop);
    // Published without its manifest, the folder would block the entry's name for good.
    const std::string tmp_marker = path_join(tmp, MARKER);
    if (!is_file(tmp_marker)) throw ValueError("the unpacked avatar has no " + std::string(MARKER));
    // The hold is taken before the entry is published, so no sweep can take it between the two.
    Fd lock(::open(tmp_marker.c_str(), O_RDONLY | O_CLOEXEC));
    if (!lock.ok()) throw_errno("cannot open " + py_repr(tmp_marker));
    if (!options_.advisory_locks || ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0) lock.reset();
    moving = true;
    if (::rename(tmp.c_str(), entry.c_str()) != 0) throw_errno("cannot move " + py_repr(tmp) + " onto " + py_repr(entry));
    if (lock.ok()) {
      std::lock_guard<std::mutex> state(state_mutex_);
      held_.try_emplace(entry, std::move(lock));
    }
  } catch (const Cancelled&) {
    remove_ours();
    throw;
  } catch (const std::system_error&) {
    remove_ours();
    switch (entry_state(entry)) {
      case EntryState::complete:  // another process published the same content first
        return Unpack::lost_race;
      case EntryState::absent:  // ... and a sweep evicted it since the move met it
        if (moving) return Unpack::vanished;
        break;
      case EntryState::incomplete:
        break;
    }
    throw refuse<Failed>(PREPARE_FAILED, Detail::current());
  } catch (const std::exception&) {
    remove_ours();
    throw refuse<InvalidAvatar>(NOT_USABLE, Detail::current());
  }
  return Unpack::published;
}

AvatarCache::Hold AvatarCache::hold(const std::string& dest) {
  const NamedLocks::Guard taking = entry_locks_.lock(dest);
  return hold_entry(dest);
}

AvatarCache::Hold AvatarCache::hold_entry(const std::string& dest, const std::stop_token& stop) {
  ::utimensat(AT_FDCWD, dest.c_str(), nullptr, 0);
  if (!options_.advisory_locks) return Hold::unheld;
  {
    std::lock_guard<std::mutex> state(state_mutex_);
    if (held_.count(dest)) return Hold::held;
  }
  const std::string marker = path_join(dest, MARKER);
  Fd fd(::open(marker.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return errno == ENOENT || errno == ENOTDIR ? Hold::gone : Hold::unheld;
  const auto deadline = std::chrono::steady_clock::now() + HOLD_WAIT;
  auto pause = std::chrono::microseconds(100);
  while (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return Hold::unheld;
    if (stop.stop_requested()) throw Cancelled();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  // A sweeper renames an entry aside before it lets go of its lock, so a lock that came after that is on a
  // file that is no longer the entry's manifest.
  struct stat locked, current;
  if (::fstat(fd.get(), &locked) != 0 || ::stat(marker.c_str(), &current) != 0 || !same_file(locked, current)) {
    return Hold::gone;
  }
  std::lock_guard<std::mutex> state(state_mutex_);
  held_.try_emplace(dest, std::move(fd));
  return Hold::held;
}

bool AvatarCache::in_use(const std::string& entry, double idle_s) const {
  if (!options_.advisory_locks) return idle_s < NO_LOCK_IN_USE_S;
  const Fd fd(::open(path_join(entry, MARKER).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return false;
  return ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0;  // closing the descriptor drops a probe lock that took
}

bool AvatarCache::owner_alive(const std::string& digits) const {
  if (!options_.liveness_probe) return true;
  // Digits too many for any process id name no live process.
  if (digits.size() > 18) return false;
  return pid_alive(std::stoll(digits));
}

void AvatarCache::sweep(const std::string& avatars, const std::string& keep) { sweep_at(avatars, keep, now()); }

void AvatarCache::sweep_at(const std::string& avatars, const std::string& keep, double now) {
  std::lock_guard<std::mutex> lock(sweep_mutex_);
  sweep_pass(avatars, keep, now);
}

void AvatarCache::sweep_pass(const std::string& avatars, const std::string& keep, double now) noexcept {
  try {
    const std::int64_t cap = cache_cap_bytes();
    struct Candidate {
      double idle;
      std::int64_t size;
      std::string path;
    };
    std::vector<Candidate> candidates;
    std::int64_t total = 0;
    {
      DIR* folder = ::opendir(avatars.c_str());
      if (folder == nullptr) return;
      const std::unique_ptr<DIR, int (*)(DIR*)> closer(folder, ::closedir);
      while (true) {
        errno = 0;
        const dirent* item = ::readdir(folder);
        if (item == nullptr) {
          if (errno != 0) return;  // a scan that breaks off ends the pass
          break;
        }
        const std::string name = item->d_name;
        if (name.empty() || name.front() == '.') continue;
        struct stat st;
        if (::fstatat(::dirfd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
          if (errno == ENOENT) continue;  // gone since the listing: another process's sweep or rename
          return;
        }
        if (!S_ISDIR(st.st_mode)) continue;
        const double idle = now - mtime_of(st);
        const std::string path = path_join(avatars, name);
        if (const auto digits = tmp_owner_digits(name)) {
          if (idle > TMP_ABANDONED_S) {
            remove_tree(path);
          } else {
            remove_unclaimed(path, *digits, idle);
          }
          continue;
        }
        const std::int64_t size = tree_bytes(path);
        total += size;
        if (path != keep) candidates.push_back({idle, size, path});
      }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
      return std::tie(a.idle, a.size, a.path) > std::tie(b.idle, b.size, b.path);
    });
    for (const Candidate& c : candidates) {
      if (total <= cap) break;
      if (c.idle < EVICT_MIN_IDLE_S) continue;
      if (evict(c.path, c.idle, now) == Evict::removed) total -= c.size;
    }
  } catch (const std::exception&) {
    // A failed pass changes nothing for the caller; the deletions made so far stand.
  }
}

void AvatarCache::remove_unclaimed(const std::string& path, std::string_view owner, double idle) const {
  // Where no lock can tell, the id in the name must: the folder goes once no process has that id and it is idle
  // more than an hour, as a writer on another machine sharing the cache has an id that names nothing here.
  const auto by_owner = [&] {
    if (idle > EVICT_MIN_IDLE_S && !owner_alive(std::string(owner))) remove_tree(path);
  };
  if (!options_.advisory_locks) return by_owner();
  const Fd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.ok()) return;  // gone since the scan, or not ours to delete
  // A writer holds the folder's lock from before it writes there until the folder is published or removed, and
  // the system lets go of it when the writer dies: a free lock is an abandoned folder, whatever process has the
  // id in its name now.
  if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) by_owner();  // a file system that gives no flock
    return;
  }
  // Deleted through the folder opened and under its lock, and by name only once empty, so a writer that claims
  // the name meanwhile finds it gone and makes it anew.
  struct stat opened, named;
  if (::fstat(folder.get(), &opened) != 0 || ::lstat(path.c_str(), &named) != 0 || !same_file(opened, named)) return;
  remove_below(folder.get());
  ::rmdir(path.c_str());
}

AvatarCache::Evict AvatarCache::evict(const std::string& path, double idle, double now) {
  if (!options_.advisory_locks && in_use(path, idle)) return Evict::kept;
  // Everything below goes through this one open folder, whatever comes to stand under its name meanwhile.
  const Fd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.ok()) return anything_at(path) ? Evict::kept : Evict::removed;
  Fd manifest(::openat(folder.get(), MARKER, O_RDONLY | O_CLOEXEC));
  if (!manifest.ok()) {
    // Without a manifest the folder is no entry that anyone holds or can take, and it never becomes one: it is
    // emptied where it stands. Only an empty folder goes by name, so an entry published onto the name since
    // (it replaces an empty folder) stays whole.
    remove_below(folder.get());
    ::rmdir(path.c_str());
    return anything_at(path) ? Evict::kept : Evict::removed;
  }
  struct stat opened, named, locked, marker;
  if (options_.advisory_locks) {
    if (::flock(manifest.get(), LOCK_EX | LOCK_NB) != 0) return Evict::kept;
    // Under the lock no holder can come in. Check again what the scan saw: a holder that touched the entry
    // since is about to take it.
    if (::fstat(folder.get(), &opened) != 0 || now - mtime_of(opened) < EVICT_MIN_IDLE_S) return Evict::kept;
  } else if (::fstat(folder.get(), &opened) != 0) {
    return Evict::kept;
  }
  // The name must still stand for the folder and the manifest that were opened, or the rename would move
  // another entry.
  if (::lstat(path.c_str(), &named) != 0 || !same_file(opened, named) || ::fstat(manifest.get(), &locked) != 0 ||
      ::stat(path_join(path, MARKER).c_str(), &marker) != 0 || !same_file(locked, marker)) {
    return Evict::kept;
  }
  return set_aside_and_remove(path, manifest.release());
}

// The entry leaves the cache in one rename, to a temporary name that every sweep knows as such, and is deleted
// there: a deletion that stops part-way can never leave a half entry under the entry's name. The lock, when
// there is one, is let go once the entry has left.
AvatarCache::Evict AvatarCache::set_aside_and_remove(const std::string& path, int lock_fd) {
  Fd lock(lock_fd);
  const std::string aside = path + ".tmp." + std::to_string(pid());
  remove_tree(aside);
  if (::rename(path.c_str(), aside.c_str()) != 0) return anything_at(path) ? Evict::kept : Evict::removed;
  lock.reset();
  remove_tree(aside);
  return anything_at(aside) ? Evict::kept : Evict::removed;
}

AvatarCache& process_cache() {
  static AvatarCache* const cache = new AvatarCache();  // holds last as long as the process
  return *cache;
}

std::string materialise(const std::string& source, std::stop_token stop) {
  return process_cache().materialise(source, std::move(stop));
}

}  // namespace velmora::detail
