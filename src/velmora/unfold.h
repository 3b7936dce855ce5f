#pragma once
// Writing the members of an avatar container into the folder it is unpacked into. A container is untrusted
// input: its stored member names are checked before anything is written, so no member can land outside the
// folder.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora::detail {

// The path inside the folder `dest` for the stored member name `name` ("/"-separated folders allowed; one
// trailing "/" marks a folder entry and is dropped). ValueError for a name that could leave `dest` or does not
// name a file: empty, absolute, with an empty, "." or ".." component, or holding a NUL byte.
std::string member_path(const std::string& dest, std::string_view name);

// Writes `bytes` as the member `name` inside `dest` (see member_path), making the folders on its way; a name
// that ends in "/" makes that folder only. A later member of the same name replaces an earlier one.
// ValueError for a refused name (nothing written); std::system_error when a folder or the file cannot be made
// or written (a member never follows a link).
void write_member(const std::string& dest, std::string_view name, std::span<const std::uint8_t> bytes);

}  // namespace velmora::detail
