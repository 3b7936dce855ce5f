#pragma once
// The avatar files that the engines need unpacked, through the on-disk avatar cache (avatar_cache.h).
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
