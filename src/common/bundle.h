#pragma once
// Model bundles: one path that is a directory, an IMX container or a zip archive, and the members in it.
//
// The form is decided afresh on every call, first fit wins: a directory (links followed); a regular file whose
// IMX table of contents reads (an empty table counts); a file that passes the zip end-record test; otherwise the
// path holds no members (a missing path included). In a directory a member is the file of that name directly in
// it; in the two containers it is the entry whose base name (after the last "/") equals the name, the last such
// entry when several share it.
//
// IMX container layout, all integers little-endian, no gaps, no alignment:
//   0  4  magic 49 4D 58 00 ("IMX" NUL)
//   4  2  not interpreted
//   6  2  entry count N
//   8     N entries back to back: u16 name length L, L bytes of UTF-8 name (may hold "/" folders),
//         u64 offset of the member's first byte from the start of the file, u64 member size.
// Member data may lie anywhere; nothing checks order, overlap or that it lies inside the file.
//
// Containers are untrusted input: a member is read into a buffer bounded by the bytes the file actually holds,
// never by the size it claims, and a member that is not a model has a size cap (member_cap). Only regular
// files are read: a FIFO or a device in a bundle's place, or in a member's, is never opened for reading in a
// way that could block or never end.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

inline constexpr std::string_view IMX_MAGIC{"IMX\0", 4};
inline constexpr std::size_t IMX_HEADER_SIZE = 8;
inline constexpr std::size_t IMX_ENTRY_FIXED_SIZE = 2 + 8 + 8;  // name length, offset, size

enum class BundleForm { Directory, Imx, Zip, NoMembers };

struct ImxEntry {
  std::string name;  // stored name, folders included
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool operator==(const ImxEntry&) const = default;
};

struct BundleMember {
  std::string name;   // the candidate name as the caller gave it, not the stored name
  std::string bytes;  // the whole content, possibly empty
  bool operator==(const BundleMember&) const = default;
};

// A container fault found after the form was decided that the underlying readers do not name themselves: an
// IMX entry whose offset or size is 2^63 or more (beyond any file position), a member larger than its cap,
// a member file that is not a regular file.
class BundleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The most bytes a member that is not a model may hold. Manifests, colour corrections and canon latents are
// far smaller; a larger one is hostile (a deflate bomb, a link to a device that never ends).
inline constexpr std::size_t SMALL_MEMBER_MAX_BYTES = std::size_t{16} << 20;

// The size cap of member `name`: nothing for a model (a name ending in ".tflite"), else SMALL_MEMBER_MAX_BYTES.
std::optional<std::size_t> member_cap(std::string_view name);

// The file `name` directly in directory `dir`, whole, as a directory bundle's member is read: only a regular
// file, within member_cap(name). Throws std::system_error when it cannot be opened or read, BundleError when
// it is not a regular file or is larger than its cap (naming the member and the cap).
std::string read_directory_member(const std::string& dir, std::string_view name);

// os.path.isdir / os.path.isfile: symbolic links followed; any error gives false.
bool path_is_dir(const std::string& path);
bool path_is_file(const std::string& path);

// Which form `path` has right now.
BundleForm bundle_form(const std::string& path);

// The table of contents of the IMX container at `path`, in file order with duplicates kept; nothing when the
// file cannot be opened or read, is shorter than the header, has another magic, has its table cut short or a
// name that is not valid UTF-8. Never throws for faults of the file.
std::optional<std::vector<ImxEntry>> imx_toc(const std::string& path);

// The bytes of one entry of the IMX container at `path` (an entry of its imx_toc), bounded by what the file holds
// as member_bytes reads them. Throws std::system_error and BundleError as member_bytes does.
std::string imx_entry_bytes(const std::string& path, const ImxEntry& entry);

// The same bytes handed to `sink` a block at a time (memory stays bounded whatever the entry's size). Returns
// how many came: less than entry.size when the file ends first. Throws as imx_entry_bytes does.
std::uint64_t imx_entry_stream(const std::string& path, const ImxEntry& entry,
                               const std::function<void(std::string_view)>& sink);

// The first of `names`, in the caller's order, that the bundle holds, with its whole content; nothing when none
// is held (or the path holds no members). An IMX entry that runs past the end of the file gives the bytes up to
// the end (empty when it starts at or past the end). Faults met after the form is decided reach the caller:
// std::system_error for a file that cannot be opened or read, BundleError for an IMX offset or size of 2^63 or
// more and for a member beyond its cap (member_cap), ZipError for an unreadable archive directory, a CRC
// mismatch, encryption, an unsupported method or a local header that names the entry otherwise.
std::optional<BundleMember> member_bytes(const std::string& bundle, const std::vector<std::string_view>& names);

// The member names of the bundle: for a directory every entry the system lists, in its order (folders and other
// files included); for a container the base name of every entry in table or central-directory order,
// duplicates kept (a zip folder entry gives ""). Empty when the path holds no members. Faults as member_bytes.
std::vector<std::string> listing(const std::string& bundle);

}  // namespace velmora
