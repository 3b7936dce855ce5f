#pragma once
// Whole folder trees: deleting one as far as possible, and adding up the bytes of its files. Neither follows a
// symbolic link out of the tree.
#include <cstdint>
#include <string>

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

}  // namespace velmora
