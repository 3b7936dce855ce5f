#pragma once
// Where the render host program is, in this order: beside the code of this library (the shared library, or
// the program it is linked into), in the bin folder of the installation the library belongs to, and on PATH.
#include <optional>
#include <string>
#include <vector>

namespace velmora::detail {

inline constexpr const char* HOST_PROGRAM = "tarnhost";

// The folders looked in before PATH, in order, for code that lies in `code_folder`: that folder, then the
// installation's bin folder as seen from it (<prefix>/lib -> <prefix>/bin), when that is another folder.
std::vector<std::string> program_folders(const std::string& code_folder);

// The path of the first executable regular file named `name` in `folders`, then in the folders of the search
// path `path_list` (":"-separated; an empty entry is the working folder); nothing when there is none.
std::optional<std::string> find_program_in(const std::string& name, const std::vector<std::string>& folders,
                                           const std::optional<std::string>& path_list);

// find_program_in with the folders of this library's code and the PATH of the environment.
std::optional<std::string> find_program(const std::string& name);

// find_program(HOST_PROGRAM).
std::optional<std::string> bundled_host();

}  // namespace velmora::detail
