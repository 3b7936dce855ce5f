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
// Every temporary folder name ends in ".tmp.<pid>", by which every sweep knows it and its owner: a sweep deletes
// one at once when no process has that id and no one holds the folder's lock (a writer on another machine
// sharing the cache holds it), and any one idle for more than a day.
//
// Threads of one process take different entries at once: only threads taking the same entry wait for one
// another (the first unpacks it, the others then find it), and one sweep runs at a time.
#include <stop_token>
#include <string>

namespace velmora::detail {

// A folder that holds the avatar `source`: `source` itself when it is a folder, else its cache entry, unpacked
// through the installed container unpacker when the cache does not have it yet. The entry stays held for the
// rest of the process's life.
// Throws: std::system_error when `source` cannot be looked at; Failed "could not prepare that avatar" when it
// cannot be read, the entry cannot be written, or the avatar unpacks to more than the cache takes (its cap,
// 1 GB at the least); InvalidAvatar "that is not a usable avatar" when the unpacker rejects the file or leaves
// no manifest.json; ImportError when no unpacker is installed; Cancelled soon after `stop` is asked while the
// file is hashed or unpacked, or while another thread unpacks the same avatar, with nothing of this call's
// left in the cache. May be called from several threads at once.
std::string materialise(const std::string& source, std::stop_token stop = {});

}  // namespace velmora::detail
