#include "common/zip_archive.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace velmora {
namespace {

constexpr std::size_t END_RECORD_SIZE = 22;
constexpr char END_RECORD_SIGNATURE[] = "PK\x05\x06";

zip_t* as_zip(void* p) { return static_cast<zip_t*>(p); }

std::string zip_error_text(int code) {
  zip_error_t err;
  zip_error_init_with_code(&err, code);
  std::string text = zip_error_strerror(&err);
  zip_error_fini(&err);
  return text;
}

// pread of exactly `n` bytes at `offset`, false on any shortfall.
bool read_at(int fd, std::string& out, std::size_t n, off_t offset) {
  out.resize(n);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, out.data() + got, n - got, offset + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// The position of the end-of-central-directory record of the open file `fd` of `size` bytes: at the very end
// with an empty comment, else the last signature within reach of the largest comment with a whole record after it.
std::optional<std::uint64_t> end_record_at(int fd, std::size_t size) {
  if (size < END_RECORD_SIZE) return std::nullopt;
  std::string tail;
  if (read_at(fd, tail, END_RECORD_SIZE, static_cast<off_t>(size - END_RECORD_SIZE)) &&
      tail.compare(0, 4, END_RECORD_SIGNATURE, 4) == 0 && tail[20] == '\0' && tail[21] == '\0')
    return size - END_RECORD_SIZE;
  const std::size_t start = size > (1u << 16) + END_RECORD_SIZE ? size - (1u << 16) - END_RECORD_SIZE : 0;
  std::string window;
  if (!read_at(fd, window, size - start, static_cast<off_t>(start))) return std::nullopt;
  const auto at = window.rfind(std::string_view(END_RECORD_SIGNATURE, 4));
  if (at == std::string::npos || window.size() - at < END_RECORD_SIZE) return std::nullopt;
  return start + at;
}

std::uint64_t le(const std::string& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int k = n - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(k)]);
  return v;
}

// How many bytes stand before the archive proper (a zip appended to other data): the end record's position less
// the central directory's recorded size and offset, less the zip64 records when they are present. Python's
// zipfile reads such archives with every offset shifted by this amount; 0 when there is nothing before it or
// the records cannot be read (the open then reports what is wrong).
std::uint64_t prepended_bytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::int64_t concat = 0;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (const auto eocd = end_record_at(fd, static_cast<std::size_t>(st.st_size))) {
      std::string rec, locator, rec64;
      if (read_at(fd, rec, END_RECORD_SIZE, static_cast<off_t>(*eocd))) {
        std::uint64_t cd_size = le(rec, 12, 4), cd_offset = le(rec, 16, 4), records = 0;
        constexpr std::uint64_t LOCATOR = 20, RECORD64 = 56;
        if (*eocd >= LOCATOR + RECORD64 && read_at(fd, locator, LOCATOR, static_cast<off_t>(*eocd - LOCATOR)) &&
            locator.compare(0, 4, "PK\x06\x07", 4) == 0 &&
            read_at(fd, rec64, RECORD64, static_cast<off_t>(*eocd - LOCATOR - RECORD64)) &&
            rec64.compare(0, 4, "PK\x06\x06", 4) == 0) {
          cd_size = le(rec64, 40, 8);
          cd_offset = le(rec64, 48, 8);
          records = LOCATOR + RECORD64;
        }
        if (cd_size < (1ull << 62) && cd_offset < (1ull << 62))
          concat = static_cast<std::int64_t>(*eocd) - static_cast<std::int64_t>(cd_size + cd_offset + records);
      }
    }
  }
  ::close(fd);
  return concat > 0 ? static_cast<std::uint64_t>(concat) : 0;
}

}  // namespace

bool is_zip_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool found = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     end_record_at(fd, static_cast<std::size_t>(st.st_size)).has_value();
  ::close(fd);
  return found;
}

ZipArchive::ZipArchive(void* handle, std::string label, std::shared_ptr<const std::string> bytes)
    : za_(handle), label_(std::move(label)), bytes_(std::move(bytes)) {
  const zip_int64_t n = zip_get_num_entries(as_zip(za_), 0);
  names_.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(as_zip(za_), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_STRICT);
    if (name == nullptr) {
      const std::string why = zip_strerror(as_zip(za_));
      zip_discard(as_zip(za_));
      za_ = nullptr;
      throw ZipError(label_ + ": unreadable entry name: " + why);
    }
    names_.emplace_back(name);
  }
}

ZipArchive ZipArchive::open_file(const std::string& path) {
  if (const std::uint64_t skip = prepended_bytes(path); skip > 0) {
    // libzip reads offsets from the start of its source: give it a source that starts where the archive does.
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t* src = zip_source_file_create(path.c_str(), skip, -1, &err);
    zip_t* za = src == nullptr ? nullptr : zip_open_from_source(src, ZIP_RDONLY, &err);
    if (za == nullptr) {
      if (src != nullptr) zip_source_free(src);
      const std::string why = zip_error_strerror(&err);
      zip_error_fini(&err);
      throw ZipError(path + ": not a readable zip archive: " + why);
    }
    zip_error_fini(&err);
    return ZipArchive(za, path, nullptr);
  }
  int code = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (za == nullptr) throw ZipError(path + ": not a readable zip archive: " + zip_error_text(code));
  return ZipArchive(za, path, nullptr);
}

ZipArchive ZipArchive::open_bytes(std::shared_ptr<const std::string> bytes) {
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_buffer_create(bytes->data(), bytes->size(), 0, &err);
  if (src == nullptr) {
    const std::string why = zip_error_strerror(&err);
    zip_error_fini(&err);
    throw ZipError("zip archive in memory: " + why);
  }
  zip_t* za = zip_open_from_source(src, ZIP_RDONLY, &err);
  if (za == nullptr) {
    zip_source_free(src);
    const std::string why = zip_error_strerror(&err);
    zip_error_fini(&err);
    throw ZipError("zip archive in memory: not a readable zip archive: " + why);
  }
  zip_error_fini(&err);
  return ZipArchive(za, "zip archive in memory", std::move(bytes));
}

ZipArchive::ZipArchive(ZipArchive&& o) noexcept
    : za_(std::exchange(o.za_, nullptr)), label_(std::move(o.label_)), bytes_(std::move(o.bytes_)),
      names_(std::move(o.names_)) {}

ZipArchive& ZipArchive::operator=(ZipArchive&& o) noexcept {
  if (this != &o) {
    if (za_ != nullptr) zip_discard(as_zip(za_));
    za_ = std::exchange(o.za_, nullptr);
    label_ = std::move(o.label_);
    bytes_ = std::move(o.bytes_);
    names_ = std::move(o.names_);
  }
  return *this;
}

ZipArchive::~ZipArchive() {
  if (za_ != nullptr) zip_discard(as_zip(za_));
}

std::uint64_t ZipArchive::stored_size(std::size_t index) const {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(as_zip(za_), index, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
    throw ZipError(label_ + ": cannot stat entry " + std::to_string(index));
  return st.size;
}

std::string ZipArchive::read(std::size_t index, std::size_t max_bytes) const {
  std::string out;
  read_to(index, [&](std::string_view block) { out.append(block); }, max_bytes);
  return out;
}

void ZipArchive::read_to(std::size_t index, const std::function<void(std::string_view)>& sink,
                         std::size_t max_bytes) const {
  if (index >= names_.size()) throw ZipError(label_ + ": no entry " + std::to_string(index));
  const std::string& name = names_[index];
  zip_file_t* f = zip_fopen_index(as_zip(za_), index, 0);
  if (f == nullptr) throw ZipError(label_ + ": cannot read " + name + ": " + zip_strerror(as_zip(za_)));
  std::size_t total = 0;
  char buf[1 << 16];
  try {
    while (true) {
      const zip_int64_t n = zip_fread(f, buf, sizeof buf);
      if (n < 0) throw ZipError(label_ + ": cannot read " + name + ": " + zip_file_strerror(f));
      if (n == 0) break;
      if (static_cast<std::size_t>(n) > max_bytes - total)
        throw ZipError(label_ + ": entry " + name + " is larger than " + std::to_string(max_bytes) + " bytes");
      total += static_cast<std::size_t>(n);
      sink(std::string_view(buf, static_cast<std::size_t>(n)));
    }
  } catch (...) {
    zip_fclose(f);
    throw;
  }
  // Closing reports a CRC mismatch that the last read did not.
  const int rc = zip_fclose(f);
  if (rc != 0) throw ZipError(label_ + ": cannot read " + name + ": " + zip_error_text(rc));
}

}  // namespace velmora
