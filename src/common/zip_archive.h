#pragma once
// Reading zip archives (libzip underneath): entry names in central-directory order, read as Python's zipfile
// reads them (UTF-8 when an entry's language-encoding flag is set, else code page 437 with bytes below 0x80
// as themselves; a NUL ends the name), and whole entries, decompressed and checked against their CRC-32 and
// against the name their local header repeats. Archives are untrusted input: an entry is read into a buffer
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

namespace detail {
struct ZipBacking;  // the bytes of an open archive, shared with libzip's source
}  // namespace detail

// True when the file at `path` carries a zip end-of-central-directory record: at the very end with an empty
// comment, or the last one within the final 64 KiB + 22 bytes with a whole record after it. The same test as
// Python's zipfile.is_zipfile; any error reading the file gives false.
bool is_zip_file(const std::string& path);

class ZipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An entry that holds more than the reader was willing to take.
class ZipEntryTooLarge : public ZipError {
 public:
  using ZipError::ZipError;
};

class ZipArchive {
 public:
  // Opens the archive at `path`, or the archive held in `bytes` (which the archive shares, so it stays valid).
  // Throws ZipError, saying what is wrong, when there is no end-of-central-directory record (an empty file
  // included), when the archive directory cannot be read (a path that cannot be opened, with the system's
  // text, or that is no regular file), when it holds a name that its language-encoding flag declares UTF-8
  // but is not, or an AES-encrypted entry without the extra field that names its method.
  static ZipArchive open_file(const std::string& path);
  static ZipArchive open_bytes(std::shared_ptr<const std::string> bytes);

  ZipArchive(ZipArchive&&) noexcept;
  ZipArchive& operator=(ZipArchive&&) noexcept;
  ~ZipArchive();

  // Entry names (full names with folders, cut at a NUL), in central-directory order, duplicates kept.
  const std::vector<std::string>& names() const { return names_; }

  // The whole content of the entry at `index` (an index into names()). Throws ZipError when the entry's local
  // header is damaged or names it otherwise than the central directory does (each name decoded by its own
  // header's language-encoding flag; zipfile's "File name in directory ... and header ... differ."), when it is
  // encrypted, uses an unsupported compression method, or when what it holds fails the CRC-32 or the size that
  // the central directory records for it; ZipEntryTooLarge when it holds more than `max_bytes`.
  std::string read(std::size_t index, std::size_t max_bytes = std::numeric_limits<std::size_t>::max()) const;

  // The same content handed to `sink` a block at a time as it is decompressed (memory stays bounded whatever
  // the entry's size), with the same errors; the checks against the records come after the last block.
  void read_to(std::size_t index, const std::function<void(std::string_view)>& sink,
               std::size_t max_bytes = std::numeric_limits<std::size_t>::max()) const;

 private:
  // What the central directory says of an entry beyond its name.
  struct Entry {
    std::string stored_name;         // the decoded name before the cut at a NUL, as the local header must repeat it
    std::uint64_t local_header = 0;  // where its local header starts in the backing
  };

  static ZipArchive open(std::shared_ptr<const detail::ZipBacking> backing, std::string label);
  ZipArchive() = default;
  // Throws unless the local header of entry `index` repeats its name.
  void check_local_header(std::size_t index) const;

  void* za_ = nullptr;  // zip_t*
  std::string label_;   // the path, for messages
  std::shared_ptr<const detail::ZipBacking> backing_;
  std::vector<std::string> names_;
  std::vector<Entry> entries_;
};

}  // namespace velmora
