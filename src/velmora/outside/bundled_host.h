#pragma once
// Where the render host program is: beside the code of this library (the shared library or program that
// holds it), beside the running program, or on PATH.
#include <optional>
#include <string>

namespace velmora::detail {

inline constexpr const char* HOST_PROGRAM = "tarnhost";

// The path of the first executable regular file named `name` in those folders, in that order; nothing when
// there is none.
std::optional<std::string> find_program(const std::string& name);

// find_program(HOST_PROGRAM).
std::optional<std::string> bundled_host();

}  // namespace velmora::detail
