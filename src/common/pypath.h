#pragma once
// Python's os.path on POSIX for the paths the Avatar API forms: a leading "~" expanded, paths made absolute
// and normalised without touching the file system (symbolic links are not resolved).
#include <string>
#include <string_view>

namespace velmora {

// os.path.expanduser: "~" or "~/..." from HOME (the password database when HOME is unset), "~user/..." from
// the password database; a path without a leading "~", or with an unknown user, comes back unchanged.
std::string expand_user(std::string_view path);

// os.path.normpath: "." and empty components dropped, ".." folded lexically, trailing slashes dropped; exactly
// two leading slashes are kept; the empty path gives ".".
std::string norm_path(std::string_view path);

// os.path.abspath: a relative path joined to the working folder, then normalised. Throws std::system_error when
// the working folder cannot be read.
std::string abs_path(std::string_view path);

}  // namespace velmora
