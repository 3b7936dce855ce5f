#include "common/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// An open file descriptor, closed on every way out.
class File {
 public:
  explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_;
};

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

std::string read_imx_member(const std::string& path, const ImxEntry& e) {
  std::string out;
  imx_entry_stream(path, e, [&](std::string_view block) { out.append(block); });
  return out;
}

}  // namespace

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

std::string imx_entry_bytes(const std::string& path, const ImxEntry& entry) { return read_imx_member(path, entry); }

std::uint64_t imx_entry_stream(const std::string& path, const ImxEntry& e,
                               const std::function<void(std::string_view)>& sink) {
  // The container is opened again, separately from the table read.
  File f(path);
  if (!f.ok()) throw_errno(errno, path);
  if (e.offset >= MAX_FILE_POSITION || e.size >= MAX_FILE_POSITION)
    throw BundleError(path + ": IMX entry " + py_repr(e.name) + " has offset " + std::to_string(e.offset) +
                      " and size " + std::to_string(e.size) + ", beyond any file position");
  struct stat st {};
  if (::fstat(f.fd(), &st) != 0) throw_errno(errno, path);
  const auto present = static_cast<std::uint64_t>(st.st_size);
  if (e.offset >= present) return 0;
  const std::uint64_t n = std::min(e.size, present - e.offset);
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

std::optional<BundleMember> member_bytes(const std::string& bundle, const std::vector<std::string_view>& names) {
  const Form form = decide(bundle);
  switch (form.form) {
    case BundleForm::Directory:
      for (const auto name : names) {
        const std::string p = path_join(bundle, name);
        if (path_is_file(p)) return BundleMember{std::string(name), read_file(p)};
      }
      return std::nullopt;
    case BundleForm::Imx: {
      // Later entries overwrite earlier ones: the last entry of a base name is the one found.
      std::unordered_map<std::string_view, const ImxEntry*> by_base;
      for (const auto& e : form.toc) by_base[path_basename(e.name)] = &e;
      for (const auto name : names) {
        const auto it = by_base.find(name);
        if (it != by_base.end()) return BundleMember{std::string(name), read_imx_member(bundle, *it->second)};
      }
      return std::nullopt;
    }
    case BundleForm::Zip: {
      const ZipArchive zip = ZipArchive::open_file(bundle);
      std::unordered_map<std::string_view, std::size_t> by_base;
      for (std::size_t i = 0; i < zip.names().size(); ++i) by_base[path_basename(zip.names()[i])] = i;
      for (const auto name : names) {
        const auto it = by_base.find(name);
        if (it != by_base.end()) return BundleMember{std::string(name), zip.read(it->second)};
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
