#pragma once
// Test bundles: one member map written as a directory, an IMX container and a zip archive, with the byte
// positions of every field so that tests can damage any of them.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

enum class Store { Stored, Deflated };  // how a zip entry keeps its bytes

struct FixtureMember {
  std::string name;   // stored name; may hold "/" folders; a name ending in "/" is a folder entry
  std::string bytes;
  Store store = Store::Stored;          // zip only
  std::optional<bool> utf8_flag = {};   // zip only: the language-encoding flag; default: set for non-ASCII names
};

// Where the fields of one IMX entry lie in the container's bytes.
struct ImxEntryAt {
  std::size_t name_length;  // u16
  std::size_t name;
  std::size_t offset;       // u64 field
  std::size_t size;         // u64 field
  std::size_t data;         // where the member's bytes were written
};

struct ImxImage {
  std::string bytes;
  std::size_t table_end = 0;  // first byte after the table of contents
  std::vector<ImxEntryAt> entries;

  void set_count(std::uint16_t n);
  void set_offset(std::size_t entry, std::uint64_t offset);
  void set_size(std::size_t entry, std::uint64_t size);
};

// Where the parts of one zip entry lie in the archive's bytes.
struct ZipEntryAt {
  std::size_t local_header;
  std::size_t data;
  std::size_t data_size;      // bytes as stored (compressed for deflated entries)
  std::size_t central_header;
};

struct ZipImage {
  std::string bytes;
  std::size_t end_record = 0;  // position of the end-of-central-directory record
  std::vector<ZipEntryAt> entries;

  // Flips the first stored byte of an entry (which must hold data): its CRC-32 no longer matches.
  void corrupt_data(std::size_t entry);
  // Breaks the signature of the first central directory header: the archive passes the end-record test but
  // its directory cannot be read.
  void corrupt_central_directory();
};

// Little-endian integer of `width` bytes written over `bytes` at `at`.
void put_le(std::string& bytes, std::size_t at, std::uint64_t value, int width);

// The IMX magic (49 4D 58 00), `reserved` for bytes 4-5, the entry count, then the entries: the header bytes of
// a table, for building damaged containers by hand.
std::string imx_header(std::uint16_t count, std::uint16_t reserved = 0);
// One table entry: u16 name length, name, u64 offset, u64 size.
std::string imx_entry(std::string_view name, std::uint64_t offset, std::uint64_t size);

// The three paths of a bundle written in every form.
struct BundlePaths {
  std::string directory;
  std::string imx;
  std::string zip;
  std::vector<std::string> all() const { return {directory, imx, zip}; }
};

class BundleFixture {
 public:
  BundleFixture() = default;
  BundleFixture(std::initializer_list<FixtureMember> members) : members_(members) {}

  BundleFixture& add(std::string name, std::string bytes, Store store = Store::Stored);
  BundleFixture& add(FixtureMember member);
  const std::vector<FixtureMember>& members() const { return members_; }

  // IMX container: header (`reserved` in bytes 4-5), table in member order, then the members' bytes in order.
  ImxImage imx(std::uint16_t reserved = 0) const;
  // Zip archive: entries in member order (duplicate names kept), then the central directory in the same order.
  ZipImage zip() const;

  // Each member written at its stored name below `dir` (folders made as needed; a later duplicate replaces an
  // earlier one; a folder entry makes a folder). Returns `dir`.
  std::string write_directory(const std::filesystem::path& dir) const;
  std::string write_imx(const std::filesystem::path& file) const;
  std::string write_zip(const std::filesystem::path& file) const;
  // All three below `root`: root/dir, root/bundle.imx, root/bundle.zip.
  BundlePaths write_forms(const std::filesystem::path& root) const;

 private:
  std::vector<FixtureMember> members_;
};

// The zip archive of `members` with one more entry last: `name`, holding `size` zero bytes (fewer than 4 GiB),
// deflated as one small segment repeated, so that gigabytes take a few MB and a moment to make.
ZipImage zeros_zip(BundleFixture members, const std::string& name, std::uint64_t size);

// Writes `bytes` to `file` (folders made as needed) and returns its path.
std::string write_bytes(const std::filesystem::path& file, std::string_view bytes);

}  // namespace velmora::testing
