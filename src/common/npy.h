#pragma once
// NumPy's .npy and .npz files, read as numpy.load(allow_pickle=False) reads them.
//
// .npy: the magic "\x93NUMPY", a version byte pair (1.0, 2.0 or 3.0), a little-endian header length (2 bytes
// for 1.0, 4 bytes otherwise), a header that is a Python dict literal {'descr': ..., 'fortran_order': ...,
// 'shape': (...)} (parsed as a literal, never evaluated; at most 10000 characters, as NumPy allows), then the
// elements. Elements of booleans, integers of 1 to 8 bytes and floats of 2, 4 and 8 bytes in either byte order
// become an NdArray in row-major order; Fortran-ordered data is reordered. An object (pickled) element type
// refuses the whole load. Other element types (texts, complex numbers, records, dates) and arrays of more than
// Shape::MAX_RANK axes are kept as unsupported members: loading succeeds, reading such a member fails.
//
// .npz: a zip archive; each entry is a member whose key is the entry name without a trailing ".npy". Entries
// that do not start with the .npy magic are raw (unsupported) members, as NumPy hands them out as bytes.
//
// Files are untrusted: every length is checked against the bytes present before anything is read or
// allocated, an entry is decompressed only up to the limits below, and every failure is an exception.
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/ndarray.h"

namespace velmora {

// A malformed or refused .npy/.npz (Python's ValueError); the text names the archive and member.
class NpyError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct NpzLimits {
  std::size_t max_member_bytes = std::size_t{4} << 30;  // one decompressed entry
  std::size_t max_total_bytes = std::size_t{16} << 30;  // all entries together
};

// One parsed .npy: the array, or the reason it is not supported here.
struct NpyMember {
  std::optional<NdArray> array;
  std::string unsupported;
};

// Parses the .npy file in `bytes` (shared: aligned little-endian C-order data is used in place). Throws NpyError.
NpyMember parse_npy(std::shared_ptr<const std::string> bytes);

class NpzFile {
 public:
  // Reads every member of the archive at `path`, or of the archive in `bytes`. A missing file throws
  // std::system_error (ENOENT); a damaged archive or member, or an object array, throws NpyError.
  static NpzFile load(const std::string& path, const NpzLimits& limits = {});
  static NpzFile load_bytes(std::shared_ptr<const std::string> bytes, const NpzLimits& limits = {},
                            std::string label = "npz archive in memory");

  // Member keys in archive order.
  const std::vector<std::string>& keys() const { return keys_; }
  bool contains(std::string_view key) const { return index_.find(key) != index_.end(); }
  // The member `key`. Throws KeyError naming it when absent, NpyError when its type is not supported.
  const NdArray& at(std::string_view key) const;

 private:
  std::string label_;
  std::vector<std::string> keys_;
  std::vector<NpyMember> members_;
  std::map<std::string, std::size_t, std::less<>> index_;
};

}  // namespace velmora
