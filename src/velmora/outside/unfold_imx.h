#pragma once
// The container unpacker: an avatar file (IMX container or zip archive) written out member by member into a
// folder, with manifest.json at the folder's top.
#include <string>

namespace velmora::detail {

// Writes every member of the avatar file `source` into the existing folder `dest` at its stored name (folders
// made on the way; a later member of the same name replaces an earlier one). When no member is stored as
// manifest.json at the top, the last member of that base name is also written there. Throws std::system_error
// when the file cannot be read or a member cannot be written; ValueError for a file that is no container and
// for a member name that would leave `dest`; BundleError or ZipError for a damaged container.
void unfold_imx(const std::string& source, const std::string& dest);

}  // namespace velmora::detail
