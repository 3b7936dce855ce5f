#pragma once
// Writing the members of an avatar container into the folder it is unpacked into. A container is untrusted
// input: its stored member names are checked before anything is written, so no member can land outside the
// folder.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/fd.h"

namespace velmora::detail {

// The path inside the folder `dest` for the stored member name `name` ("/"-separated folders allowed; one
// trailing "/" marks a folder entry and is dropped). ValueError for a name that could leave `dest` or does not
// name a file: empty, absolute, with an empty, "." or ".." component, or holding a NUL byte.
std::string member_path(const std::string& dest, std::string_view name);

// The member `name` inside `dest` (see member_path) opened for writing, its folders made on the way; a name
// that ends in "/" makes that folder only and takes no bytes. A later member of the same name replaces an
// earlier one. ValueError for a refused name (nothing written); std::system_error when a folder or the file
// cannot be made or written (a member never follows a link).
class MemberFile {
 public:
  MemberFile(const std::string& dest, std::string_view name);
  ~MemberFile();
  MemberFile(const MemberFile&) = delete;
  MemberFile& operator=(const MemberFile&) = delete;

  bool is_folder() const { return !fd_.ok(); }
  // Appends `bytes` to the file (nothing for a folder).
  void write(std::string_view bytes);
  // Closes the file, reporting a failure that only the close shows.
  void close();

 private:
  std::string path_;
  Fd fd_;
};

// Writes `bytes` as the member `name` inside `dest` through a MemberFile.
void write_member(const std::string& dest, std::string_view name, std::span<const std::uint8_t> bytes);

}  // namespace velmora::detail
