#pragma once
// Reading zip archives (libzip underneath): entry names in central-directory order, decoded as the format
// prescribes (UTF-8 when an entry's language-encoding flag is set, else code page 437), and whole entries,
// decompressed and checked against their CRC-32. Archives are untrusted input: an entry is read into a buffer
// that grows with the bytes actually produced, never allocated from the size the archive claims.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// True when the file at `path` carries a zip end-of-central-directory record: at the very end with an empty
// comment, or the last one within the final 64 KiB + 22 bytes with a whole record after it. The same test as
// Python's zipfile.is_zipfile; any error reading the file gives false.
bool is_zip_file(const std::string& path);

class ZipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ZipArchive {
 public:
  // Opens the archive at `path`, or the archive held in `bytes` (which the archive shares, so it stays valid).
  // Throws ZipError when the archive directory cannot be read.
  static ZipArchive open_file(const std::string& path);
  static ZipArchive open_bytes(std::shared_ptr<const std::string> bytes);

  ZipArchive(ZipArchive&&) noexcept;
  ZipArchive& operator=(ZipArchive&&) noexcept;
  ~ZipArchive();

  // Entry names as stored (full names with folders), in central-directory order, duplicates kept.
  const std::vector<std::string>& names() const { return names_; }

  // The whole content of the entry at `index` (an index into names()). Throws ZipError when the entry is
  // encrypted, uses an unsupported compression method, fails its CRC-32 check, or would exceed `max_bytes`.
  std::string read(std::size_t index, std::size_t max_bytes = std::numeric_limits<std::size_t>::max()) const;

  // The same content handed to `sink` a block at a time as it is decompressed (memory stays bounded whatever
  // the entry's size), with the same errors; the CRC-32 check comes after the last block.
  void read_to(std::size_t index, const std::function<void(std::string_view)>& sink,
               std::size_t max_bytes = std::numeric_limits<std::size_t>::max()) const;

  // The size the central directory records for the entry (not to be trusted for allocation).
  std::uint64_t stored_size(std::size_t index) const;

 private:
  ZipArchive(void* handle, std::string label, std::shared_ptr<const std::string> bytes);
  void* za_ = nullptr;  // zip_t*
  std::string label_;   // the path, for messages
  std::shared_ptr<const std::string> bytes_;
  std::vector<std::string> names_;
};

}  // namespace velmora
