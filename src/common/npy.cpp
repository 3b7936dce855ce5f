#include "common/npy.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#include "common/file_read.h"
#include "common/py_error.h"
#include "common/pytext.h"
#include "common/zip_archive.h"

namespace velmora {

namespace {

constexpr std::string_view MAGIC = "\x93NUMPY";
constexpr std::size_t MAGIC_LEN = 8;  // the prefix and two version bytes
constexpr std::size_t MAX_HEADER_SIZE = 10000;
constexpr int MAX_NESTING = 32;

// --- the header's Python literal --------------------------------------------------------------------------

struct Lit {
  enum class Kind { Str, Int, Bool, None, Tuple, List, Dict } kind = Kind::None;
  std::string s;
  std::int64_t i = 0;
  bool big = false;  // an integer literal beyond int64
  bool b = false;
  std::vector<Lit> items;                      // tuple and list items; dict keys and values interleaved
};

std::string lit_repr(const Lit& v) {
  switch (v.kind) {
    case Lit::Kind::Str: return py_repr(v.s);
    case Lit::Kind::Int: return v.big ? v.s : std::to_string(v.i);
    case Lit::Kind::Bool: return v.b ? "True" : "False";
    case Lit::Kind::None: return "None";
    case Lit::Kind::Tuple: case Lit::Kind::List: {
      const bool tuple = v.kind == Lit::Kind::Tuple;
      std::string s = tuple ? "(" : "[";
      for (std::size_t k = 0; k < v.items.size(); ++k) s += (k ? ", " : "") + lit_repr(v.items[k]);
      if (tuple && v.items.size() == 1) s += ",";
      return s + (tuple ? ")" : "]");
    }
    case Lit::Kind::Dict: {
      std::string s = "{";
      for (std::size_t k = 0; k + 1 < v.items.size(); k += 2)
        s += (k ? ", " : "") + lit_repr(v.items[k]) + ": " + lit_repr(v.items[k + 1]);
      return s + "}";
    }
  }
  return "";
}

class LiteralParser {
 public:
  explicit LiteralParser(std::string_view text, bool allow_long) : t_(text), allow_long_(allow_long) {}

  bool parse(Lit& out) {
    if (!value(out, 0)) return false;
    blanks();
    return p_ == t_.size();
  }

 private:
  void blanks() {
    while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t' || t_[p_] == '\n' || t_[p_] == '\r')) ++p_;
  }
  bool eat(char c) {
    blanks();
    if (p_ < t_.size() && t_[p_] == c) { ++p_; return true; }
    return false;
  }
  bool word(std::string_view w) {
    if (t_.substr(p_, w.size()) != w) return false;
    const std::size_t e = p_ + w.size();
    if (e < t_.size() && (std::isalnum(static_cast<unsigned char>(t_[e])) || t_[e] == '_')) return false;
    p_ = e;
    return true;
  }

  bool value(Lit& out, int depth) {
    if (depth > MAX_NESTING) return false;
    blanks();
    if (p_ >= t_.size()) return false;
    const char c = t_[p_];
    if (c == '\'' || c == '"') return string(out);
    if (c == '{') return sequence(out, Lit::Kind::Dict, '}', depth);
    if (c == '(') return sequence(out, Lit::Kind::Tuple, ')', depth);
    if (c == '[') return sequence(out, Lit::Kind::List, ']', depth);
    if (c == '-' || c == '+' || (c >= '0' && c <= '9')) return integer(out);
    if (word("True")) { out.kind = Lit::Kind::Bool; out.b = true; return true; }
    if (word("False")) { out.kind = Lit::Kind::Bool; out.b = false; return true; }
    if (word("None")) { out.kind = Lit::Kind::None; return true; }
    return false;
  }

  bool string(Lit& out) {
    const char q = t_[p_++];
    out.kind = Lit::Kind::Str;
    while (p_ < t_.size() && t_[p_] != q) {
      char c = t_[p_++];
      if (c == '\n') return false;
      if (c == '\\') {
        if (p_ >= t_.size()) return false;
        c = t_[p_++];
        switch (c) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case 'r': c = '\r'; break;
          case '0': c = '\0'; break;
          case '\\': case '\'': case '"': break;
          default: out.s.push_back('\\');  // kept as written; no header of a supported type needs more
        }
      }
      out.s.push_back(c);
    }
    if (p_ >= t_.size()) return false;
    ++p_;
    return true;
  }

  bool integer(Lit& out) {
    const std::size_t start = p_;
    if (t_[p_] == '-' || t_[p_] == '+') ++p_;
    const std::size_t digits = p_;
    while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
    if (p_ == digits) return false;
    if (p_ < t_.size() && (t_[p_] == '.' || t_[p_] == 'e' || t_[p_] == 'E')) return false;  // not an int
    out.kind = Lit::Kind::Int;
    const std::string text(t_.substr(start, p_ - start));
    if (allow_long_ && p_ < t_.size() && (t_[p_] == 'L' || t_[p_] == 'l')) ++p_;  // written by Python 2
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE) {
      out.big = true;
      out.s = text;
    }
    out.i = v;
    return true;
  }

  bool sequence(Lit& out, Lit::Kind kind, char close, int depth) {
    ++p_;
    out.kind = kind;
    bool comma = true;
    bool any_comma = false;
    while (!eat(close)) {
      if (!comma) return false;
      Lit item;
      if (!value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      if (kind == Lit::Kind::Dict) {
        if (!eat(':')) return false;
        Lit v;
        if (!value(v, depth + 1)) return false;
        out.items.push_back(std::move(v));
      }
      comma = eat(',');
      any_comma = any_comma || comma;
    }
    // "(3)" is the integer 3 in Python, not a tuple.
    if (kind == Lit::Kind::Tuple && out.items.size() == 1 && !any_comma) {
      Lit inner = std::move(out.items.front());
      out = std::move(inner);
    }
    return true;
  }

  std::string_view t_;
  std::size_t p_ = 0;
  bool allow_long_;
};

// --- element types ------------------------------------------------------------------------------------

struct Descr {
  std::optional<DType> dtype;
  bool swap = false;       // stored big-endian
  bool object = false;     // holds Python objects
  std::string text;        // the descr as written, for messages
};

bool holds_object(const Lit& d);

bool type_string_is_object(std::string_view s) {
  if (!s.empty() && (s[0] == '<' || s[0] == '>' || s[0] == '|' || s[0] == '=')) s.remove_prefix(1);
  return s == "O" || s == "O8" || s == "O4" || s == "object";
}

// A record (list of fields) or a sub-array (tuple) descr holds objects when any of its field types does.
bool holds_object(const Lit& d) {
  if (d.kind == Lit::Kind::Str) return type_string_is_object(d.s);
  if (d.kind == Lit::Kind::Tuple) return !d.items.empty() && holds_object(d.items[0]);
  if (d.kind == Lit::Kind::List) {
    for (const Lit& field : d.items) {
      if (field.kind != Lit::Kind::Tuple && field.kind != Lit::Kind::List) continue;
      if (field.items.size() >= 2 && holds_object(field.items[1])) return true;
    }
  }
  return false;
}

Descr read_descr(const Lit& d) {
  Descr out;
  out.text = lit_repr(d);
  out.object = holds_object(d);
  if (d.kind != Lit::Kind::Str) return out;
  std::string_view s = d.s;
  char order = '=';
  if (!s.empty() && (s[0] == '<' || s[0] == '>' || s[0] == '|' || s[0] == '=')) {
    order = s[0];
    s.remove_prefix(1);
  }
  static const std::pair<std::string_view, DType> table[] = {
      {"b1", DType::Bool},    {"i1", DType::Int8},    {"u1", DType::UInt8},   {"i2", DType::Int16},
      {"u2", DType::UInt16},  {"i4", DType::Int32},   {"u4", DType::UInt32},  {"i8", DType::Int64},
      {"u8", DType::UInt64},  {"f2", DType::Float16}, {"f4", DType::Float32}, {"f8", DType::Float64},
      {"?", DType::Bool},     {"b", DType::Int8},     {"B", DType::UInt8},    {"e", DType::Float16},
      {"f", DType::Float32},  {"d", DType::Float64},
  };
  for (const auto& [code, t] : table) {
    if (s == code) {
      out.dtype = t;
      out.swap = order == '>' && dtype_size(t) > 1;
    }
  }
  return out;
}

// --- reading ------------------------------------------------------------------------------------------

[[noreturn]] void fail(const std::string& msg) { throw NpyError(msg); }

void need(std::size_t have, std::size_t want, const char* what) {
  if (have < want)
    fail("EOF: reading " + std::string(what) + ", expected " + std::to_string(want) + " bytes got " +
         std::to_string(have));
}

std::uint32_t le(const std::string& b, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int k = n - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(k)]);
  return v;
}

// Copies `n` elements of `item` bytes each from `src` (stored in Fortran order for `shape` when `fortran`) into
// row-major `dst`, swapping the bytes of each element when `swap`.
void reorder(const std::byte* src, std::byte* dst, const Shape& shape, std::size_t item, bool fortran, bool swap) {
  const std::int64_t n = shape.size();
  const int rank = shape.rank();
  if (!fortran || rank < 2) {
    std::memcpy(dst, src, static_cast<std::size_t>(n) * item);
  } else {
    // Walk the destination in row-major order, tracking the Fortran offset of the same index.
    std::int64_t stride[Shape::MAX_RANK];
    std::int64_t idx[Shape::MAX_RANK] = {};
    std::int64_t s = 1;
    for (int a = 0; a < rank; ++a) { stride[a] = s; s *= shape[a]; }
    std::int64_t off = 0;
    for (std::int64_t k = 0; k < n; ++k) {
      std::memcpy(dst + static_cast<std::size_t>(k) * item, src + static_cast<std::size_t>(off) * item, item);
      for (int a = rank - 1; a >= 0; --a) {
        if (++idx[a] < shape[a]) { off += stride[a]; break; }
        off -= stride[a] * (shape[a] - 1);
        idx[a] = 0;
      }
    }
  }
  if (swap) {
    for (std::int64_t k = 0; k < n; ++k) std::reverse(dst + static_cast<std::size_t>(k) * item, dst + static_cast<std::size_t>(k + 1) * item);
  }
}

}  // namespace

NpyMember parse_npy(std::shared_ptr<const std::string> bytes) {
  const std::string& b = *bytes;
  need(b.size(), MAGIC_LEN, "magic string");
  if (std::string_view(b).substr(0, MAGIC.size()) != MAGIC)
    fail("the magic string is not correct; expected " + py_bytes_repr(MAGIC) + ", got " + py_bytes_repr(std::string_view(b).substr(0, MAGIC.size())));
  const int major = static_cast<unsigned char>(b[6]);
  const int minor = static_cast<unsigned char>(b[7]);
  if (minor != 0 || major < 1 || major > 3)
    fail("we only support format version (1,0), (2,0), and (3,0), not (" + std::to_string(major) + ", " +
         std::to_string(minor) + ")");
  const std::size_t len_bytes = major == 1 ? 2 : 4;
  need(b.size() - MAGIC_LEN, len_bytes, "array header length");
  const std::size_t header_len = le(b, MAGIC_LEN, static_cast<int>(len_bytes));
  const std::size_t header_at = MAGIC_LEN + len_bytes;
  need(b.size() - header_at, header_len, "array header");
  const std::string_view header = std::string_view(b).substr(header_at, header_len);
  std::size_t chars = header.size();
  if (major == 3) chars = static_cast<std::size_t>(std::count_if(header.begin(), header.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
  if (chars > MAX_HEADER_SIZE)
    fail("Header info length (" + std::to_string(chars) + ") is large and may not be safe to load securely.");

  Lit d;
  if (!LiteralParser(header, major <= 2).parse(d)) fail("Cannot parse header: " + py_repr(header));
  if (d.kind != Lit::Kind::Dict) fail("Header is not a dictionary: " + lit_repr(d));
  const Lit* descr = nullptr;
  const Lit* fortran = nullptr;
  const Lit* shape = nullptr;
  std::vector<std::string> keys;
  bool odd_key = false;
  for (std::size_t k = 0; k + 1 < d.items.size(); k += 2) {
    const Lit& key = d.items[k];
    keys.push_back(lit_repr(key));
    if (key.kind != Lit::Kind::Str) { odd_key = true; continue; }
    const Lit** slot = key.s == "descr" ? &descr : key.s == "fortran_order" ? &fortran : key.s == "shape" ? &shape : nullptr;
    if (slot == nullptr) odd_key = true;
    else *slot = &d.items[k + 1];  // a repeated key keeps the last value, as a dict display does
  }
  if (odd_key || !descr || !fortran || !shape) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::string list = "[";
    for (std::size_t k = 0; k < keys.size(); ++k) list += (k ? ", " : "") + keys[k];
    fail("Header does not contain the correct keys: " + list + "]");
  }
  if (shape->kind != Lit::Kind::Tuple ||
      std::any_of(shape->items.begin(), shape->items.end(), [](const Lit& x) { return x.kind != Lit::Kind::Int; }))
    fail("shape is not valid: " + lit_repr(*shape));
  if (fortran->kind != Lit::Kind::Bool) fail("fortran_order is not a valid bool: " + lit_repr(*fortran));
  const Descr dt = read_descr(*descr);
  if (dt.object) fail("Object arrays cannot be loaded when allow_pickle=False");

  for (const Lit& x : shape->items)
    if (x.big ? x.s[0] == '-' : x.i < 0) fail("negative dimensions are not allowed: shape " + lit_repr(*shape));
  NpyMember out;
  if (!dt.dtype) {
    out.unsupported = "element type " + dt.text + " is not supported";
    return out;
  }
  if (shape->items.size() > static_cast<std::size_t>(Shape::MAX_RANK)) {
    out.unsupported = "arrays of more than " + std::to_string(Shape::MAX_RANK) + " dimensions are not supported";
    return out;
  }
  const std::size_t item = dtype_size(*dt.dtype);
  // The array is sized before anything is read, and refused here unless an NdArray can take its shape: the
  // bytes of its non-zero axes within NdArray::MAX_BYTES, also when another axis is 0 and the array would be
  // empty. NumPy gives this error past 2^63 - 1 bytes where its own count does not wrap; for a product that
  // wraps it reports a failed reshape, for an axis beyond a C long an OverflowError; we refuse all alike.
  const std::string too_big =
      "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
  std::vector<std::int64_t> dims;
  for (const Lit& x : shape->items) {
    if (x.big) fail(too_big);
    dims.push_back(x.i);
  }
  const Shape sh{std::span<const std::int64_t>(dims)};
  if (!NdArray::fits(*dt.dtype, sh)) fail(too_big);
  const std::int64_t count = sh.size();
  const std::size_t data_at = header_at + header_len;
  const std::size_t have = b.size() - data_at;
  if (static_cast<std::uint64_t>(count) > have / item)
    fail("EOF: reading array data, expected " + std::to_string(static_cast<std::uint64_t>(count) * item) +
         " bytes got " + std::to_string(have));

  const std::byte* src = reinterpret_cast<const std::byte*>(b.data() + data_at);
  const bool in_place = !dt.swap && (!fortran->b || sh.rank() < 2) && *dt.dtype != DType::Bool &&
                        reinterpret_cast<std::uintptr_t>(src) % item == 0;
  if (in_place) {
    out.array = NdArray::adopt(*dt.dtype, sh, bytes, src);
    return out;
  }
  NdArray a = NdArray::uninitialized(*dt.dtype, sh);
  reorder(src, static_cast<std::byte*>(a.raw_data()), sh, item, fortran->b, dt.swap);
  if (*dt.dtype == DType::Bool) {
    // Any non-zero byte is true; keep booleans as 0 and 1 so they can be handed on as they are.
    auto* p = static_cast<std::uint8_t*>(a.raw_data());
    for (std::int64_t k = 0; k < count; ++k) p[k] = p[k] != 0;
  }
  out.array = std::move(a);
  return out;
}

NpzFile NpzFile::load(const std::string& path, const NpzLimits& limits) {
  // Read the file ourselves so that a missing or unreadable file reports the system's error.
  auto bytes = std::make_shared<const std::string>(read_file(path));
  return load_bytes(std::move(bytes), limits, path);
}

NpzFile NpzFile::load_bytes(std::shared_ptr<const std::string> bytes, const NpzLimits& limits, std::string label) {
  NpzFile f;
  f.label_ = std::move(label);
  // What numpy.load decides from the first bytes: a zip archive, a single array, or (refused) a pickle.
  const std::string_view head = std::string_view(*bytes).substr(0, MAGIC.size());
  if (head.empty()) fail(f.label_ + ": No data left in file");
  if (head == MAGIC) fail(f.label_ + ": holds a single array, not an archive of named arrays");
  if (head.substr(0, 4) != std::string_view("PK\x03\x04", 4) && head.substr(0, 4) != std::string_view("PK\x05\x06", 4))
    fail(f.label_ + ": Cannot load file containing pickled data when allow_pickle=False");
  ZipArchive zip = [&] {
    try {
      return ZipArchive::open_bytes(std::move(bytes));
    } catch (const ZipError& e) {
      fail(f.label_ + ": " + e.what());
    }
  }();
  std::size_t total = 0;
  const auto& names = zip.names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string key = names[i];
    if (key.size() >= 4 && key.compare(key.size() - 4, 4, ".npy") == 0) key.resize(key.size() - 4);
    const std::size_t budget = std::min(limits.max_member_bytes, limits.max_total_bytes - total);
    std::shared_ptr<const std::string> content;
    try {
      content = std::make_shared<const std::string>(zip.read(i, budget));
    } catch (const ZipError& e) {
      fail(f.label_ + ": member " + py_repr(key) + ": " + e.what());
    }
    total += content->size();
    NpyMember m;
    if (std::string_view(*content).substr(0, MAGIC.size()) != MAGIC) {
      m.unsupported = "not an array";
    } else {
      try {
        m = parse_npy(content);
      } catch (const NpyError& e) {
        fail(f.label_ + ": member " + py_repr(key) + ": " + e.what());
      }
    }
    const auto it = f.index_.find(key);
    if (it != f.index_.end()) {
      f.members_[it->second] = std::move(m);  // a repeated name: the later entry is the one read
    } else {
      f.index_.emplace(key, f.keys_.size());
      f.keys_.push_back(key);
      f.members_.push_back(std::move(m));
    }
  }
  return f;
}

const NdArray& NpzFile::at(std::string_view key) const {
  const auto it = index_.find(key);
  if (it == index_.end()) throw KeyError(std::string(key));
  const NpyMember& m = members_[it->second];
  if (!m.array) fail(label_ + ": member " + py_repr(key) + ": " + m.unsupported);
  return *m.array;
}

}  // namespace velmora
