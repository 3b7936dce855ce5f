#pragma once
// The on-disk avatar cache, shared by every process of the user: packed avatar files are unpacked once into
// a content-addressed folder that later opens reuse, from any path and any process.
//
// Layout, under the root (VELMORA_CACHE_DIR, or ~/.cache/velmora when it is unset or empty):
//   avatars/sha256-<K>              an entry: one unpacked avatar; K is the first 32 lower-case hex digits of
//                                   the SHA-256 of the avatar file's bytes. Complete exactly when its
//                                   manifest.json is a regular file; that file also carries the entry's locks.
//   avatars/sha256-<K>.t<n>.tmp.<pid>
//                                   a folder being unpacked by thread <n> of process <pid>, which keeps an
//                                   exclusive flock on the folder while it writes there
//   avatars/sha256-<K>.tmp.<pid>    an entry set aside for deletion by process <pid>
//   avatars/.idx/<H>                key record: K as text, where H is the first 32 hex digits of the SHA-256 of
//                                   "<abspath>\0<size>\0<mtime_ns>\0<inode>" of the avatar file
//   avatars/.idx/<H>.<pid>.t<n>     a key record being written by thread <n> of process <pid>
// Entries and records appear only by an atomic rename of a complete temporary. A process keeps a shared
// flock on every entry it hands out for the rest of its life; a sweep deletes abandoned temporary folders and
// evicts idle, unheld entries, most idle first, while the cache is larger than VELMORA_AVATAR_CACHE_GB.
// Every temporary folder name ends in ".tmp.<pid>", by which every sweep knows it: a sweep deletes one at once
// when no one holds the folder's lock (its writer died, whatever process has its id now; a writer on another
// machine sharing the cache holds it), and any one idle for more than a day. Where the file system gives no
// flock, the id stands in for the lock: such a folder goes once idle an hour with no process of that id here.
//
// Threads of one process take different entries at once: only threads taking the same entry wait for one
// another (the first unpacks it, the others then find it), and one sweep runs at a time.
//
// The working parts below are open to tests and to the stress programs; the library itself calls materialise
// (materialise.h).
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/fd.h"
#include "velmora/module.h"

namespace velmora::detail {

inline constexpr std::int64_t TMP_ABANDONED_S = 86400;   // a temporary folder idle longer goes, owner alive or not
inline constexpr std::int64_t NO_LOCK_IN_USE_S = 604800; // without advisory locks: idle less counts as in use

// The cache root: VELMORA_CACHE_DIR, or "~/.cache/velmora" when it is unset or empty, with "~" expanded; not
// made absolute. Read on every call.
std::string cache_root();

// The size cap in bytes: VELMORA_AVATAR_CACHE_GB decimal gigabytes (blanks allowed; negative gives 0), 10 GB
// when it is unset or empty; text that is not a finite number also gives 10 GB, with a warning. Read on every
// call; saturates at the largest int64.
std::int64_t cache_cap_bytes();

// The most an avatar may unpack to: the cache's cap `cache_cap`, but never below MIN_UNPACK_BYTES, so that a
// small cache still takes an ordinary avatar (it is then evicted as soon as it is idle). Beyond it the unpack
// fails and nothing is published.
inline constexpr std::uint64_t MIN_UNPACK_BYTES = 1'000'000'000;
std::uint64_t unpack_cap_bytes(std::int64_t cache_cap);

// The content key "sha256-<K>" of the avatar file `source`, whose stat (links followed) is `st`. Trusts the
// key record under `avatars`/.idx when it holds 32 lower-case hex digits (blanks around allowed), else hashes
// the file and writes the record through the temporary name "<record>.<pid>.t<n>", n the calling thread's
// number (write failures are ignored).
// Throws std::system_error when the file cannot be read; Cancelled when `stop` is asked while it is hashed.
std::string content_key(const std::string& source, const struct stat& st, const std::string& avatars, pid_t pid,
                        const std::stop_token& stop = {});

// A number of the calling thread, unique in the process and fixed for the thread's life: with the process id it
// keeps the temporary names of threads that unpack or write records at once apart.
unsigned thread_number();

// Mutexes by name, each made when first asked for and dropped once nobody holds or waits for it.
class NamedLocks {
 public:
  class Guard;
  // Waits until no one else holds `name`, then holds it until the guard goes; Cancelled when `stop` is asked
  // while it waits.
  Guard lock(const std::string& name, const std::stop_token& stop = {});

 private:
  struct Slot {
    bool held = false;
    int users = 0;  // holders and waiters
    std::condition_variable_any freed;
  };
  using Slots = std::unordered_map<std::string, Slot>;  // nodes stay where they are while the map grows
  void release(Slots::value_type* slot);

  std::mutex mutex_;  // guards the map and the slots
  Slots slots_;
};

class NamedLocks::Guard {
 public:
  Guard(Guard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)), slot_(other.slot_) {}
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  Guard& operator=(Guard&&) = delete;
  ~Guard() {
    if (owner_) owner_->release(slot_);
  }

 private:
  friend class NamedLocks;
  Guard(NamedLocks* owner, Slots::value_type* slot) : owner_(owner), slot_(slot) {}
  NamedLocks* owner_;
  Slots::value_type* slot_;
};

struct CacheOptions {
  bool advisory_locks = true;  // false: as where flock is missing: holds only touch, use is judged by idle time
  bool liveness_probe = true;  // false: as where signal 0 is missing: every temporary folder's owner is alive
  pid_t pid = 0;               // the id in this process's temporary names; 0: getpid() at each use
  std::function<double()> clock;  // wall clock in seconds since the epoch; empty: the system's
};

// The cache state of one process: the entries it holds and whether it has swept. The process has one
// (process_cache()); tests make more, each standing for another process as far as locks go, since locks
// belong to open file descriptions. All members may be called from several threads: threads wait for one
// another only to take the same entry, and for a sweep while one runs.
class AvatarCache {
 public:
  explicit AvatarCache(CacheOptions options = {});
  // Closes the descriptors of its holds, which drops their locks. The process cache is never destroyed.
  ~AvatarCache();
  AvatarCache(const AvatarCache&) = delete;
  AvatarCache& operator=(const AvatarCache&) = delete;

  // See materialise() in cache.h. A new entry is held from before it is published; a found one is held and
  // then checked, and unpacked anew if it was evicted in between. The file is hashed outside every lock; the
  // entry is looked up, unpacked and held under its own lock; the sweep runs after that lock is let go.
  std::string materialise(const std::string& source, std::stop_token stop = {});

  enum class Hold {
    held,    // a shared lock on the entry's manifest is kept (now or from before)
    unheld,  // touched only: no locks here, or the lock could not be had; the fresh time guards the entry
    gone,    // the entry was set aside or replaced before the lock took: it is not there to use
  };
  // Touches the entry folder `dest` and, once per path, keeps a shared lock on its manifest.json; after locking
  // checks that the locked file still is the entry's manifest. Never throws for file-system errors.
  Hold hold(const std::string& dest);

  // Whether some process holds the entry: an exclusive probe lock on its manifest.json is refused (an entry
  // without a readable manifest is not in use). Without advisory locks: idle_s < 7 days.
  bool in_use(const std::string& entry, double idle_s) const;

  // One pass over the `avatars` folder at the clock's time: abandoned temporary folders are deleted (with
  // advisory locks at once when their lock is free, without them once idle an hour with their owner gone), then
  // idle unheld entries other than `keep` are evicted, most idle first (then larger, then by path, descending),
  // while the entries' total is above the cap. An entry is set aside by renaming it to a temporary name under
  // its exclusive lock, and deleted there, so no process can take a half-deleted entry. Never throws.
  void sweep(const std::string& avatars, const std::string& keep);
  void sweep_at(const std::string& avatars, const std::string& keep, double now);

  bool swept() const;
  std::size_t held_count() const;

 private:
  enum class Unpack { published, lost_race, vanished };
  enum class Evict { kept, removed };

  pid_t pid() const;
  double now() const;
  // Holds the entry `entry`: found, or unpacked from `source` and published. `sweep_due` says whether a sweep
  // is due now. Called under the entry's lock.
  void take(const std::string& source, const std::string& entry, bool& sweep_due, const std::stop_token& stop);
  Hold hold_entry(const std::string& dest, const std::stop_token& stop = {});  // under the entry's lock
  void sweep_pass(const std::string& avatars, const std::string& keep, double now) noexcept;  // under sweep_mutex_
  Unpack unpack(const std::string& source, const std::string& entry, const std::stop_token& stop);
  Evict evict(const std::string& path, double idle, double now);
  Evict set_aside_and_remove(const std::string& path, int lock_fd);
  bool owner_alive(const std::string& digits) const;
  // Deletes the temporary folder `path`, idle `idle` seconds and named for the process id `owner`, unless a
  // writer holds its lock; only where there is no lock to ask (no advisory locks, or a file system that refuses
  // flock), once idle an hour and `owner` names no live process.
  void remove_unclaimed(const std::string& path, std::string_view owner, double idle) const;

  CacheOptions options_;
  NamedLocks entry_locks_;     // by entry path: one thread at a time looks up, unpacks or holds an entry
  std::mutex sweep_mutex_;     // one sweep at a time: its set-aside names carry the process id only
  mutable std::mutex state_mutex_;  // guards held_ and swept_, never held across file-system work
  std::unordered_map<std::string, Fd> held_;  // entry path, exactly as handed out -> locked descriptor
  bool swept_ = false;
};

// The cache state of this process.
AvatarCache& process_cache();

}  // namespace velmora::detail
