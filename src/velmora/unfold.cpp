#include "velmora/unfold.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "common/fd.h"
#include "common/pytext.h"
#include "velmora/errors.hpp"

namespace velmora::detail {
namespace {

[[noreturn]] void refuse_name(std::string_view name, const char* why) {
  throw ValueError("member name " + py_repr(name) + " " + why);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int err = errno) {
  throw std::system_error(err, std::generic_category(), what + " " + py_repr(path));
}

std::string_view folder_entry_stripped(std::string_view name) {
  if (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  return name;
}

void make_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return;
  struct stat st;
  if (errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  fail("cannot make the folder", path);
}

}  // namespace

std::string member_path(const std::string& dest, std::string_view name) {
  if (name.find('\0') != std::string_view::npos) refuse_name(name, "holds a NUL byte");
  if (!name.empty() && name.front() == '/') refuse_name(name, "is absolute");
  const std::string_view rel = folder_entry_stripped(name);
  if (rel.empty() || rel == "/") refuse_name(name, "is empty");
  std::size_t i = 0;
  while (i <= rel.size()) {
    std::size_t j = rel.find('/', i);
    if (j == std::string_view::npos) j = rel.size();
    const std::string_view part = rel.substr(i, j - i);
    if (part.empty() || part == "." || part == "..") refuse_name(name, "leaves the unpack folder");
    i = j + 1;
  }
  return path_join(dest, rel);
}

MemberFile::MemberFile(const std::string& dest, std::string_view name) : path_(member_path(dest, name)) {
  const std::string_view rel = folder_entry_stripped(name);
  // Every folder on the way is made here, inside `dest`, and checked to be a folder, not a link.
  for (std::size_t slash = rel.find('/'); slash != std::string_view::npos; slash = rel.find('/', slash + 1)) {
    make_folder(path_join(dest, rel.substr(0, slash)));
  }
  if (name.back() == '/') {
    make_folder(path_);
    return;
  }
  fd_ = Fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd_.ok()) fail("cannot write the member", path_);
}

MemberFile::~MemberFile() = default;

void MemberFile::write(std::string_view bytes) {
  if (!fd_.ok()) return;
  if (const int err = write_all(fd_.get(), bytes)) fail("cannot write the member", path_, err);
}

void MemberFile::close() {
  if (!fd_.ok()) return;
  const int rc = ::close(fd_.release());
  if (rc != 0) fail("cannot write the member", path_);
}

void write_member(const std::string& dest, std::string_view name, std::span<const std::uint8_t> bytes) {
  MemberFile file(dest, name);
  file.write({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  file.close();
}

}  // namespace velmora::detail
