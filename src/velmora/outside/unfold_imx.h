#pragma once
// The container unpacker: an avatar file (IMX container or zip archive) written out member by member into a
// folder, with manifest.json at the folder's top. Members are streamed to disk through a fixed buffer, so
// memory stays small whatever they expand to.
#include <cstdint>
#include <stop_token>
#include <string>

namespace velmora::detail {

// Writes every member of the avatar file `source` into the existing folder `dest` at its stored name (folders
// made on the way; a later member of the same name replaces an earlier one). When no member is stored as
// manifest.json at the top, the last member of that base name is also written there. Throws std::system_error
// when the file cannot be read or a member cannot be written, and (EFBIG) as soon as the members would take
// more than `max_bytes` in all; ValueError for a file that is no container, for a member name that would leave
// `dest` and for an IMX member cut short by the end of the file; BundleError or ZipError for a damaged
// container; Cancelled once `stop` is asked, which is watched between members and between the blocks of one.
// What was written before a failure stays: the caller removes `dest`.
void unfold_imx(const std::string& source, const std::string& dest, std::uint64_t max_bytes,
                std::stop_token stop = {});

}  // namespace velmora::detail
