#include "common/bundle.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "common/file_read.h"
#include "common/pytext.h"
#include "common/utf8.h"
#include "common/zip_archive.h"

namespace velmora {
namespace {

constexpr std::uint64_t MAX_FILE_POSITION = std::uint64_t{1} << 63;

[[noreturn]] void throw_errno(int err, const std::string& path) {
  throw std::system_error(err, std::generic_category(), path);
}

// A regular file opened for reading, or the reason it cannot be read.
class File : public InputFile {
 public:
  using InputFile::InputFile;
  bool ok() const { return regular(); }
  // Throws unless ok(): the system's error of the open (a folder gives EISDIR, as reading it would), or
  // BundleError for another kind of file that is not regular.
  void require(const std::string& path) const {
    if (!opened()) throw_errno(open_error(), path);
    if (!regular() && S_ISDIR(mode())) throw_errno(EISDIR, path);
    if (!regular()) throw BundleError(path + ": not a regular file");
  }
};

[[noreturn]] void refuse_large(const std::string& bundle, std::string_view name, std::size_t cap) {
  throw BundleError(bundle + ": member " + py_repr(name) + " is larger than " + std::to_string(cap) +
                    " bytes, the cap for a member that is not a model");
}

// Reads up to `n` bytes at `offset` into `out` (resized to what came). False on a read error (errno set).
bool pread_upto(int fd, std::string& out, std::size_t n, std::uint64_t offset) {
  out.resize(n);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, out.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return true;
}

// Sequential reads from the start of a file through a buffer, exact counts only.
class SequentialReader {
 public:
  explicit SequentialReader(int fd) : fd_(fd) {}

  // Appends exactly `n` bytes to `out`; false when the file ends first or cannot be read.
  bool read(std::size_t n, std::string& out) {
    while (n > 0) {
      if (at_ == buf_.size()) {
        if (!pread_upto(fd_, buf_, BLOCK, pos_) || buf_.empty()) return false;
        pos_ += buf_.size();
        at_ = 0;
      }
      const std::size_t take = std::min(n, buf_.size() - at_);
      out.append(buf_, at_, take);
      at_ += take;
      n -= take;
    }
    return true;
  }

 private:
  static constexpr std::size_t BLOCK = 1 << 16;
  int fd_;
  std::uint64_t pos_ = 0;
  std::string buf_;
  std::size_t at_ = 0;
};

std::uint64_t le_u64(std::string_view b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int k = n - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(k)]);
  return v;
}

struct Form {
  BundleForm form = BundleForm::NoMembers;
  std::vector<ImxEntry> toc;  // for an IMX container
};

Form decide(const std::string& path) {
  if (path_is_dir(path)) return {BundleForm::Directory, {}};
  if (path_is_file(path)) {
    if (auto toc = imx_toc(path)) return {BundleForm::Imx, std::move(*toc)};
  }
  if (is_zip_file(path)) return {BundleForm::Zip, {}};
  return {};
}

}  // namespace

namespace {

// How many bytes of entry `e` the container `f` (at `path`) holds; refused beyond `cap` (as member `name`)
// before anything is read.
std::uint64_t imx_member_extent(const File& f, const std::string& path, const ImxEntry& e, std::string_view name,
                                std::optional<std::size_t> cap) {
  f.require(path);
  if (e.offset >= MAX_FILE_POSITION || e.size >= MAX_FILE_POSITION)
    throw BundleError(path + ": IMX entry " + py_repr(e.name) + " has offset " + std::to_string(e.offset) +
                      " and size " + std::to_string(e.size) + ", beyond any file position");
  const std::uint64_t present = f.size();
  if (e.offset >= present) return 0;
  const std::uint64_t n = std::min(e.size, present - e.offset);
  if (cap && n > *cap) refuse_large(path, name, *cap);
  return n;
}

// Hands the bytes of entry `e` to `sink` a block at a time and returns how many came.
std::uint64_t stream_imx_member(const std::string& path, const ImxEntry& e, const std::function<void(std::string_view)>& sink) {
  // The container is opened again, separately from the table read.
  const File f(path);
  const std::uint64_t n = imx_member_extent(f, path, e, e.name, std::nullopt);
  constexpr std::size_t BLOCK = 1 << 20;
  std::string block;
  std::uint64_t done = 0;
  while (done < n) {
    if (!pread_upto(f.fd(), block, static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, n - done)), e.offset + done))
      throw_errno(errno, path);
    if (block.empty()) break;  // the file shrank meanwhile
    sink(block);
    done += block.size();
  }
  return done;
}

// The bytes of entry `e`, read straight into the result: its size is bounded by what the file holds.
std::string read_imx_member(const std::string& path, const ImxEntry& e, std::string_view name,
                            std::optional<std::size_t> cap) {
  const File f(path);
  const std::uint64_t n = imx_member_extent(f, path, e, name, cap);
  std::string out;
  if (!pread_upto(f.fd(), out, static_cast<std::size_t>(n), e.offset)) throw_errno(errno, path);  // shorter if it shrank
  return out;
}

}  // namespace

std::optional<std::size_t> member_cap(std::string_view name) {
  if (name.ends_with(".tflite")) return std::nullopt;
  return SMALL_MEMBER_MAX_BYTES;
}

std::string read_directory_member(const std::string& dir, std::string_view name) {
  const std::string p = path_join(dir, name);
  File f(p);
  f.require(p);
  const auto cap = member_cap(name);
  try {
    return read_fd(f.fd(), p, cap.value_or(std::numeric_limits<std::size_t>::max()));
  } catch (const FileTooLarge&) {
    if (!cap) throw;
    refuse_large(dir, name, *cap);
  }
}

bool path_is_dir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_is_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

BundleForm bundle_form(const std::string& path) { return decide(path).form; }

std::optional<std::vector<ImxEntry>> imx_toc(const std::string& path) {
  File f(path);
  if (!f.ok()) return std::nullopt;
  SequentialReader in(f.fd());
  std::string head;
  if (!in.read(IMX_HEADER_SIZE, head) || std::string_view(head).substr(0, 4) != IMX_MAGIC) return std::nullopt;
  const auto count = static_cast<std::size_t>(le_u64(head, 6, 2));
  std::vector<ImxEntry> toc;
  std::string field;
  for (std::size_t i = 0; i < count; ++i) {
    field.clear();
    if (!in.read(2, field)) return std::nullopt;
    const auto name_len = static_cast<std::size_t>(le_u64(field, 0, 2));
    ImxEntry e;
    if (!in.read(name_len, e.name) || !utf8_valid(e.name)) return std::nullopt;
    field.clear();
    if (!in.read(16, field)) return std::nullopt;
    e.offset = le_u64(field, 0, 8);
    e.size = le_u64(field, 8, 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

std::string imx_entry_bytes(const std::string& path, const ImxEntry& entry) {
  return read_imx_member(path, entry, entry.name, std::nullopt);
}

std::uint64_t imx_entry_stream(const std::string& path, const ImxEntry& e,
                               const std::function<void(std::string_view)>& sink) {
  return stream_imx_member(path, e, sink);
}

std::optional<BundleMember> member_bytes(const std::string& bundle, const std::vector<std::string_view>& names) {
  const Form form = decide(bundle);
  switch (form.form) {
    case BundleForm::Directory:
      for (const auto name : names) {
        const std::string p = path_join(bundle, name);
        if (path_is_file(p)) return BundleMember{std::string(name), read_directory_member(bundle, name)};
      }
      return std::nullopt;
    case BundleForm::Imx: {
      // Later entries overwrite earlier ones: the last entry of a base name is the one found.
      std::unordered_map<std::string_view, const ImxEntry*> by_base;
      for (const auto& e : form.toc) by_base[path_basename(e.name)] = &e;
      for (const auto name : names) {
        const auto it = by_base.find(name);
        if (it != by_base.end())
          return BundleMember{std::string(name), read_imx_member(bundle, *it->second, name, member_cap(name))};
      }
      return std::nullopt;
    }
    case BundleForm::Zip: {
      const ZipArchive zip = ZipArchive::open_file(bundle);
      std::unordered_map<std::string_view, std::size_t> by_base;
      for (std::size_t i = 0; i < zip.names().size(); ++i) by_base[path_basename(zip.names()[i])] = i;
      for (const auto name : names) {
        const auto it = by_base.find(name);
        if (it == by_base.end()) continue;
        const auto cap = member_cap(name);
        try {
          return BundleMember{std::string(name), zip.read(it->second, cap.value_or(std::numeric_limits<std::size_t>::max()))};
        } catch (const ZipEntryTooLarge&) {
          refuse_large(bundle, name, *cap);
        }
      }
      return std::nullopt;
    }
    case BundleForm::NoMembers:
      break;
  }
  return std::nullopt;
}

std::vector<std::string> listing(const std::string& bundle) {
  Form form = decide(bundle);
  std::vector<std::string> out;
  switch (form.form) {
    case BundleForm::Directory: {
      DIR* d = ::opendir(bundle.c_str());
      if (d == nullptr) throw_errno(errno, bundle);
      errno = 0;
      while (const dirent* ent = ::readdir(d)) {
        const std::string_view n = ent->d_name;
        if (n != "." && n != "..") out.emplace_back(n);
        errno = 0;
      }
      const int err = errno;
      ::closedir(d);
      if (err != 0) throw_errno(err, bundle);
      break;
    }
    case BundleForm::Imx:
      for (const auto& e : form.toc) out.emplace_back(path_basename(e.name));
      break;
    case BundleForm::Zip: {
      const ZipArchive zip = ZipArchive::open_file(bundle);
      for (const auto& n : zip.names()) out.emplace_back(path_basename(n));
      break;
    }
    case BundleForm::NoMembers:
      break;
  }
  return out;
}

}  // namespace velmora
